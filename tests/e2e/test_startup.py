#!/usr/bin/env python3
"""The real binary's start-up and listening port: usage, refused options, a port in use, the break, server
information, admission, junk."""
import os, re, signal
from peer import *


@case
def usage_version_errors_port_in_use_and_break():
    readme = read_text(os.path.join(os.path.dirname(__file__), "../../README.md"))
    usage = re.search(r"\n(USAGE: .*?\n)```", readme, re.S).group(1)
    for arg in "-h", "-?":
        rc, out = run_proxy(arg)
        check(rc == 1 and BANNER.match(out) and out[BANNER.match(out).end():] == usage, "%s: exit %s" % (arg, rc), out)
    cmake = read_text(os.path.join(os.path.dirname(__file__), "../../CMakeLists.txt"))
    release = re.search(r"project\(skoposproxy VERSION (\d+)\.(\d+)\.\d+", cmake)
    check(VERSION == "Skopos-Proxy v%s.%s" % release.groups(), "the banners' version", release[0])
    for arg in "-V", "--version":   # alone, without the banner, for scripts and package checks
        rc, out = run_proxy(arg)
        check(rc == 0 and out.split("\n")[0] == "skoposproxy " + release[0].split()[-1] and "Skopos" not in out,
              "%s: exit %s" % (arg, rc), out)
    for args, option in (["-p", "70000"], "-p"), (["-o", "-1"], "-o"), (["-l", LOOPBACK, "-p"], "-p"), (["-d"], "-d"):
        rc, out = run_proxy(*args)
        errors = re.findall(r"^ERROR: .*", out, re.M)
        check(rc == 1 and len(errors) == 1 and option in errors[0] and WAITING not in out, args, rc, out)
    with Proxy(port=free_port()) as first:
        first.wait_output(WAITING, 10)
        rc, out = run_proxy("-p", first.port, "-l", LOOPBACK)
        error = "ERROR: Unable to bind to %s:%d\n" % (LOOPBACK, first.port)
        check(rc == 1 and error in out and WAITING not in out, "second instance", rc, out)
        first.proc.send_signal(signal.SIGHUP)    # its terminal closed: a break like Ctrl-C
        check(first.wait_exit(3) == 0 and first.stdout.endswith(BREAK), "hang-up", first.describe)
    with Proxy(port=free_port(), prefix=["nohup"]) as kept:   # SIGHUP ignored: it keeps running
        kept.wait_output(WAITING, 10)
        kept.proc.send_signal(signal.SIGHUP)
        check(ask(kept.port) and kept.proc.poll() is None, "nohup", kept.describe)


@case
def server_info_admission_and_junk():
    with Proxy("-o", 1, port=free_port()) as p:
        p.wait_output(WAITING, 10)
        address, name = ("%s:%d" % (LOOPBACK, p.port)).encode(), VERSION.encode()
        info = [control(0x83, b"%s\0%s\0not connected\0%c\2\3" % (address, name, n)) for n in range(3)]
        check(ask(p.port) == info[:1], "server info %r" % ask(p.port), p.describe)
        host = admit(p.port)     # greeted from a port of its own
        check(host.peer[1] != p.port and host.unreliable_seqs == [0] and host.prints, "accept %r" % host.accept)
        p.wait_output("Client connected.\n%s:%d<->%s:%d\n" % (host.sock.getsockname() + host.peer))
        check(admit(p.port, "obs1").prints and admit(p.port, "obs2").reject, "the limit of one observer")
        for junk in (b"", b"\x80", b"\x81\0\0\x0c\x02QUAKE\0\3", b"\x80\x01\0\x0c\x01QUAKE\0\3", control(5),
                     datagram(DATA | EOM, 0, b"\x04say hi\0"), b"\x80\0" + b"\xff" * 3000, bytes(2048)):
            check(not ask(p.port, junk, 0.2), "the listening port answered %r" % junk[:16], p.describe)
        check(ask(p.port) == info[2:], "a client was lost", p.describe)

if __name__ == "__main__":
    main()
