#!/usr/bin/env python3
"""Games through the real binary on the rig's DarkPlaces servers (protocol 15, one port for all
clients): long reliable messages in fragments, a change of server in one reliable sequence with an
observer caught up mid-level and a demo completed by the break; the ways a game ends with the host
left waiting at the proxy; and a chain of three proxies."""
import os, signal, struct
from peer import *


@case
def game_server_change_observer_and_demo():
    with PeerServer(cvars=("mini_noise", "0.1")) as first, PeerServer(level="blitzkrieg3") as second, \
            Session("-o", 1, cwd=os.path.join(first.dir, "id1")) as s:
        s.play_on(first)
        s.serve(lambda: any(p.count("noise: long print") == 4 for p in s.host.prints), 5, "the long print")
        check(s.host.printed("host entered the game\n") and "host entered the game" in first.log(), "entered", first.describe)
        s.command("proxy:record mid", "Recording to mid01.dem.\n")
        watcher = s.observer()
        s.serve(watcher.in_game, 10, "the observer caught up mid-level")
        s.fed(watcher)
        s.connect(second.port)
        s.serve(lambda: "host left the game" in first.log(), 3, "the first server told", first.describe)
        s.serve(lambda: s.host.in_game() and len(s.host.levels) == 2 and watcher.in_game() and len(watcher.levels) == 2,
                10, "both on the second server", second.describe)
        check(s.host.signons == [1, 2, 3, 4] * 2 and watcher.levels == s.host.levels, "signons %r, levels %r" % (
            s.host.signons, watcher.levels))
        s.fed(s.host)
        check(consecutive(s.host.channel.reliable_in) and not watcher.parse_errors and "watcher" not in first.log(),
              "bad stream", s.describe)
        s.proxy.signal(signal.SIGINT)
        check(s.proxy.wait_exit(3) == 0, "break", s.describe)
        out = s.proxy.stdout
        want = ["Recording to mid01.dem.\n", "Completed mid01.dem.\n", "Recording to mid02.dem.\n", BREAK, "Completed mid02.dem.\n"]
        check(-1 not in map(out.find, want) and sorted(map(out.find, want)) == list(map(out.find, want)), out)
        check(len(walk_demo(os.path.join(first.dir, "id1", "mid01.dem"))) >= 20, "mid01.dem too short")
        path = os.path.join(first.dir, "id1", "mid02.dem")
        walk_demo(path)
        with open(path, "rb") as f:         # the closing block, with the angles of the host's last move
            check(f.read()[-17:] == struct.pack("<i3fB", 1, 0.0, 90.0, 0.0, 2), "closing block of " + path)


@case
def game_ends_and_the_host_waits_at_the_proxy():
    with PeerServer() as server, Session() as s:
        for what, action in (("disconnect", lambda: s.command("proxy:disconnect", "Disconnected.\n")),
                             ("kick", lambda: server.console("kick", "host"))):
            s.play_on(server, 0.5)
            mark = len(s.host.prints)
            action()
            s.check_waiting(mark, what)
            s.serve(lambda: "host left the game" in server.log(), 3, "'left the game'", server.describe)
        s.host.disconnect()
        s.proxy.wait_output("Client connection closed.\nWaiting for client...\n")
        check(admit(s.port, "again").prints, "no new host admitted", s.describe)


def helped_by(s, name):
    check(s.command("proxy:help", "Recognized commands:")[-1] == help_summary(name + ":"), "not answered by " + name, s.describe)


def setangles(client, since):
    return sum(1 for reliable, code, _ in client.events[since:] if code == SVC_SETANGLE and not reliable)


@case
def chain_of_three_proxies():
    b_port, c_port = free_port(), free_port()
    with PeerServer() as server, Proxy("-n", "B", "-o", 1, port=b_port) as b, Proxy("-n", "C", port=c_port) as c, \
            Session("-n", "A") as s:
        c.wait_ready()
        describe = s.describe
        s.describe = lambda: "\n".join([describe(), "=== B: " + b.describe(), "=== C: " + c.describe()])
        for port, name in (b_port, "B"), (c_port, "C"):     # each joined through the transparent ones before it
            s.connect(port)
            s.serve(lambda: s.host.printed(greeting(s.banner_url(), name + ":")), 3, name + "'s greeting")
            s.command("proxy:transparent", "Entering transparent mode.\n")
            helped_by(s, name)
        s.play_on(server)
        check(s.proxy.stdout.count("Server connection established.") == 1 == b.stdout.count("Server connection established."),
              "A or B connected again", s.describe)
        s.command("proxy:transparent", "Entering transparent mode.")
        for n, name in ("3", "C"), ("2", "B"), ("", "A"):
            s.command("proxy:wakeup " + n, "Command processing enabled.\n")
            helped_by(s, name)
        # observing mode on A: its host's moves go on only now and then and A turns its host's view;
        # B's observer shows the move rate, B steering its view once per move it gets
        s.command("proxy:transparent", "Entering transparent mode.")
        watcher = Session.observer(type("B", (), {"port": b_port, "servers": s.servers})())
        s.serve(watcher.in_game, 10, "B's observer in the game")
        mark_w, mark_h = len(watcher.events), len(s.host.events)
        s.serve(None, 1)
        check(setangles(watcher, mark_w) >= 10 and setangles(s.host, mark_h) == 0, "views before observing")
        s.command("proxy:wakeup", "Command processing enabled.\n")
        s.host.say("proxy:observing")
        s.serve(None, 0.5)
        mark_w, mark_h = len(watcher.events), len(s.host.events)
        s.serve(None, 1)
        check(setangles(watcher, mark_w) <= 1 and setangles(s.host, mark_h) >= 10, "views in observing mode: %d, %d" % (
            setangles(watcher, mark_w), setangles(s.host, mark_h)), s.describe)


if __name__ == "__main__":
    main(parallel=True)
