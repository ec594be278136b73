"""Old name of the end-to-end peer module, kept for scripts written against it."""
from peer import *  # noqa: F401,F403
