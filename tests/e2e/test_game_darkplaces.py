#!/usr/bin/env python3
"""A game through the real binary: scripted host client -> proxy -> the peer rig's real DarkPlaces
server (one port for every client, game protocol 15): signon, play, reliable messages in fragments,
the host's disconnect and a new host, and an observer that joins while the host is still loading.
(Observers joining a game under way and following a level change: test_real_client.)"""
import expect
import nq
from harness import PeerServer, Session, case, check, main

LONG_LINE = "noise: long print "


def observer_banner(url, host_name):
    """The print an observer gets while its host has no game."""
    rule = expect.BAR + "\n"
    return (rule + expect.VERSION + " \x85 Visit Skopos homepage\n" + url + "\n" +
            "\nObserver mode. Waiting for your host,\n%s, to select a server.\nCommands:\n"
            "say    - send a message\nname   - change your name\nstatus - list all observers\n" % host_name +
            rule)


@case
def game_on_darkplaces():
    with PeerServer(cvars=("mini_noise", "0.3")) as server, Session() as s:
        s.play_on(server)
        # mini_bigprint: 4 long lines in one reliable message, longer than one fragment
        s.serve(lambda: any(p.count(LONG_LINE) == 4 for p in s.host.prints), 6, "the long print")
        check(any(flags == nq.DATA for d, flags, _, _ in s.host.channel.log if d == "in"),
              "no reliable message came in fragments")
        # DarkPlaces tells the joining client too (QuakeSpasm only the others)
        check(s.host.printed("host entered the game\n"), "no 'entered the game' print", s.describe())
        s.host.disconnect()
        s.proxy.wait_output("Client connection closed.\nWaiting for client...\n")
        s.serve(lambda: "host left the game" in server.log(), 5, "the server's 'left the game'")
        again = nq.GameClient("again")            # the proxy takes a new host
        again.connect(s.port)
        nq.serve([again], lambda: again.prints, 3)
        check(again.accept and again.prints, "no new host admitted", s.describe())
        again.close()


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
