#!/usr/bin/env python3
"""The real binary on the rig's DarkPlaces servers (protocol 15, one port for all clients): a disconnect
leaving the host waiting at the proxy, the host's own leave; three proxies chained."""
from peer import *


@case
def disconnect_leaves_the_host_waiting_then_the_host_leaves():
    with PeerServer() as server, Session() as s:
        s.play_on(server)
        s.command("proxy:disconnect", "Disconnected.\n")      # then the greeting, the host's client told to reconnect
        s.serve(lambda: s.host.prints[-1] == greeting(s.proxy.stdout), 3, "the greeting")
        check((False, SVC_STUFFTEXT, RECONNECT_ORDER) in s.host.events and not s.host.stats["disconnected"], "told",
              s.describe)
        s.serve(lambda: "host left the game" in server.log(), 3, "the server told", server.describe)
        for _ in range(3):
            s.host.send_unreliable(b"\x02")    # clc_disconnect
        s.proxy.wait_output("Client connection closed.\nWaiting for client...\n")
        check(admit(s.port, "again").prints, "no new host admitted", s.describe)


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
