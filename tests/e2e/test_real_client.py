#!/usr/bin/env python3
"""The real DarkPlaces client as the host of a game on the real server; and a level whose signon stage 2 comes as
three 50000-byte messages in one datagram each: late observers (scripted, and the real client) take them in pieces,
a mid-level demo holds them whole; the real client plays it."""
from peer import *

PARTS = [b"\x01" * 50000, b"\x01" * 50000, b"\x01" * 49998 + bytes([SVC_SIGNONNUM, 2])]


@case
def big_stage_two_reaches_a_late_observer_and_a_mid_level_demo():
    with PeerServer() as game:                # its game folder: the map and the client's data
        with Session("-o", 2, cwd=os.path.join(game.dir, "id1")) as s:
            s.connect(FakeServer("am_underworks", stage2=PARTS))
            s.serve(s.host.in_game, 10, "the host in the game")
            watcher = s.observer()
            with RealClient(game.dir, s.port, "realwatcher") as rc:
                s.serve(lambda: watcher.in_game() and "CL_SignonReply: 4" in rc.log(), 30, "the observers in the game",
                        rc.describe)
            check(watcher.largest <= 1032, "the observer got a %d-byte datagram" % watcher.largest)
            whole = [m for m in watcher.reliable_messages if len(m) > 40000]
            check(whole == PARTS and watcher.levels == s.host.levels and not watcher.stats["parse errors"], "observer",
                  s.describe)
            s.command("proxy:record mid", "Recording to mid01.dem.\n")
            s.serve(None, 1)
            s.command("proxy:record stop", "Completed mid01.dem.\n")
        blocks = [m for m, _ in walk_demo(os.path.join(game.dir, "id1", "mid01.dem"))]
        check(blocks[2:5] == PARTS, "the stage-2 blocks", [len(b) for b in blocks[:6]])
        log = play_demo(game.dir, "mid01")
        check("CL_SignonReply: 4" in log, "playback did not reach the game", log[-3000:])


@case
def real_host_plays():
    with PeerServer() as server, Proxy(port=free_port()) as p, RealClient(server.dir, p.port, "realhost", "+defer", "3",
            "say proxy:connect %s:%d" % (LOOPBACK, server.port)) as rc:
        wait_until(lambda: "CL_SignonReply: 4" in rc.log() and "realhost entered the game" in server.log(), 40,
                   "the real client in the game", p.describe, rc.describe, server.describe)
        check("say proxy: help for list of commands" in rc.log() and "Connection accepted" in rc.log(), "", rc.describe)


if __name__ == "__main__":
    main()
