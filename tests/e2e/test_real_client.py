#!/usr/bin/env python3
"""The real DarkPlaces client through the real binary: as the host, saying the connect command; as an
observer caught up mid-level beside a scripted one, both through a level change of the game's own
(intermission, then changelevel), then kicked; and playing back the demo recorded meanwhile."""
import signal
from peer import *


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
            watcher.send_commands("status")
            want = "Your host:\n%-15s %s\nObservers:\n" % ("host", LOOPBACK) + "".join(
                "%-15s %s\n" % (n, LOOPBACK) for n in ("watcher", "realwatcher"))
            s.serve(lambda: want in watcher.prints, 3, "the status list %r" % want)
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
