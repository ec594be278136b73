#!/usr/bin/env python3
"""A level whose signon stage 2 comes as three messages of 50000 bytes, each in one datagram (as
QuakeSpasm 0.96 and later send them): an observer joins mid-level and takes each in pieces its client
reads, and a demo started mid-level holds each as a block and plays in the real DarkPlaces client."""
import os
import time

import nq
from harness import PeerServer, Session, case, check, main, play_demo, walk_demo

PARTS = [b"\x01" * 50000, b"\x01" * 50000, b"\x01" * 49998 + bytes([nq.SVC_SIGNONNUM, 2])]


class BigSignonServer(nq.FakeServer):
    def _on_reliable(self, msg, seq):
        if msg != nq.stringcmd("prespawn"):
            return super()._on_reliable(msg, seq)
        self.commands.append("prespawn")
        for part in PARTS:
            self.send_reliable(part)


@case
def big_stage_two_reaches_a_late_observer_and_a_mid_level_demo():
    game = PeerServer()                       # its game folder only: the map and the client's data
    game._lay_out(game._require())
    nq.MAX_FRAGMENT = 64000                   # the server sends every message in one datagram
    try:
        with Session("-o", 1, cwd=os.path.join(game.dir, "id1")) as s:
            s.connect(BigSignonServer(level="am_underworks"))
            s.serve(s.host.in_game, 10, "the host in the game")
            watcher = nq.GameClient("watcher")
            start = time.monotonic()
            watcher.connect(s.port)
            s.servers.append(watcher)
            s.serve(watcher.in_game, 20, "the observer in the game")
            print("observer caught up on a 150000-byte stage 2 in %.2f s" % (time.monotonic() - start))
            longest = max(n for way, flags, _, n in watcher.channel.log if way == "in" and flags & nq.DATA)
            check(longest <= 1032, "the observer got a %d-byte fragment" % longest)
            check(watcher.levels == s.host.levels and not watcher.parse_errors, "observer", s.describe())

            s.command("proxy:record mid", "Recording to mid01.dem.\n")
            s.serve(None, 1, "")
            s.command("proxy:record stop", "Completed mid01.dem.\n")
        blocks = [m for m, _ in walk_demo(os.path.join(game.dir, "id1", "mid01.dem"))]
        check(blocks[2:5] == PARTS, "the stage-2 blocks", [len(b) for b in blocks[:6]])
        log = play_demo(game.dir, "mid01")
        check("CL_SignonReply: 4" in log, "playback did not reach the game", log[-3000:])
    finally:
        game._cleanup()


if __name__ == "__main__":
    main()
