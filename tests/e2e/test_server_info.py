#!/usr/bin/env python3
"""Server-information requests to the real binary, and what its listening port does with datagrams
that are not requests."""
import re

import expect
import nq
from harness import Proxy, case, check, main


def query(port, request=None, timeout=2.0):
    """Sends a request to the listening port; returns the raw replies that came back."""
    c = nq.GameClient()
    try:
        c.sock.sendto(nq.info_request() if request is None else request, (nq.LOOPBACK, port))
        nq.serve([c], None if request is not None else (lambda: c.control_replies), timeout)
        return [data for data, src in c.control_replies if src == (nq.LOOPBACK, port)]
    finally:
        c.close()


def info(port, p):
    replies = query(port)
    check(len(replies) == 1, "expected one server-info reply, got %r" % replies, p.describe())
    reply = nq.parse_info_reply(replies[0])
    check(reply["length_field"] == len(replies[0]), "length field %d, datagram %d bytes" %
          (reply["length_field"], len(replies[0])))
    return reply


def connect(port):
    c = nq.GameClient()
    c.connect(port)
    nq.serve([c], lambda: c.accept or c.reject, 3)
    check(c.accept, "connect request not accepted", c.control_replies)
    return c


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


@case
def reply_on_the_default_interface_gives_this_machine():
    # Sent to loopback; the answer names the machine's own address, whatever it is.
    port = nq.free_port()
    with Proxy(port=port, loopback=False) as p:
        p.wait_ready()
        r = info(port, p)
        check(re.fullmatch(r"\d{1,3}(\.\d{1,3}){3}:%d" % port, r["address"]), "address %r" % r["address"])
        check((r["level"], r["players"], r["maxplayers"]) == ("not connected", 0, 1), "reply %r" % r)


@case
def players_count_host_and_observers():
    port = nq.free_port()
    with Proxy("-o", 4, port=port) as p:
        p.wait_ready()
        check(info(port, p)["maxplayers"] == 5, "max with -o 4")
        clients = [connect(port)]
        check(info(port, p)["players"] == 1, "players with the host")
        clients += [connect(port), connect(port)]
        r = info(port, p)
        check((r["players"], r["maxplayers"]) == (3, 5), "players, max with host and two observers: %r" % r,
              p.describe())
        for c in clients:
            c.close()


@case
def observer_limit_is_capped_at_30():
    port = nq.free_port()
    with Proxy("-o", 45, port=port) as p:
        p.wait_ready()
        check(info(port, p)["maxplayers"] == 31, "max with -o 45")


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
            replies = query(port, data, timeout=0.2)
            check(not replies, "answered %r with %r" % (data[:16], replies), p.describe())
        check(p.running(), "the proxy ended", p.describe())
        # the length field and the body of a request are not read: a bare code is a request too
        check(len(query(port, nq.control(nq.CCREQ_SERVER_INFO), timeout=1.0)) == 1,
              "no answer to a server-info request without a body", p.describe())
        check(info(port, p)["name"] == expect.VERSION, "no answer after the junk")


if __name__ == "__main__":
    main()
