#!/usr/bin/env python3
"""qstat, the common server browser tool, reading the real binary's server-information reply."""
import subprocess

import expect
import nq
from harness import Proxy, case, check, main, require_tool


def quakestat(port):
    out = subprocess.run(["quakestat", "-raw", ",", "-qs", "%s:%d" % (nq.LOOPBACK, port)],
                         capture_output=True, text=True, timeout=15).stdout
    lines = [line.split(",") for line in out.splitlines() if line.startswith("QS,")]
    check(len(lines) == 1, "quakestat printed %r" % out)
    return lines[0]


@case
def qstat_reads_the_reply():
    require_tool("quakestat")
    port = nq.free_port()
    with Proxy("-o", 4, port=port) as p:
        p.wait_ready()
        # QS, address asked, name, address given, net version, map, max players, players, ...
        f = quakestat(port)
        want = ["QS", "%s:%d" % (nq.LOOPBACK, port), expect.VERSION, "%s:%d" % (nq.LOOPBACK, port), "3",
                "not connected", "5", "0"]
        check(f[:8] == want, "quakestat: %r, expected %r" % (f, want), p.describe())
        c = nq.GameClient()
        c.connect(port)
        nq.serve([c], lambda: c.accept, 3)
        f = quakestat(port)
        check(f[6:8] == ["5", "1"], "quakestat with a host: %r" % f)
        c.close()


if __name__ == "__main__":
    main()
