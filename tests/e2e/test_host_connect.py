#!/usr/bin/env python3
"""Admission of game clients by the real binary: the host client's accept, greeting and console
line, observers admitted or refused, and the host's socket left alone by malformed datagrams."""
import struct

import expect
import nq
from harness import Proxy, case, check, main


def admit(port, name="host"):
    c = nq.GameClient(name)
    c.connect(port)
    nq.serve([c], lambda: c.reject or (c.accept and c.prints), 3)
    return c


def check_accept(c, listen_port, p):
    check(c.accept, "no accept", c.control_replies, p.describe())
    data, src = next((d, s) for d, s in c.control_replies if d is c.accept)
    check(src == (nq.LOOPBACK, listen_port), "accept came from %r" % (src,))
    check(len(data) == 9 and data[:5] == bytes([0x80, 0, 0, 9, 0x81]), "accept bytes %r" % data)
    port = nq.accept_port(data)
    check(port not in (0, listen_port), "accept names port %d" % port)
    return port


def banner_url(p):
    return expect.BANNER.match(p.stdout).group(1)


@case
def host_is_accepted_greeted_and_shown_on_the_console():
    port = nq.free_port()
    with Proxy(port=port) as p:
        p.wait_ready()
        c = admit(port)
        game_port = check_accept(c, port, p)
        # the greeting: the first unreliable datagram (number 0) from the new port, one print
        check(c.channel.unreliable_seqs[:1] == [0], "greeting sequence %r" % c.channel.unreliable_seqs)
        check(not c.reliable_messages, "the proxy sent the host a reliable message")
        want = expect.greeting(banner_url(p))
        check(c.prints == [want], "greeting %r, expected %r" % (c.prints, want))
        check(c.events == [(False, nq.SVC_PRINT, "\x02" + want)], "greeting messages %r" % c.events)
        line = expect.client_connected(c.sock.getsockname(), (nq.LOOPBACK, game_port))
        p.wait_output(line)
        c.close()


@case
def greeting_uses_the_proxy_name():
    port = nq.free_port()
    with Proxy("-n", "bob", port=port) as p:
        p.wait_ready()
        c = admit(port)
        want = expect.greeting(banner_url(p), "bob:")
        check(c.prints == [want], "greeting %r, expected %r" % (c.prints, want))
        c.close()


@case
def default_interface_reopens_the_listening_port():
    # On the default interface the listening socket is made anew after each admission: it must
    # still answer, and the console shows the client socket on 0.0.0.0.
    port = nq.free_port()
    with Proxy("-o", 1, port=port, loopback=False) as p:
        p.wait_ready()
        host = admit(port)
        game_port = check_accept(host, port, p)
        p.wait_output(expect.client_connected(host.sock.getsockname(), ("0.0.0.0", game_port)))
        observer = admit(port, "observer")
        check_accept(observer, port, p)
        p.wait_output("Observer joined.\n")
        probe = nq.GameClient()
        probe.query_info(port)
        nq.serve([probe], lambda: probe.control_replies, 2)
        check(probe.control_replies, "no server-info answer after two admissions", p.describe())
        for c in (host, observer, probe):
            c.close()


@case
def observers_admitted_up_to_the_limit_then_refused():
    port = nq.free_port()
    with Proxy("-o", 2, port=port) as p:
        p.wait_ready()
        clients = [admit(port, "host"), admit(port, "obs1"), admit(port, "obs2")]
        ports = [check_accept(c, port, p) for c in clients]
        check(len(set(ports)) == 3, "accepts name ports %r" % ports)
        check(p.stdout.count("Observer joined.\n") == 2, "expected two observers joined", p.describe())
        extra = admit(port, "obs3")
        check(extra.accept is None and extra.reject is not None, "third observer not refused",
              extra.control_replies)
        check_reject(extra.reject, 2)
        check(p.stdout.count("Observer joined.\n") == 2, "refused observer announced", p.describe())
        for c in clients + [extra]:
            c.close()


def check_reject(data, limit):
    text = expect.max_observers(limit).encode("latin-1") + b"\0"
    check(data[:3] == b"\x80\x00\x00" and data[4] == nq.CCREP_REJECT and data[5:] == text,
          "reject %r, expected text %r" % (data, text))
    check(data[3] == len(data), "reject length byte %d, datagram %d bytes" % (data[3], len(data)))


@case
def host_asking_again_counts_as_an_observer():
    port = nq.free_port()
    with Proxy(port=port) as p:
        p.wait_ready()
        c = admit(port)
        check_accept(c, port, p)
        c.accept = None
        c.sock.sendto(nq.connect_request(), (nq.LOOPBACK, port))
        nq.serve([c], lambda: c.reject, 2)
        check(c.reject is not None, "a repeated connect with no observers allowed was not refused",
              c.control_replies)
        check_reject(c.reject, 0)
        check(p.stdout.count("Client connected.") == 1, "host admitted twice", p.describe())
        c.close()


@case
def malformed_datagrams_from_the_host_are_dropped():
    port = nq.free_port()
    with Proxy(port=port) as p:
        p.wait_ready()
        c = admit(port)
        check_accept(c, port, p)
        junk = [b"", b"\x00", b"\x00\x09\x00", b"\x00\x09\x00\x08\x00\x00\x00",
                struct.pack(">BBHI", 0, 0x09, 600, 0) + b"\x04say proxy:help\0",     # length field too big
                struct.pack(">BBHI", 0, 0x09, 0, 0) + b"\x04say proxy:help",        # no terminating zero
                struct.pack(">BBHI", 0, 0x09, 2048, 1) + b"\x04" * 2040,
                struct.pack(">BBHI", 0, 0x09, 8, 2) + b"\x04say " + b"x" * 2035,   # fills the buffer
                b"\x80\x00\x00\x0c\x01QUAKE\x00\x03", b"\xff" * 4000]
        for data in junk:
            c.sock.sendto(data, c.addr)
        nq.serve([c], None, 1.0)
        check(p.running(), "the proxy ended", p.describe())
        probe = nq.GameClient()
        probe.query_info(port)
        nq.serve([probe], lambda: probe.control_replies, 2)
        check(probe.control_replies, "no server-info answer after the junk", p.describe())
        check(not c.parse_errors, "the host received bytes it cannot parse: %r" % c.parse_errors)
        c.close()
        probe.close()


if __name__ == "__main__":
    main()
