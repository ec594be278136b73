#!/usr/bin/env python3
"""The real binary on the rig's DarkPlaces servers (protocol 15, one port for all clients): a change of server
in one reliable sequence, the ways a game ends with the host left waiting at the proxy; a chain of three
proxies with transparent and wakeup."""
from peer import *


@case
def server_change_and_the_host_left_waiting():
    with PeerServer() as first, PeerServer(level="blitzkrieg3") as second, Session() as s:
        s.play_on(first)
        s.connect(second)
        s.serve(lambda: "host left the game" in first.log(), 3, "the first server told", first.describe)
        s.serve(lambda: s.host.in_game() and len(s.host.levels) == 2 and s.host.levels[1].startswith("Blitzkrieg"), 10,
                "the game on the second server")
        check(s.host.signons == [1, 2, 3, 4] * 2 and consecutive(s.host.reliable_in), "", s.describe)
        s.fed(s.host)
        for what, action in (("disconnect", lambda: s.command("proxy:disconnect", "Disconnected.\n")),
                             ("kick", lambda: second.console("kick", "host"))):
            mark = len(s.host.prints)
            action()
            s.check_waiting(mark, what)
            s.serve(lambda: "host left the game" in second.log(), 3, "'left the game'", second.describe)
            s.play_on(second, 0.5)
        for _ in range(3):
            s.host.send_unreliable(b"\x02")    # clc_disconnect
        s.proxy.wait_output("Client connection closed.\nWaiting for client...\n")
        check(admit(s.port, "again").prints, "no new host admitted", s.describe)


@case
def chain_of_three_proxies():
    with PeerServer() as server, Proxy("-n", "B", port=free_port()) as b, Proxy("-n", "C", port=free_port()) as c, \
            Session("-n", "A") as s:
        c.wait_ready()
        describe = s.describe
        s.describe = lambda: "\n".join([describe(), "=== B: " + b.describe(), "=== C: " + c.describe()])
        for proxy, name in (b, "B"), (c, "C"):     # each joined through the transparent ones before it
            s.connect(proxy.port)
            s.serve(lambda: s.host.printed(greeting(s.banner_url(), name + ":")), 3, name + "'s greeting")
            s.command("proxy:transparent", "Entering transparent mode.\n")
        s.play_on(server)
        check(s.proxy.stdout.count("Server connection established.") == 1 == b.stdout.count("established."), "again")
        s.command("proxy:transparent", "Entering transparent mode.")
        for n, name in ("3", "C"), ("2", "B"), ("", "A"):
            s.command("proxy:wakeup " + n, "Command processing enabled.\n")
            s.command("proxy:help", "say %s: command [parameters]\n" % name)

if __name__ == "__main__":
    main()
