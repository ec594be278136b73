#!/usr/bin/env python3
"""The real binary on the peer rig's QuakeSpasm server at game protocols 15, 666 and 999: the host
plays, a 2496-byte reliable datagram gets through whole, an observer joins mid-level and follows the
level change (QuakeSpasm's reconnect order), and the demo files of both levels, with their credits,
parse back with the protocol they announce."""
import os
import signal

import expect
import nq
from harness import PeerServer, Session, case, check, main, walk_demo

LONG_LINE = b"noise: long print"


def levels_and_signons(walked, protocol):
    infos = [v for _, msgs in walked for code, v in msgs if code == nq.SVC_SERVERINFO]
    check(all(v["protocol"] == protocol for v in infos), "serverinfo protocols %r" %
          [v["protocol"] for v in infos])
    signons = [v for _, msgs in walked for code, v in msgs if code == nq.SVC_SIGNONNUM]
    return [v["level"] for v in infos], signons


def game_at(protocol, flags=0):
    cvars = ("mini_noise", "0.2", "mini_bigprint", "4")
    with PeerServer(kind="quakespasm", protocol=protocol, cvars=cvars) as server, \
            Session("-o", 1, "-d", "lvl", cwd=server.dir) as s:
        s.play_on(server, seconds=1)
        announced = (s.host.proto.version, s.host.proto.flags)
        check(announced == (protocol, flags), "serverinfo announced %d, flags %#x" % announced)
        m = expect.SERVER_ESTABLISHED.search(s.proxy.stdout)
        check(int(m.group(4)) != server.port, "the proxy did not move to the server's new port: %r" %
              m.group(0))
        s.serve(lambda: any(m.count(LONG_LINE) == 16 for _, m in s.host.reliable_messages), 6,
                "the 2496-byte reliable message")
        largest = max(n for d, _, _, n in s.host.channel.log if d == "in")
        check(largest == 2496, "largest datagram %d bytes" % largest, s.describe())

        watcher = nq.GameClient("watcher")
        watcher.connect(s.port)
        s.servers.append(watcher)
        s.serve(watcher.in_game, 10, "the observer in the game")
        check(watcher.proto.version == protocol, "the observer got protocol %d" % watcher.proto.version)
        server.console("changelevel", "box2")
        s.serve(lambda: s.host.levels == ["Box 1", "Box 2"] and s.host.in_game() and
                watcher.levels == ["Box 1", "Box 2"] and watcher.in_game(), 15, "both on the next level",
                server.describe)
        check(watcher.signons == [1, 2, 3, 4] * 2, "observer signons %r" % watcher.signons)
        mark = len(watcher.events)
        s.serve(None, 1, "")
        check(watcher.frames(mark) >= 10, "the observer is not fed on the new level", s.describe())
        check(not s.host.parse_errors and s.host.channel.duplicates == 0, "bad stream at the host",
              s.describe())
        # At the level change a signon message can reach the observer twice, on arrival and from the
        # store before the observer's ack is in: harmless (acked and dropped), but once per message at most.
        check(not watcher.parse_errors and watcher.channel.duplicates <= 3, "bad stream at the observer: %d "
              "repeated fragments, parse errors %r" % (watcher.channel.duplicates, watcher.parse_errors))

        s.proxy.signal(signal.SIGINT)
        check(s.proxy.wait_exit(3) == 0, "break: exit code", s.describe())
        out = s.proxy.stdout
        want = ["Recording to lvl01.dem.\n", "Received reconnect.\n", "Completed lvl01.dem.\n",
                "Recording to lvl02.dem.\n", expect.BREAK, "Completed lvl02.dem.\n"]
        at = [out.find(w) for w in want]
        check(-1 not in at and at == sorted(at), "console lines out of order or missing: %r" % want, out)

        first = walk_demo(os.path.join(server.dir, "lvl01.dem"))
        levels, signons = levels_and_signons(first, protocol)
        check(levels == ["Box 1"] and signons == [1, 2, 3], "lvl01.dem: levels %r, signons %r" %
              (levels, signons))
        check(any(m.count(LONG_LINE) == 16 for m, _ in first), "lvl01.dem lacks the 2496-byte message whole")
        second = walk_demo(os.path.join(server.dir, "lvl02.dem"))
        levels, signons = levels_and_signons(second, protocol)
        # the catch-up records of the level left, then the new level's signon
        check(levels == ["Box 1", "Box 2"] and signons == [1, 2, 3] * 2,
              "lvl02.dem: levels %r, signons %r" % (levels, signons))


@case
def quakespasm_protocol_15():
    game_at(nq.PROTOCOL_NETQUAKE)


@case
def quakespasm_protocol_666():
    game_at(nq.PROTOCOL_FITZQUAKE)


@case
def quakespasm_protocol_999():
    # flags 0x82: 32-bit coordinates, 16-bit angles
    game_at(nq.PROTOCOL_RMQ, 0x82)


if __name__ == "__main__":
    main()
