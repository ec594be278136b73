from peer import *  # noqa: F401,F403  the old name of peer.py
