#!/usr/bin/env python3
"""Real servers that drop the host, through the real binary: each way a server says svc_disconnect
(alone in a reliable message, behind a print in one, in unreliable datagrams) must leave the host
waiting at the proxy with its banner, free to connect again, and never reach the host's game client."""
from harness import PeerServer, Session, case, main


def dropped_by_the_server(server, *command):
    with Session() as s:
        s.play_on(server, seconds=1)
        mark = len(s.host.prints)
        server.console(*command)
        s.check_waiting(mark, " ".join(command))
        s.connect(server.port)
        s.serve(lambda: len(s.host.levels) == 2 and s.host.in_game(), 10, "the game again")


@case
def quakespasm_shutdown():
    # "quit" sends a reliable message holding svc_disconnect alone
    with PeerServer(kind="quakespasm", protocol=15) as server, Session() as s:
        s.play_on(server, seconds=1)
        mark = len(s.host.prints)
        server.console("quit")
        s.check_waiting(mark, "the server's shutdown")


@case
def quakespasm_kick():
    # one reliable message: the print "Kicked by Console", then svc_disconnect
    with PeerServer(kind="quakespasm", protocol=15) as server:
        dropped_by_the_server(server, "kick", "host")


@case
def darkplaces_kick():
    # a reliable print "Kicked by Console", then svc_disconnect in three unreliable datagrams
    with PeerServer() as server:
        dropped_by_the_server(server, "kick", "host")


if __name__ == "__main__":
    main()
