#!/usr/bin/env python3
"""A proxy on a public address, strangers at 127.0.0.2 and up: a phantom request, a refused host and the login,
a flood of server-information requests, the observers of one address and a kick."""
import socket, time
from peer import *


def stranger(n, name="stranger"):
    return GameClient(name, address="127.0.0.%d" % n)


@case
def phantom_gives_way_to_the_real_host():
    with Proxy("-o", 1, port=free_port()) as p:
        p.wait_output(WAITING, 10)
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as phantom:
            phantom.bind(("127.0.0.2", 0))
            phantom.sendto(CONNECT_REQUEST, (LOOPBACK, p.port))
            time.sleep(1)
            start, host = time.monotonic(), GameClient("host")
            host.connect(p.port)
            serve([host], lambda: host.printed("You are the host now.\n"), 14)
            waited = time.monotonic() - start
        check(host.printed("You are the host now.\n") and waited < 11, "the host waited %.1f s" % waited, p.describe)
        p.wait_output("127.0.0.1:%d is the host now.\n" % host.sock.getsockname()[1])
        host.commands("say proxy:mmode")
        serve([host], lambda: host.printed("Message mode"), 3)
        check(host.printed("Message mode"), "the commands of the host", p.describe)


@case
def refused_host_then_login():
    with Proxy("-o", 1, "-H", LOOPBACK, "-P", "sesame", port=free_port()) as p:
        p.wait_output(WAITING, 10)
        outsider, host = stranger(3, "outsider"), GameClient("host")
        outsider.connect(p.port)
        serve([outsider], lambda: outsider.prints, 3)
        check(outsider.printed("Observer mode"), "an outsider is an observer", outsider.prints, p.describe)
        host.connect(p.port)
        serve([host, outsider], lambda: host.prints, 3)
        for text, reply in (("proxy:connect 127.0.0.1:9", "Log in first: say proxy:login password\n"),
                            ("proxy:login open", "Wrong password.\n"), ("proxy:login sesame", "Logged in.\n")):
            host.commands("say " + text)
            serve([host, outsider], lambda: host.printed(reply), 4)
            check(host.printed(reply), "%r: %r" % (text, host.prints[-3:]), p.describe)
        check("open" not in p.stdout and "sesame" not in p.stdout, "the password on the console", p.describe)


@case
def flood_of_server_information_requests():
    with Proxy(port=free_port()) as p:
        p.wait_output(WAITING, 10)
        flooder, other = stranger(4), stranger(5)
        for _ in range(300):
            flooder.sock.sendto(INFO_REQUEST, (LOOPBACK, p.port))
            serve([flooder], None, 0.01)
        other.sock.sendto(INFO_REQUEST, (LOOPBACK, p.port))
        serve([flooder, other], lambda: other.control_replies, 2)
        replies = len(flooder.control_replies)
        check(other.control_replies and replies <= 10 + 10 * 5, "%d replies to 300 requests" % replies, p.describe)
        p.wait_output("Refused 127.0.0.4:%d: too many requests" % flooder.sock.getsockname()[1])


@case
def observers_per_address_and_a_kick():
    with Session("-o", 6, "-a", 2) as s:
        crowd = [stranger(6, "c%d" % i) for i in range(3)]
        for c in crowd:
            c.connect(s.port)
        s.servers += crowd
        s.serve(lambda: all(c.accept or c.reject for c in crowd), 3, "the answers")
        check([bool(c.accept) for c in crowd] == [True, True, False] and b"from your address (2)" in crowd[2].reject,
              "the third from one address", s.describe)
        s.command("proxy:observers", "out of max 6")
        number = next(p for p in s.host.prints if "127.0.0.6" in p).split()[0]
        s.command("proxy:kick #%s" % number, "got the boot")
        again = stranger(6, "again")
        again.connect(s.port)
        s.servers.append(again)
        s.serve(lambda: again.reject, 3, "the kicked address refused")
        check(b"Kicked; try again in 10 minutes." in again.reject, again.reject, s.describe)


if __name__ == "__main__":
    main()
