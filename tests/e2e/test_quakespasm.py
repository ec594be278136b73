#!/usr/bin/env python3
"""The rig's QuakeSpasm servers at protocols 15, 666, 999: a 2496-byte datagram whole, an observer through a
level change, demos of both levels; a kicked host left waiting at the proxy, then leaving it."""
import signal
from peer import *

BULK = b"rig: bulk"


def game_at(protocol, flags=0):
    with PeerServer(kind="quakespasm", protocol=protocol, noise=0.2, bulk=4) as server, \
            Session("-o", 1, "-d", "lvl", cwd=server.dir) as s:
        s.play_on(server)
        check((s.host.state["protocol"], s.host.state["flags"]) == (protocol, flags), "announced %r" % s.host.state)
        check(int(SERVER_ESTABLISHED.search(s.proxy.stdout)[4]) != server.port, "not moved to the new port")
        s.serve(lambda: any(m.count(BULK) == 16 for m in s.host.reliable_messages), 6, "the bulk message")
        bulk = next(m for m in s.host.reliable_messages if m.count(BULK) == 16)
        check(s.host.largest == 8 + len(bulk) > 2048, "largest datagram %d bytes" % s.host.largest)
        watcher = s.observer()
        s.serve(watcher.in_game, 10, "the observer in the game")
        server.console("changelevel", "room2")
        s.serve(lambda: s.host.levels == watcher.levels == ["Room 1", "Room 2"] and s.host.in_game() and
                watcher.in_game(), 15, "both on the next level", server.describe)
        check(watcher.signons == [1, 2, 3, 4] * 2 and watcher.state["protocol"] == protocol, watcher.signons)
        s.fed(watcher)
        # a signon message may reach the observer twice at the change (on arrival, and from the store
        # before its ack): harmless, once per message at most
        check(watcher.stats["repeated fragments"] <= 3 and s.host.stats["repeated fragments"] == 0
              and not watcher.stats["parse errors"], "bad streams: %r" % watcher.stats, s.describe)
        s.proxy.proc.send_signal(signal.SIGTERM)     # as systemd stops the service
        check(s.proxy.wait_exit(3) == 0, "break", s.describe)
        in_order(s.proxy.stdout, "Recording to lvl01.dem.\n", "Received reconnect.\n", "Completed lvl01.dem.\n",
                 "Recording to lvl02.dem.\n", BREAK, "Completed lvl02.dem.\n")
        # lvl02.dem: the catch-up records of the level left, then the new level
        for name, levels in ("lvl01", ["Room 1"]), ("lvl02", ["Room 1", "Room 2"]):
            blocks = walk_demo("%s/%s.dem" % (server.dir, name))
            infos = [(v["level"], v["protocol"]) for _, msgs in blocks for c, v in msgs if c == SVC_SERVERINFO]
            signons = [v for _, msgs in blocks for c, v in msgs if c == SVC_SIGNONNUM]
            check(infos == [(l, protocol) for l in levels] and signons == [1, 2, 3] * len(levels), name, infos, signons)
            check(name == "lvl02" or any(m.count(BULK) == 16 for m, _ in blocks), "lvl01.dem lacks the bulk message")


for protocol, flags in (PROTOCOL_NETQUAKE, 0), (PROTOCOL_FITZQUAKE, 0), (PROTOCOL_RMQ, 0x82):   # 0x82: 32-bit
    case(lambda p=protocol, f=flags: game_at(p, f)).__name__ = "protocol_%d" % protocol    # coords, 16-bit angles


@case
def kicked_host_waits_at_the_proxy_then_leaves():
    with PeerServer(kind="quakespasm") as server, Session() as s:
        s.play_on(server)
        server.console("kick", "host")      # a print, then svc_disconnect, in one reliable message
        s.serve(lambda: s.host.prints[-1] == greeting(s.proxy.stdout), 3, "the greeting")
        check((False, SVC_STUFFTEXT, RECONNECT_ORDER) in s.host.events and not s.host.stats["disconnected"], "told",
              s.describe)
        for _ in range(3):
            s.host.send_unreliable(b"\x02")    # clc_disconnect
        s.proxy.wait_output("Client connection closed.\nWaiting for client...\n")
        check(admit(s.port, "again").prints, "no new host admitted", s.describe)


if __name__ == "__main__":
    main()
