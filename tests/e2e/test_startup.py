#!/usr/bin/env python3
"""The real binary's start-up and its listening port: usage, refused options and their exit codes, a
port in use, the break, server information (also as qstat reads it), admission and junk."""
import os, re, signal, subprocess
from peer import *


@case
def usage_errors_and_port_in_use():
    readme = read_text(os.path.join(os.path.dirname(__file__), "../../README.md"))
    usage = re.search(r"\n(USAGE: .*?\n)```", readme, re.S).group(1).replace("\n\n", "\n", 1).replace("\n", "\n\n", 1)
    for arg in ("-h", "-?"):
        rc, out, err = run_proxy(arg)
        m = BANNER.match(out)
        check(rc == 1 and m and out[m.end():] == usage, "%s: exit %s, output %r" % (arg, rc, out), err)
    port = free_port()
    for args, option in (["-p", "70000"], "-p"), (["-o", "-1"], "-o"), (["-l", LOOPBACK, "-p"], "-p"), (["-d"], "-d"):
        rc, out, err = run_proxy(*args)
        lines = [line for line in (out + err).splitlines() if line.startswith("ERROR: ")]
        check(rc == 1 and len(lines) == 1 and option in lines[0] and WAITING not in out, "%r: exit %s" % (args, rc), out, err)
    with Proxy(port=port) as first:
        first.wait_ready()
        rc, out, err = run_proxy("-p", port, "-l", LOOPBACK)
        check(rc == 1 and bind_error(LOOPBACK, port) in out and WAITING not in out, "second instance: exit %s" % rc, out, err)
        check(first.running(), "the first instance ended", first.describe)


@case
def break_ends_with_exit_code_0():
    p = Proxy(port=free_port())
    with p:
        out = p.wait_output(WAITING).string
        check(BANNER.match(out), "no banner", out)
        p.signal(signal.SIGINT)
        check(p.wait_exit(3) == 0 and p.stdout.endswith(BREAK), "break", p.describe)


@case
def server_info_admission_and_junk():
    port = free_port()
    with Proxy("-o", 1, port=port) as p:
        p.wait_ready()
        r = info(port, p)
        want = dict(address="%s:%d" % (LOOPBACK, port), name=VERSION, level="not connected", players=0, maxplayers=2, version=3)
        check(r == want, "server info %r" % r)
        host = admit(port)
        check(host.accept and host.prints == [greeting(BANNER.match(p.stdout).group(1))], "greeting %r" % host.prints, p.describe)
        check(host.addr[1] != port and host.channel.unreliable_seqs == [0], "accept names port %d" % host.addr[1])
        p.wait_output("Client connected.\n%s:%d<->%s:%d\n" % (host.sock.getsockname() + host.addr))
        require_tool("quakestat")
        out = subprocess.run(["quakestat", "-raw", ",", "-qs", "%s:%d" % (LOOPBACK, port)], capture_output=True,
                             text=True, timeout=15).stdout
        check(out.startswith("QS,%s:%d,%s,%s:%d,3,not connected,2,1" % (LOOPBACK, port, VERSION, LOOPBACK, port)), out)
        clients = [admit(port, "obs1"), admit(port, "obs2")]
        check(clients[1].reject == control(CCREP_REJECT, max_observers(1).encode() + b"\0") and not clients[1].accept,
              "second observer: %r" % clients[1].control_replies)
        for junk in (b"", b"\x80", b"\x81\0\0\x0c\x02QUAKE\0\3", b"\x80\x01\0\x0c\x01QUAKE\0\3", control(5),
                     datagram(DATA | EOM, 0, b"\x04say hi\0"), b"\x80\0" + b"\xff" * 3000, b"\0" * 2048):
            check(not ask(port, junk, 0.2), "the listening port answered %r" % junk[:16], p.describe)
        for junk in (b"\0\x09\0", datagram(DATA | EOM, 0, b"\x04say proxy:help")[:-1] + b"\x04" * 2040, b"\xff" * 4000):
            host.sock.sendto(junk, host.addr)
        serve([host], None, 0.5)
        check(info(port, p)["players"] == 2 and not host.parse_errors, "the host was lost to junk", p.describe)
        for c in clients + [host]:
            c.close()


if __name__ == "__main__":
    main(parallel=True)
