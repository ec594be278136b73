#!/usr/bin/env python3
"""Three proxies chained in front of the rig's DarkPlaces server: transparent mode, wakeup counted down."""
from peer import *


@case
def chain_of_three_proxies():
    with PeerServer() as server, Proxy("-n", "B", port=free_port()) as b, Proxy("-n", "C", port=free_port()) as c, \
            Session("-n", "A") as s:
        for proxy, name in (b, "B"), (c, "C"):     # each joined through the transparent ones before it
            s.connect(proxy.port)
            s.serve(lambda: s.host.printed(greeting(s.proxy.stdout, name + ":")), 3, name + "'s greeting")
            s.command("proxy:transparent", "Entering transparent mode.\n")
        s.play_on(server)
        check(s.proxy.stdout.count("Server connection established.") == 1 == b.stdout.count("established."), "again")
        s.command("proxy:transparent", "Entering transparent mode.")
        for n, name in ("3", "C"), ("2", "B"), ("", "A"):
            s.command("proxy:wakeup " + n, "Command processing enabled.\n")
            s.command("proxy:help", "say %s: command [parameters]\n" % name)

if __name__ == "__main__":
    main()
