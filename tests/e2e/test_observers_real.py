#!/usr/bin/env python3
"""Observers of the real binary on the peer rig's DarkPlaces server: the real DarkPlaces game client
as an observer beside a scripted one, both carried through a level change of the game's own
(intermission, then changelevel), and an observer that joins while the host is still loading."""
import expect
import nq
from harness import PeerServer, RealClient, Session, case, check, main


def observer_banner(url, host_name):
    """The print an observer gets while its host has no game."""
    rule = expect.BAR + "\n"
    return (rule + expect.VERSION + " \x85 Visit Skopos homepage\n" + url + "\n" +
            "\nObserver mode. Waiting for your host,\n%s, to select a server.\nCommands:\n"
            "say    - send a message\nname   - change your name\nstatus - list all observers\n" % host_name +
            rule)


def signon_replies(log):
    """The DarkPlaces client's signon stages as its console (+developer 1) logged them."""
    return [int(line.split(":")[1]) for line in log.splitlines() if line.startswith("CL_SignonReply:")]


@case
def real_client_observer_follows_a_level_change():
    cvars = ("mini_cycle", "0", "mini_next", "blitzkrieg3", "mini_noise", "0.5")
    with PeerServer(cvars=cvars) as server, Session("-o", 2) as s:
        s.play_on(server, seconds=1)
        watcher = nq.GameClient("watcher")
        watcher.connect(s.port)
        s.servers.append(watcher)
        s.serve(watcher.in_game, 10, "the scripted observer in the game")
        with RealClient(s.port, "realwatcher", "+developer", "1", game_dir=server.dir) as rc:
            s.serve(lambda: "CL_SignonReply: 4" in rc.log(), 30, "the real observer in the game", rc.describe)
            check(s.proxy.stdout.count("Observer joined.\n") == 2, "observers joined", s.describe())
            check("realwatcher" not in server.log(), "the server heard of the observer", server.describe())

            # the game ends the level at once: intermission to everyone, changelevel 2 s later
            server.console("set", "mini_cycle", "1")
            s.serve(lambda: any(c == nq.SVC_INTERMISSION for _, c, _ in s.host.events), 5, "the intermission")
            server.console("set", "mini_cycle", "0")
            s.serve(lambda: s.host.in_game() and watcher.in_game() and len(watcher.levels) == 2 and
                    signon_replies(rc.log()) == [1, 2, 3, 4] * 2, 20, "everyone on the next level",
                    rc.describe)
            check(any(c == nq.SVC_INTERMISSION for _, c, _ in watcher.events),
                  "the observer saw no intermission")
            check(s.host.signons == [1, 2, 3, 4] * 2, "host signons %r" % s.host.signons)
            check(watcher.signons == [1, 2, 3, 4] * 2, "observer signons %r" % watcher.signons)
            check(watcher.levels == s.host.levels and watcher.levels[1].startswith("Blitzkrieg"),
                  "observer levels %r, host levels %r" % (watcher.levels, s.host.levels))
            check("Blitzkrieg Sector" in rc.log(), "the real observer did not show the new level",
                  rc.describe())
            mark = len(watcher.events)
            s.serve(None, 1, "")
            check(watcher.frames(mark) >= 10, "the observer is not fed on the new level", s.describe())
            check(not watcher.parse_errors, "observer stream %r" % watcher.parse_errors)

            # the host kicks the real observer; the scripted one watches on
            s.host.say("proxy:kick realwatcher")
            s.serve(lambda: s.host.printed("Observer realwatcher got the boot.\n") and
                    "Kicked by console." in rc.log(), 5, "the kick", rc.describe)
            mark = len(watcher.events)
            s.serve(None, 1, "")
            check(watcher.frames(mark) >= 10, "the other observer lost its feed", s.describe())


@case
def observer_waits_for_a_loading_host():
    with PeerServer() as server, Session("-o", 1) as s:
        s.host.walk_signon = False            # the host stays loading after the first signon stage
        s.connect(server.port)
        s.serve(lambda: s.host.signons == [1], 5, "the host's first signon stage")
        watcher = nq.GameClient("watcher")
        watcher.connect(s.port)
        s.servers.append(watcher)
        want = observer_banner(s.banner_url(), "unnamed")
        s.serve(lambda: want in watcher.prints, 3, "the observer banner")
        s.serve(None, 1, "")
        check(not watcher.levels and not watcher.signons, "the observer got a signon from a loading host",
              watcher.events)
        # the host goes on loading; the observer is caught up once it is in the game
        s.host.walk_signon = True
        s.host.send_commands("prespawn")
        s.serve(lambda: s.host.in_game() and watcher.in_game(), 10, "host and observer in the game")
        check(watcher.signons == [1, 2, 3, 4], "observer signons %r" % watcher.signons)
        check(watcher.levels == s.host.levels, "observer levels %r" % watcher.levels)
        mark = len(watcher.events)
        s.serve(None, 1, "")
        check(watcher.frames(mark) >= 10, "the observer is not fed", s.describe())
        check(not watcher.parse_errors, "observer stream %r" % watcher.parse_errors)


if __name__ == "__main__":
    main()
