#!/usr/bin/env python3
"""Server-information requests to the real binary, also as qstat reads them, and what its listening
port does with datagrams that are not requests."""
import subprocess

import expect
import nq
from harness import Proxy, admit, ask, case, check, info, main, require_tool


def quakestat(port):
    out = subprocess.run(["quakestat", "-raw", ",", "-qs", "%s:%d" % (nq.LOOPBACK, port)],
                         capture_output=True, text=True, timeout=15).stdout
    lines = [line.split(",") for line in out.splitlines() if line.startswith("QS,")]
    check(len(lines) == 1, "quakestat printed %r" % out)
    return lines[0]


@case
def reply_names_the_interface_and_says_not_connected():
    port = nq.free_port()
    with Proxy(port=port) as p:
        p.wait_ready()
        r = info(port, p)
        check(r["address"] == "%s:%d" % (nq.LOOPBACK, port), "address %r" % r["address"])
        check(r["name"] == expect.VERSION, "name %r" % r["name"])
        check(r["level"] == "not connected", "level %r" % r["level"])
        check((r["players"], r["maxplayers"], r["version"]) == (0, 1, 3),
              "players, max, version: %r" % ((r["players"], r["maxplayers"], r["version"]),))
    with Proxy("-o", 45, port=port) as p:
        p.wait_ready()
        check(info(port, p)["maxplayers"] == 31, "observer limit not capped at 30 with -o 45")


@case
def players_count_host_and_observers_also_in_qstat():
    require_tool("quakestat")
    port = nq.free_port()
    with Proxy("-o", 4, port=port) as p:
        p.wait_ready()
        # QS, address asked, name, address given, net version, map, max players, players, ...
        f = quakestat(port)
        want = ["QS", "%s:%d" % (nq.LOOPBACK, port), expect.VERSION, "%s:%d" % (nq.LOOPBACK, port), "3",
                "not connected", "5", "0"]
        check(f[:8] == want, "quakestat: %r, expected %r" % (f, want), p.describe())
        clients = [admit(port)]
        check(info(port, p)["players"] == 1, "players with the host")
        check(quakestat(port)[6:8] == ["5", "1"], "quakestat with a host: %r" % quakestat(port))
        clients += [admit(port, "obs1"), admit(port, "obs2")]
        r = info(port, p)
        check((r["players"], r["maxplayers"]) == (3, 5), "players, max with host and two observers: %r" % r,
              p.describe())
        for c in clients:
            c.close()


@case
def listening_port_ignores_what_is_not_a_request():
    port = nq.free_port()
    # A request code left in the receive buffer by an ignored datagram must not make a later
    # datagram too short to hold a code count as that request.
    junk = [
        b"", b"\x80",
        b"\x81\x00\x00\x0c\x02QUAKE\x00\x03", b"\x80\x00\x00\x05",    # byte 0 not 0x80, then no code
        b"\x80\x01\x00\x0c\x01QUAKE\x00\x03", b"\x80\x00\x00\x0c",    # byte 1 not 0, then no code
        nq.control(0x05), nq.control(nq.CCREP_ACCEPT, b"\x10\x27\0\0"),
        nq.control(nq.CCREP_SERVER_INFO, b"x\0y\0z\0\0\0\3"),
        nq.datagram(nq.UNRELIABLE, 1, b"\x01"), nq.datagram(nq.DATA | nq.EOM, 0, b"\x04say hi\0"),
        b"\xff\xff\xff\xffgetchallenge", b"\x00" * 2048, b"\x80\x00" + b"\xff" * 3000,
    ]
    with Proxy(port=port) as p:
        p.wait_ready()
        for data in junk:
            replies = ask(port, data, timeout=0.2)
            check(not replies, "answered %r with %r" % (data[:16], replies), p.describe())
        check(p.running(), "the proxy ended", p.describe())
        # the length field and the body of a request are not read: a bare code is a request too
        check(len(ask(port, nq.control(nq.CCREQ_SERVER_INFO), timeout=1.0)) == 1,
              "no answer to a server-info request without a body", p.describe())
        check(info(port, p)["name"] == expect.VERSION, "no answer after the junk")


if __name__ == "__main__":
    main()
