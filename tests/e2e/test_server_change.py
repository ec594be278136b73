#!/usr/bin/env python3
"""Leaving real servers through the real binary: a change from one DarkPlaces server to another in
one unbroken reliable stream, with the first server told at once, and the host's disconnect command,
which leaves the host waiting at the proxy."""
import expect
import nq
from harness import PeerServer, Session, case, check, main


@case
def server_change_keeps_one_reliable_stream():
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


@case
def disconnect_leaves_the_host_waiting():
    with PeerServer() as server, Session() as s:
        s.play_on(server, seconds=1)
        mark = len(s.host.prints)
        s.command("proxy:disconnect", "Disconnected.\n")
        s.check_waiting(mark, "disconnect")
        texts = s.host.prints
        check(texts.index("Disconnected.\n", mark) < texts.index(expect.greeting(s.banner_url()), mark),
              "the banner came before the reply", texts[mark:])
        s.serve(lambda: "host left the game" in server.log(), 3, "the server's 'left the game'",
                server.describe)
        # and the host can go back
        s.connect(server.port)
        s.serve(lambda: len(s.host.levels) == 2 and s.host.in_game(), 10, "the game again")


if __name__ == "__main__":
    main()
