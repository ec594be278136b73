#!/usr/bin/env python3
"""Leaving real servers through the real binary: a change from one DarkPlaces server to another in
one unbroken reliable stream, with the first server told at once; and each way the host's game can
end without the host leaving the proxy: its disconnect command, and servers that drop it (svc_disconnect
alone in a reliable message, behind a print in one, in unreliable datagrams). The host is left waiting
at the proxy with its banner, free to connect again, and svc_disconnect never reaches its game client."""
import expect
import nq
from harness import PeerServer, Session, case, check, main


def leave(s, server, what, action):
    """Ends the host's game on `server` by `action`, checks it waits at the proxy, and plays again."""
    mark, games = len(s.host.prints), len(s.host.levels)
    action()
    s.check_waiting(mark, what)
    s.connect(server.port)
    s.serve(lambda: len(s.host.levels) == games + 1 and s.host.in_game(), 10, "the game again after " + what)
    return mark


@case
def darkplaces_server_change_then_disconnect_command_then_kick():
    with PeerServer() as first, PeerServer(level="blitzkrieg3") as second, Session() as s:
        s.play_on(first, seconds=1)
        s.connect(second.port)
        s.serve(lambda: "host left the game" in first.log(), 3, "the first server's 'left the game'",
                first.describe)
        check("timed out" not in first.log(), "the first server timed the host out", first.describe())
        s.serve(lambda: len(s.host.levels) == 2 and s.host.in_game(), 10, "the game on the second server")
        check(s.host.levels[1].startswith("Blitzkrieg"), "levels %r" % s.host.levels)
        check(s.host.signons == [1, 2, 3, 4, 1, 2, 3, 4], "signons %r" % s.host.signons)
        s.serve(lambda: "host entered the game" in second.log(), 3, "the second server's 'entered the game'",
                second.describe)
        mark = len(s.host.events)
        s.serve(None, 1, "")
        check(s.host.frames(mark) >= 10, "no game on the second server", s.describe())
        seqs = nq.reliable_seqs(s.host.channel, "in")
        check(seqs == list(range(len(seqs))), "reliable numbering at the host: %r" % seqs, s.describe())
        useqs = s.host.channel.unreliable_seqs
        check(useqs == list(range(len(useqs))), "unreliable numbering at the host has gaps", useqs)
        check(not s.host.parse_errors and s.host.channel.duplicates == 0, "bad stream", s.describe())

        # the disconnect command, then the second server's kick
        mark = leave(s, second, "disconnect", lambda: s.command("proxy:disconnect", "Disconnected.\n"))
        texts = s.host.prints
        check(texts.index("Disconnected.\n", mark) < texts.index(expect.greeting(s.banner_url()), mark),
              "the banner came before the reply", texts[mark:])
        s.serve(lambda: "host left the game" in second.log(), 3, "the server's 'left the game'",
                second.describe)
        # a reliable print "Kicked by Console", then svc_disconnect in three unreliable datagrams
        leave(s, second, "kick", lambda: second.console("kick", "host"))


@case
def quakespasm_kick_then_shutdown():
    with PeerServer(kind="quakespasm", protocol=15) as server, Session() as s:
        s.play_on(server, seconds=1)
        # one reliable message: the print "Kicked by Console", then svc_disconnect
        leave(s, server, "kick", lambda: server.console("kick", "host"))
        # "quit" sends a reliable message holding svc_disconnect alone
        mark = len(s.host.prints)
        server.console("quit")
        s.check_waiting(mark, "the server's shutdown")


if __name__ == "__main__":
    main()
