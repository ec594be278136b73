#!/usr/bin/env python3
"""A game through the real binary: scripted host client -> proxy -> the peer rig's real QuakeSpasm
server, which moves every client to a port of its own and sends reliable messages unfragmented."""
import expect
from harness import PeerServer, Session, case, check, main


@case
def game_on_quakespasm():
    with PeerServer(kind="quakespasm", protocol=15, cvars=("mini_noise", "0.3")) as server, Session() as s:
        s.play_on(server)
        m = expect.SERVER_ESTABLISHED.search(s.proxy.stdout)
        check(int(m.group(4)) != server.port, "the proxy did not move to the server's new port: %r" %
              m.group(0))


@case
def large_reliable_datagrams_on_quakespasm_666():
    # mini_bigprint 4: four prints of 620 bytes in one reliable datagram of 2496 bytes
    cvars = ("mini_noise", "0.2", "mini_bigprint", "4")
    with PeerServer(kind="quakespasm", protocol=666, cvars=cvars) as server, Session() as s:
        s.connect(server.port)
        s.serve(s.host.in_game, 10, "the game")
        check(s.host.proto.version == 666, "protocol %d" % s.host.proto.version)
        s.serve(lambda: any(m.count(b"noise: long print") == 16 for _, m in s.host.reliable_messages), 6,
                "the 2496-byte reliable message")
        largest = max(n for d, _, _, n in s.host.channel.log if d == "in")
        check(largest > 2048, "largest datagram %d bytes" % largest)
        check(not s.host.parse_errors and s.host.channel.duplicates == 0, "bad stream", s.describe())


if __name__ == "__main__":
    main()
