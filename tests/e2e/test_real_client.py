#!/usr/bin/env python3
"""The real DarkPlaces game client (headless) through the real binary on the peer rig's DarkPlaces
server: as the host client, which says the connect command and plays, and as an observer beside a
scripted one that joins the game under way, both carried through a level change of the game's own
(intermission, then changelevel) until the host kicks it."""
import nq
from harness import PeerServer, Proxy, RealClient, Session, case, check, main


def signon_replies(log):
    """The DarkPlaces client's signon stages as its console (+developer 1) logged them."""
    return [int(line.split(":")[1]) for line in log.splitlines() if line.startswith("CL_SignonReply:")]


@case
def real_client_plays_through_the_proxy():
    with PeerServer() as server:
        port = nq.free_port()
        with Proxy(port=port) as p:
            p.wait_ready()
            # the connect command 4 s after start, once the client is in; the client quits after 12 s
            with RealClient(port, "realhost", "+developer", "1", "+defer", "4",
                            "say proxy:connect %s:%d" % (nq.LOOPBACK, server.port),
                            seconds=12, game_dir=server.dir) as rc:
                entered = rc.proc.wait(72) == 0
                context = (p.describe(), rc.describe(), server.describe())
                log = rc.log()
            check("say proxy: help for list of commands" in log, "no greeting in the client", *context)
            check("trying..." in log and "Connection accepted" in log, "no connect replies", *context)
            check(entered and "CL_SignonReply: 4" in log, "the client did not enter the game", *context)
            check("realhost entered the game" in server.log(), "the server did not see it", *context)
            p.wait_output("Client connection closed.\nWaiting for client...\n", 5)


@case
def real_client_observer_follows_a_level_change():
    cvars = ("mini_cycle", "0", "mini_next", "blitzkrieg3", "mini_noise", "0.5")
    with PeerServer(cvars=cvars) as server, Session("-o", 2) as s:
        s.play_on(server, seconds=1)
        watcher = nq.GameClient("watcher")
        watcher.connect(s.port)
        s.servers.append(watcher)
        s.serve(watcher.in_game, 10, "the scripted observer in the game")
        fed = len(watcher.channel.unreliable_seqs)
        s.serve(None, 2, "")
        check(len(watcher.channel.unreliable_seqs) - fed >= 20, "the observer is not fed", s.describe())
        before = len(watcher.prints)
        watcher.send_commands("status")
        want = "Your host:\n%-15s %s\nObservers:\n%-15s %s\n" % ("host", nq.LOOPBACK, "watcher", nq.LOOPBACK)
        s.serve(lambda: want in watcher.prints[before:], 3, "the status list %r" % want)
        with RealClient(s.port, "realwatcher", "+developer", "1", game_dir=server.dir) as rc:
            s.serve(lambda: "CL_SignonReply: 4" in rc.log(), 30, "the real observer in the game", rc.describe)
            check(s.proxy.stdout.count("Observer joined.\n") == 2, "observers joined", s.describe())
            check("watcher" not in server.log(), "the server heard of an observer", server.describe())

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



if __name__ == "__main__":
    main()
