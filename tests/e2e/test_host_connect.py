#!/usr/bin/env python3
"""Admission of game clients by the real binary: the host client's accept, greeting and console
line, observers admitted or refused, and the host's socket left alone by malformed datagrams."""
import re
import struct

import expect
import nq
from harness import Proxy, admit, case, check, info, main, wait_until


def check_accept(c, listen_port, p):
    check(c.accept, "no accept", c.control_replies, p.describe())
    data, src = next((d, s) for d, s in c.control_replies if d is c.accept)
    check(src == (nq.LOOPBACK, listen_port), "accept came from %r" % (src,))
    check(len(data) == 9 and data[:5] == bytes([0x80, 0, 0, 9, 0x81]), "accept bytes %r" % data)
    port = nq.accept_port(data)
    check(port not in (0, listen_port), "accept names port %d" % port)
    return port


def check_reject(c, limit):
    data = c.reject
    check(c.accept is None and data is not None, "not refused", c.control_replies)
    text = expect.max_observers(limit).encode("latin-1") + b"\0"
    check(data[:3] == b"\x80\x00\x00" and data[4] == nq.CCREP_REJECT and data[5:] == text,
          "reject %r, expected text %r" % (data, text))
    check(data[3] == len(data), "reject length byte %d, datagram %d bytes" % (data[3], len(data)))


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
        want = expect.greeting(expect.BANNER.match(p.stdout).group(1))
        check(c.prints == [want], "greeting %r, expected %r" % (c.prints, want))
        check(c.events == [(False, nq.SVC_PRINT, "\x02" + want)], "greeting messages %r" % c.events)
        p.wait_output(expect.client_connected(c.sock.getsockname(), (nq.LOOPBACK, game_port)))

        # the host asking again (its accept lost) gets the same accept again
        c.accept = None
        c.sock.sendto(nq.connect_request(), (nq.LOOPBACK, port))
        nq.serve([c], lambda: c.accept, 2)
        check(c.accept and nq.accept_port(c.accept) == game_port, "accept again %r" % c.accept)
        check(p.stdout.count("Client connected.") == 1, "host admitted twice", p.describe())

        # malformed datagrams on the host's socket are dropped
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
        check(info(port, p)["players"] == 1, "the host was lost to the junk", p.describe())
        check(not c.parse_errors, "the host received bytes it cannot parse: %r" % c.parse_errors)
        c.close()


@case
def observers_admitted_up_to_the_limit_on_the_default_interface():
    # On the default interface the listening socket is made anew after each admission: it must
    # still answer, the console shows the client socket on 0.0.0.0, and the server-info reply
    # names this machine's own address, whatever it is.
    port = nq.free_port()
    with Proxy("-o", 2, port=port, loopback=False) as p:
        p.wait_ready()
        clients = [admit(port, "host"), admit(port, "obs1"), admit(port, "obs2")]
        ports = [check_accept(c, port, p) for c in clients]
        check(len(set(ports)) == 3, "accepts name ports %r" % ports)
        p.wait_output(expect.client_connected(clients[0].sock.getsockname(), ("0.0.0.0", ports[0])))
        wait_until(lambda: p.stdout.count("Observer joined.\n") == 2, 2, "two observers joined", p.describe)
        extra = admit(port, "obs3")
        check_reject(extra, 2)
        check(p.stdout.count("Observer joined.\n") == 2, "refused observer announced", p.describe())
        r = info(port, p)
        check(re.fullmatch(r"\d{1,3}(\.\d{1,3}){3}:%d" % port, r["address"]), "address %r" % r["address"])
        check((r["level"], r["players"], r["maxplayers"]) == ("not connected", 3, 3), "reply %r" % r)
        for c in clients + [extra]:
            c.close()


if __name__ == "__main__":
    main()
