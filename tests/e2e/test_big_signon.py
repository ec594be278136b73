#!/usr/bin/env python3
"""A level whose signon stage 2 comes as three messages of 50000 bytes, each in one datagram (as
QuakeSpasm 0.96 and later send them): an observer joins mid-level and takes each in pieces its client
reads, and a demo started mid-level holds each as a block and plays in the real DarkPlaces client."""
import os
import time

from peer import FakeServer, PeerServer, Session, SVC_SIGNONNUM, case, check, main, play_demo, walk_demo

PARTS = [b"\x01" * 50000, b"\x01" * 50000, b"\x01" * 49998 + bytes([SVC_SIGNONNUM, 2])]


class BigSignonServer(FakeServer):
    fragment = 64000

    def on_message(self, msg, reliable):
        if not (reliable and b"\x04prespawn\0" in msg):
            return super().on_message(msg, reliable)
        self.commands.append("prespawn")
        for part in PARTS:
            self.send_reliable(part)


@case
def big_stage_two_reaches_a_late_observer_and_a_mid_level_demo():
    with PeerServer() as game:                # its game folder: the map and the client's data
        with Session("-o", 1, cwd=os.path.join(game.dir, "id1")) as s:
            s.connect(BigSignonServer(level="am_underworks"))
            s.serve(s.host.in_game, 10, "the host in the game")
            start = time.monotonic()
            watcher = s.observer()
            s.serve(watcher.in_game, 20, "the observer in the game")
            print("observer caught up on a 150000-byte stage 2 in %.2f s" % (time.monotonic() - start))
            check(max(watcher.sizes_in) <= 1032, "the observer got a %d-byte datagram" % max(watcher.sizes_in))
            check(watcher.levels == s.host.levels and not watcher.parse_errors, "observer", s.describe)
            s.command("proxy:record mid", "Recording to mid01.dem.\n")
            s.serve(None, 1)
            s.command("proxy:record stop", "Completed mid01.dem.\n")
        blocks = [m for m, _ in walk_demo(os.path.join(game.dir, "id1", "mid01.dem"))]
        check(blocks[2:5] == PARTS, "the stage-2 blocks", [len(b) for b in blocks[:6]])
        log = play_demo(game.dir, "mid01")
        check("CL_SignonReply: 4" in log, "playback did not reach the game", log[-3000:])


if __name__ == "__main__":
    main()
