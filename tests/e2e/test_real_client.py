#!/usr/bin/env python3
"""The real DarkPlaces game client (headless) as the host client: it connects to the real binary,
says the connect command and plays on the peer rig's DarkPlaces server."""
import nq
from harness import PeerServer, Proxy, case, check, main, real_client


@case
def real_client_plays_through_the_proxy():
    with PeerServer() as server:
        port = nq.free_port()
        with Proxy(port=port) as p:
            p.wait_ready()
            # the connect command 4 s after start, once the client is in; the client quits after 12 s
            entered, log = real_client(port, 12, "realhost", "+developer", "1", "+defer", "4",
                                       "say proxy:connect %s:%d" % (nq.LOOPBACK, server.port),
                                       game_dir=server.dir)
            context = (p.describe(), "--- client log:\n" + log[-3000:], server.describe())
            check("say proxy: help for list of commands" in log, "no greeting in the client", *context)
            check("trying..." in log and "Connection accepted" in log, "no connect replies", *context)
            check(entered and "CL_SignonReply: 4" in log, "the client did not enter the game", *context)
            check("realhost entered the game" in server.log(), "the server did not see it", *context)
            p.wait_output("Client connection closed.\nWaiting for client...\n", 5)


if __name__ == "__main__":
    main()
