#!/usr/bin/env python3
"""With -D 5 an observer reads the real DarkPlaces server's prints five seconds after the host."""
import threading
import time

from peer import PeerServer, Session, case, check, main


@case
def observer_reads_the_server_five_seconds_late():
    with PeerServer() as server, Session("-o", 1, "-D", 5) as s:
        s.connect(server)
        watcher = s.observer()
        s.serve(watcher.in_game, 25, "the observer in the game, five seconds after the host")
        for text in ("delaymark0", "delaymark1"):
            seen = {}
            threading.Thread(target=server.console, args=("say " + text,)).start()
            s.serve(lambda: [seen.setdefault(c, time.monotonic()) for c in (s.host, watcher) if c.printed(text)]
                    and len(seen) == 2, 12, "%r at host and observer" % text, server.describe)
            late = seen[watcher] - seen[s.host]
            check(4.8 <= late <= 5.6, "the observer read %r %.2f s after the host" % (text, late))


if __name__ == "__main__":
    main()
