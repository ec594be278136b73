#!/usr/bin/env python3
"""Tournament delay against the peer rig's real DarkPlaces server: with -D 5 an observer reads the
server's prints five seconds after the host does, and never before."""
import threading
import time

import nq
from harness import PeerServer, Session, case, check, main


@case
def observer_reads_the_server_five_seconds_late():
    with PeerServer() as server, Session("-o", 1, "-D", 5) as s:
        s.connect(server.port)
        s.serve(s.host.in_game, 10, "the game")
        watcher = nq.GameClient("watcher")
        watcher.connect(s.port)
        s.servers.append(watcher)
        s.serve(watcher.in_game, 20, "the observer in the game, five seconds late")
        seen = {}

        def both_read(text):
            for name, client in (("host", s.host), ("observer", watcher)):
                if name not in seen and client.printed(text):
                    seen[name] = time.monotonic()
            return len(seen) == 2

        for n in range(2):
            seen.clear()
            text = "delaymark%d" % n
            threading.Thread(target=server.console, args=("say " + text,)).start()
            s.serve(lambda: both_read(text), 12, "%r at host and observer" % text, server.describe)
            late = seen["observer"] - seen["host"]
            check(4.8 <= late <= 5.6, "the observer read %r %.2f s after the host" % (text, late))
        check(not watcher.parse_errors, "observer stream %r" % watcher.parse_errors)


if __name__ == "__main__":
    main()
