#!/usr/bin/env python3
"""A game through the real binary: scripted host client -> proxy -> the peer rig's real DarkPlaces
server (one port for every client, game protocol 15): signon, play, reliable messages in fragments,
a level change, an observer joining the game under way, the host's disconnect."""
import nq
from harness import PeerServer, Session, case, check, main

LONG_LINE = "noise: long print "


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


@case
def level_change_on_darkplaces():
    with PeerServer() as server, Session() as s:
        s.play_on(server, seconds=1)
        server.console("changelevel", "blitzkrieg3")
        s.serve(lambda: len(s.host.levels) == 2 and s.host.in_game(), 15, "the game on the next level")
        check(s.host.levels[1].startswith("Blitzkrieg"), "levels %r" % s.host.levels)
        check(s.host.signons == [1, 2, 3, 4, 1, 2, 3, 4], "signons %r" % s.host.signons)


@case
def observer_joins_a_game_under_way():
    with PeerServer(cvars=("mini_noise", "0.5")) as server, Session("-o", 2) as s:
        s.play_on(server, seconds=1)
        watcher = nq.GameClient("watcher")
        watcher.connect(s.port)
        s.servers.append(watcher)                # served along with the host from now on
        s.serve(watcher.in_game, 10, "the observer's catch-up")
        s.proxy.wait_output("Observer joined.\n")
        fed = len(watcher.channel.unreliable_seqs)
        s.serve(None, 2, "")
        check(len(watcher.channel.unreliable_seqs) - fed >= 20, "the observer is not fed", s.describe())
        check("watcher" not in server.log(), "the server heard of the observer", server.describe())
        before = len(watcher.prints)
        watcher.send_commands("status")
        want = "Your host:\n%-15s %s\nObservers:\n%-15s %s\n" % ("host", nq.LOOPBACK, "watcher", nq.LOOPBACK)
        s.serve(lambda: want in watcher.prints[before:], 3, "the status list %r" % want)
        server.console("changelevel", "blitzkrieg3")
        s.serve(lambda: len(watcher.levels) == 2 and watcher.in_game() and s.host.in_game(), 15,
                "both on the next level")
        check(watcher.signons == [1, 2, 3, 4, 1, 2, 3, 4], "observer signons %r" % watcher.signons)
        # (a fragment sent twice is harmless: the observer acks it and drops the copy)
        check(not watcher.parse_errors, "observer stream %r" % watcher.parse_errors)


@case
def host_disconnect_reaches_darkplaces():
    with PeerServer() as server, Session() as s:
        s.play_on(server, seconds=1)
        s.host.disconnect()
        s.proxy.wait_output("Client connection closed.\nWaiting for client...\n")
        s.serve(lambda: "host left the game" in server.log(), 5, "the server's 'left the game'")


if __name__ == "__main__":
    main()
