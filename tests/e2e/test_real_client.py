#!/usr/bin/env python3
"""The real DarkPlaces client through the real binary: as the host, saying the connect command; as an
observer caught up mid-level beside a scripted one, both through a level change of the game's own
(intermission, then changelevel), then kicked; and playing back the demo recorded meanwhile. A level whose
signon stage 2 comes as three 50000-byte messages, each in one datagram (as QuakeSpasm 0.96 and later send
them): a late observer takes each in pieces its client reads, a mid-level demo holds each as a block and plays."""
import signal
from peer import *

PARTS = [b"\x01" * 50000, b"\x01" * 50000, b"\x01" * 49998 + bytes([SVC_SIGNONNUM, 2])]


class BigSignonServer(FakeServer):
    fragment = 64000

    def on_message(self, msg):
        if b"\x04prespawn\0" not in msg:
            return super().on_message(msg)
        self.commands.append("prespawn")
        for part in PARTS:
            self.send_reliable(part)


@case
def big_stage_two_reaches_a_late_observer_and_a_mid_level_demo():
    with PeerServer() as game:                # its game folder: the map and the client's data
        with Session("-o", 1, cwd=os.path.join(game.dir, "id1")) as s:
            s.connect(BigSignonServer(level="am_underworks"))
            s.serve(s.host.in_game, 10, "the host in the game")
            watcher = s.observer()
            s.serve(watcher.in_game, 20, "the observer in the game")
            check(max(watcher.sizes_in) <= 1032, "the observer got a %d-byte datagram" % max(watcher.sizes_in))
            whole = [m for m in watcher.reliable_messages if len(m) > 40000]
            check(whole == PARTS and watcher.levels == s.host.levels and not watcher.parse_errors, "observer", s.describe)
            s.command("proxy:record mid", "Recording to mid01.dem.\n")
            s.serve(None, 1)
            s.command("proxy:record stop", "Completed mid01.dem.\n")
        blocks = [m for m, _ in walk_demo(os.path.join(game.dir, "id1", "mid01.dem"))]
        check(blocks[2:5] == PARTS, "the stage-2 blocks", [len(b) for b in blocks[:6]])
        log = play_demo(game.dir, "mid01")
        check("CL_SignonReply: 4" in log, "playback did not reach the game", log[-3000:])


@case
def real_host_plays():
    with PeerServer() as server, Proxy(port=free_port()) as p, RealClient(p.port, "realhost", "+defer", "3",
            "say proxy:connect %s:%d" % (LOOPBACK, server.port), game_dir=server.dir) as rc:
        p.wait_ready()
        wait_until(lambda: "CL_SignonReply: 4" in rc.log() and "realhost entered the game" in server.log(), 40,
                   "the real client in the game", p.describe, rc.describe, server.describe)
        check("say proxy: help for list of commands" in rc.log() and "Connection accepted" in rc.log(), "", rc.describe)


@case
def real_observer_level_change_and_demo_playback():
    with PeerServer(cvars=("mini_next", "blitzkrieg3", "mini_noise", "0.5")) as server, \
            Session("-o", 2, cwd=server.dir + "/id1") as s:
        s.play_on(server)
        watcher = s.observer()
        s.serve(watcher.in_game, 10, "the scripted observer in the game")
        s.command("proxy:record played", "Recording to played01.dem.\n")
        with RealClient(s.port, "realwatcher", game_dir=server.dir) as rc:
            s.serve(lambda: "CL_SignonReply: 4" in rc.log(), 30, "the real observer in the game", rc.describe)
            server.console("set", "mini_cycle", "1")      # intermission now, changelevel 2 s later
            s.serve(lambda: any(c == SVC_INTERMISSION for _, c, _ in watcher.events), 5, "the intermission")
            server.console("set", "mini_cycle", "0")
            s.serve(lambda: s.host.in_game() and watcher.in_game() and len(watcher.levels) == 2 and
                    rc.log().count("CL_SignonReply: 4") == 2, 20, "everyone on the next level", rc.describe)
            check(watcher.levels == s.host.levels and "Blitzkrieg Sector" in rc.log(), watcher.levels, rc.describe)
            s.host.say("proxy:kick realwatcher")
            s.serve(lambda: s.host.printed("Observer realwatcher got the boot.\n") and "Kicked by console." in rc.log(),
                    5, "the kick", rc.describe)
            s.fed(watcher, 0.5)
            check("watcher" not in server.log(), "the server heard of an observer", server.describe)
        s.proxy.signal(signal.SIGINT)
        check(s.proxy.wait_exit(3) == 0, "break", s.describe)
        walk_demo(server.dir + "/id1/played02.dem")
        log = play_demo(server.dir, "played02")
        check("Playing demo played02.dem." in log and log.count("This demo file was recorded with") == 2 and
              "CL_SignonReply: 4" in log and "Server disconnected" in log, "the demo did not play through", log[-3000:])


if __name__ == "__main__":
    main()
