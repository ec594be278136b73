#!/usr/bin/env python3
"""Games through the real binary on the rig's DarkPlaces servers (protocol 15, one port for all clients):
long reliable messages in fragments, a change of server in one reliable sequence with an observer caught
up mid-level and demos completed by the break; the ways a game ends with the host left waiting at the
proxy; a chain of three proxies with transparent, wakeup and observing."""
import os, signal, struct
from peer import *


@case
def game_server_change_observer_and_demos():
    with PeerServer(cvars=("mini_noise", "0.1")) as first, PeerServer(level="blitzkrieg3") as second, \
            Session("-o", 1, cwd=os.path.join(first.dir, "id1")) as s:
        s.play_on(first)
        s.serve(lambda: any(p.count("noise: long print") == 4 for p in s.host.prints), 5, "the long print (fragments)")
        check(s.host.printed("host entered the game\n") and "host entered the game" in first.log(), "", first.describe)
        s.command("proxy:record mid", "Recording to mid01.dem.\n")
        watcher = s.observer()
        s.serve(watcher.in_game, 10, "the observer caught up mid-level")
        s.fed(watcher)
        s.connect(second)
        s.serve(lambda: "host left the game" in first.log(), 3, "the first server told", first.describe)
        s.serve(lambda: s.host.in_game() and watcher.in_game() and len(watcher.levels) == 2, 10, "the second server")
        check(s.host.signons == [1, 2, 3, 4] * 2 and watcher.levels == s.host.levels, "levels %r" % watcher.levels)
        s.fed(s.host)
        check(consecutive(s.host.reliable_in) and "watcher" not in first.log(), "", s.describe)
        s.proxy.signal(signal.SIGINT)
        check(s.proxy.wait_exit(3) == 0, "break", s.describe)
        in_order(s.proxy.stdout, "Recording to mid01.dem.\n", "Completed mid01.dem.\n", "Recording to mid02.dem.\n",
                 BREAK, "Completed mid02.dem.\n")
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


@case
def chain_of_three_proxies():
    def helped_by(name):
        check(s.command("proxy:help", "Recognized commands:")[-1] == help_summary(name + ":"), "not " + name, s.describe)

    def views(since):     # unreliable svc_setangle at B's observer, then at A's host
        return [sum(1 for r, c, _ in x.events[m:] if c == SVC_SETANGLE and not r) for x, m in zip((watcher, s.host), since)]

    with PeerServer() as server, Proxy("-n", "B", "-o", 1, port=free_port()) as b, \
            Proxy("-n", "C", port=free_port()) as c, Session("-n", "A") as s:
        c.wait_ready()
        describe = s.describe
        s.describe = lambda: "\n".join([describe(), "=== B: " + b.describe(), "=== C: " + c.describe()])
        for proxy, name in (b, "B"), (c, "C"):     # each joined through the transparent ones before it
            s.connect(proxy.port)
            s.serve(lambda: s.host.printed(greeting(s.banner_url(), name + ":")), 3, name + "'s greeting")
            s.command("proxy:transparent", "Entering transparent mode.\n")
            helped_by(name)
        s.play_on(server)
        check(s.proxy.stdout.count("Server connection established.") == 1 == b.stdout.count("established."), "again")
        s.command("proxy:transparent", "Entering transparent mode.")
        for n, name in ("3", "C"), ("2", "B"), ("", "A"):
            s.command("proxy:wakeup " + n, "Command processing enabled.\n")
            helped_by(name)
        # observing mode on A: its host's moves go on only now and then, and A turns its host's view;
        # B steers its observer's view once per move it gets
        s.command("proxy:transparent", "Entering transparent mode.")
        watcher = s.observer(port=b.port)
        s.serve(watcher.in_game, 10, "B's observer in the game")
        mark = (len(watcher.events), len(s.host.events))
        s.serve(None, 1)
        check(views(mark)[0] >= 10 and views(mark)[1] == 0, "views before observing: %r" % views(mark))
        s.command("proxy:wakeup", "Command processing enabled.\n")
        s.host.say("proxy:observing")
        s.serve(None, 0.5)
        mark = (len(watcher.events), len(s.host.events))
        s.serve(None, 1)
        check(views(mark)[0] <= 1 and views(mark)[1] >= 10, "views in observing mode: %r" % views(mark), s.describe)


if __name__ == "__main__":
    main()
