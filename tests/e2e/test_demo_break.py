#!/usr/bin/env python3
"""A console break (SIGINT, SIGTERM) ends the real binary while it records a game on the peer rig's
DarkPlaces server under heavy reliable traffic: the demo file is complete, its last block the closing
one, the console says so, and the exit code is 0."""
import os
import signal
import struct

import expect
import nq
from harness import PeerServer, Session, case, check, main

CREDIT = b"This demo file was recorded with\n" + expect.VERSION.encode() + b" \x85 Visit Skopos homepage\n"


def break_while_recording(sig):
    # mini_noise 0.05: a reliable message, often of several fragments, every few frames
    with PeerServer(cvars=("mini_noise", "0.05")) as server, Session("-d", "brk", cwd=server.dir) as s:
        s.play_on(server, seconds=1)
        s.serve(lambda: s.host.printed("noise: long print"), 3, "the long prints")
        s.proxy.signal(sig)
        check(s.proxy.wait_exit(3) == 0, "%s: exit code" % sig.name, s.describe())
        out = s.proxy.stdout
        at = [out.find(w) for w in ("Recording to brk01.dem.\n", expect.BREAK, "Completed brk01.dem.\n")]
        check(-1 not in at and at == sorted(at), "%s: console" % sig.name, out)

        path = os.path.join(server.dir, "brk01.dem")
        track, blocks = nq.read_demo(path)
        check(track == b"-1\n" and len(blocks) > 20, "%s: %d blocks" % (sig.name, len(blocks)))
        proto = nq.Protocol()
        for i, (_, message) in enumerate(blocks):
            try:
                nq.parse_server_messages(message, proto)
            except nq.ParseError as e:
                raise AssertionError("%s: block %d does not parse: %s" % (sig.name, i, e))
        check(CREDIT in blocks[0][1] and CREDIT in blocks[-2][1], "%s: credits missing" % sig.name)
        with open(path, "rb") as f:
            tail = f.read()[-17:]
        # the angles of the host's last move (0, 64, 0 in bytes)
        want = struct.pack("<i3fB", 1, 0.0, 90.0, 0.0, 2)
        check(tail == want, "%s: closing block %r, expected %r" % (sig.name, tail, want))


@case
def sigint_while_recording():
    break_while_recording(signal.SIGINT)


@case
def sigterm_while_recording():
    break_while_recording(signal.SIGTERM)


if __name__ == "__main__":
    main()
