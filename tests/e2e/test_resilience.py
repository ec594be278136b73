#!/usr/bin/env python3
"""Against the rig's DarkPlaces server: a connect before the server is up, a server dead mid-game, a host's game
restarted from a new port; with -D 5 an observer reads the server's prints five seconds after the host."""
import threading, time
from peer import LOOPBACK, GameClient, PeerServer, Session, case, check, free_port, main


@case
def connect_before_the_server_starts():
    port = free_port()
    with Session() as s, PeerServer() as server:
        server.stop()
        s.host.commands("say proxy:connect %s:%d" % (LOOPBACK, port))
        s.serve(lambda: "trying...\n" in s.host.prints, 3, "trying...")
        server.start(port)
        s.serve(lambda: "Connection accepted\n" in s.host.prints, 8, "the accept of a resent request")
        check("trying again...\n" in s.host.prints, "no resend told", s.describe)
        s.serve(s.host.in_game, 10, "the game")


@case
def server_stopped_mid_game():
    with PeerServer() as server, Session() as s:
        s.play_on(server, seconds=1)
        server.kill()                           # without a word to its clients
        s.serve(lambda: "Server timed out.\n" in s.host.prints, 70, "Server timed out.")
        s.proxy.wait_output("Server timed out.\n")
        s.command("proxy:help", "Recognized commands:")  # the host stays


@case
def host_restarted_from_a_new_port():
    with PeerServer() as server, Session() as s:
        s.play_on(server, seconds=1)
        s.host.close()                         # the game client dies without a word
        time.sleep(11)
        s.host = GameClient("host")
        s.host.connect(s.port)
        s.serve(lambda: s.host.prints, 3, "the greeting of the restarted game")
        s.proxy.wait_output("Client connection closed.\nWaiting for client...\nClient connected.\n")
        s.connect(server)
        s.serve(s.host.in_game, 10, "the game again")


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
