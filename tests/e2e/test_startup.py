#!/usr/bin/env python3
"""The real binary's start-up and end: banner, hint, usage text, option errors, bind failures and
the console break."""
import re
import signal
import socket
import time

import expect
import nq
from harness import Proxy, admit, ask, case, check, main, run_proxy


def port_free_on_loopback(port):
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        try:
            s.bind((nq.LOOPBACK, port))
            return True
        except OSError:
            return False


@case
def banner_hint_and_default_port_without_arguments():
    # The default port may be taken on a developer's machine; the banner and hint come first anyway.
    default_free = port_free_on_loopback(26000)
    with Proxy(loopback=False) as p:
        p.wait_output(re.compile("Waiting for client|ERROR: "))
        out = p.stdout
        m = expect.BANNER.match(out)
        check(m, "output does not open with the banner", p.describe())
        check(out[m.end():].startswith(expect.HINT), "the hint does not follow the banner", p.describe())
        if not default_free:
            check(expect.bind_error("0.0.0.0", 26000) in out, "port 26000 is taken, but no bind error",
                  p.describe())
            check(p.wait_exit(3) == 1, "bind error, but exit code is not 1", p.describe())
            return
        check(expect.WAITING in out[m.end():], "no %r" % expect.WAITING, p.describe())
        check(ask(26000), "no server-info answer on port 26000", p.describe())
        p.signal(signal.SIGINT)
        check(p.wait_exit(3) == 0, "break did not end with exit code 0", p.describe())


@case
def usage_text_for_h_question_mark_and_help():
    for arg in ("-h", "-?", "-help"):
        rc, out, err = run_proxy(arg)
        check(rc == 1, "%s: exit code %s, expected 1" % (arg, rc), out, err)
        m = expect.BANNER.match(out)
        check(m and out[m.end():] == expect.USAGE,
              "%s: stdout is not the banner and the usage text" % arg, repr(out))


@case
def lenient_option_parsing():
    # "-h" among other arguments starts normally; "NNNNNx" reads as NNNNN; "abc" reads as 0 (any port)
    first, second = nq.free_port(), nq.free_port()
    with Proxy("-h", "-p", first, "-x", "5", "-cc", "2000", "-p", "%dx" % second) as p:
        p.wait_ready()
        check(expect.HINT not in p.stdout and "USAGE" not in p.stdout, "hint or usage printed", p.describe())
        check(ask(second), "no answer on the later -p port", p.describe())
        check(not ask(first), "answer on the earlier -p port", p.describe())
    with Proxy("-p", "abc") as p:
        p.wait_ready()


@case
def break_ends_promptly_with_exit_code_0():
    # SIGINT while waiting for a client, SIGTERM with a host connected
    for sig in (signal.SIGINT, signal.SIGTERM):
        port = nq.free_port()
        with Proxy(port=port) as p:
            p.wait_ready()
            host = admit(port) if sig == signal.SIGTERM else None
            time.sleep(0.3)                    # the loop is inside its wait now
            start = time.monotonic()
            p.signal(sig)
            rc = p.wait_exit(2.0)
            took = p.ended_at - start
            check(rc == 0, "%s: exit code %s" % (sig.name, rc), p.describe())
            check(p.stdout.endswith(expect.BREAK), "%s: output does not end with the break text" % sig.name,
                  p.describe())
            check(took < 2.0, "%s: took %.2f s" % (sig.name, took))
            if host:
                check("Client connected." in p.stdout, "no host connected", p.describe())
                host.close()


@case
def second_instance_on_the_same_port_fails_to_bind():
    # the default interface (0.0.0.0), then a named one
    for loopback, address in ((False, "0.0.0.0"), (True, nq.LOOPBACK)):
        port = nq.free_port()
        with Proxy(port=port, loopback=loopback) as first:
            first.wait_ready()
            rc, out, err = run_proxy("-p", port, *(["-l", nq.LOOPBACK] if loopback else []))
            check(rc == 1, "second instance: exit code %s, expected 1" % rc, out, err)
            check(expect.bind_error(address, port) in out,
                  "no %r" % expect.bind_error(address, port), out, err)
            check(expect.WAITING not in out, "second instance says it waits", out)
            check(first.running(), "the first instance ended", first.describe())


@case
def refused_options_end_with_one_error_line():
    port = nq.free_port()
    cases = [
        (["-p", "70000"], "-p"),
        (["-p", "-1"], "-p"),
        (["-o", "-1"], "-o"),
        (["-l", nq.LOOPBACK, "-p"], "-p"),       # option last, without its value
        (["-p", port, "-l", nq.LOOPBACK, "-d"], "-d"),
        (["-o"], "-o"),
    ]
    for args, option in cases:
        rc, out, err = run_proxy(*args)
        where = " ".join(str(a) for a in args)
        check(rc == 1, "%s: exit code %s, expected 1" % (where, rc), out, err)
        lines = [line for line in (out + err).splitlines() if line.startswith("ERROR: ")]
        check(len(lines) == 1 and option in lines[0],
              "%s: expected one ERROR line naming %s" % (where, option), out, err)
        check(expect.WAITING not in out, "%s: started anyway" % where, out)


@case
def long_name_and_demo_name_do_not_overrun():
    # Either refused with an ERROR line or cut to fit; never a crash.
    for option in ("-n", "-d"):
        port = nq.free_port()
        with Proxy(option, "x" * 300, port=port) as p:
            p.wait_output(re.compile("Waiting for client|ERROR: "))
            if not p.running() or "ERROR: " in p.stdout + p.stderr:
                check(p.wait_exit(3) == 1, "%s: refused, but exit code is not 1" % option, p.describe())
                continue
            c = admit(port)
            check(c.prints, "%s: no greeting" % option, p.describe())
            check(p.running(), "%s: the proxy ended after admitting a client" % option, p.describe())
            c.close()


if __name__ == "__main__":
    main()
