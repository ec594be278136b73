#!/usr/bin/env python3
"""Demo recording by the real binary: a file per level with its credits and closing block, the
catch-up records of a recording started mid-level, the file completed by the console break, and
a demo played back by the real DarkPlaces client."""
import os
import signal

import expect
import nq
from harness import PeerServer, Session, case, check, main, play_demo

CREDIT = b"This demo file was recorded with\n" + expect.VERSION.encode() + b" \x85 Visit Skopos homepage\n"
CLOSING = b"\x02"


def messages(block):
    proto = nq.Protocol()
    return nq.parse_server_messages(block[1], proto)


def levels(blocks):
    return [v["level"] for b in blocks for code, v in messages(b) if code == nq.SVC_SERVERINFO]


def check_frame(path, blocks):
    """Every file opens with "-1\\n" and a credit print and ends with a credit print and svc_disconnect."""
    check(len(blocks) >= 4, "%s: %d blocks" % (path, len(blocks)))
    check(blocks[0][1][:2] == b"\x08\x02" and CREDIT in blocks[0][1], "%s: no opening credits" % path,
          blocks[0][1][:120])
    check(CREDIT in blocks[-2][1] and blocks[-1][1] == CLOSING,
          "%s: no closing credits and disconnect" % path, [b[1][:40] for b in blocks[-2:]])
    for i, b in enumerate(blocks):
        try:
            messages(b)
        except nq.ParseError as e:
            raise AssertionError("%s: block %d does not parse: %s: %r" % (path, i, e, b[1][:64]))
    check(not any(b[1].startswith(b"\x09reconnect\n\0") for b in blocks), "%s: holds the reconnect" % path)


@case
def a_file_per_level_on_quakespasm():
    # QuakeSpasm orders a reconnect at a level change: the recording moves on to the next file
    with PeerServer(kind="quakespasm", protocol=15, cvars=("mini_noise", "0.5")) as server, \
            Session("-d", "e2edemo", cwd=server.dir) as s:
        s.play_on(server, seconds=1)
        server.console("changelevel", "box2")
        s.serve(lambda: s.host.levels == ["Box 1", "Box 2"] and s.host.in_game(), 15, "the next level")
        s.serve(None, 1, "")
        s.proxy.signal(signal.SIGINT)
        check(s.proxy.wait_exit(3) == 0, "break: exit code", s.describe())
        out = s.proxy.stdout
        want = ["Recording to e2edemo01.dem.\n", "Received reconnect.\n", "Completed e2edemo01.dem.\n",
                "Recording to e2edemo02.dem.\n", expect.BREAK, "Completed e2edemo02.dem.\n"]
        at = [out.find(w) for w in want]
        check(-1 not in at and at == sorted(at), "console lines out of order or missing: %r" % want, out)
        first = os.path.join(server.dir, "e2edemo01.dem")
        track, blocks = nq.read_demo(first)
        check(track == b"-1\n", "track line %r" % track)
        check_frame(first, blocks)
        check(levels(blocks) == ["Box 1"], "levels in the first file: %r" % levels(blocks))
        signons = [v for b in blocks for code, v in messages(b) if code == nq.SVC_SIGNONNUM]
        check(signons == [1, 2, 3], "signons in the first file: %r" % signons)
        second = os.path.join(server.dir, "e2edemo02.dem")
        track, blocks = nq.read_demo(second)
        check_frame(second, blocks)
        # the catch-up records of the level just left come first, then the new level's signon
        check(levels(blocks) == ["Box 1", "Box 2"], "levels in the second file: %r" % levels(blocks))
        check(levels(blocks[1:2]) == ["Box 1"], "the second file does not open with the catch-up records")


@case
def recording_started_mid_level_plays_back():
    with PeerServer(cvars=("mini_noise", "0.5")) as server, \
            Session(cwd=os.path.join(server.dir, "id1")) as s:
        s.play_on(server, seconds=1)
        s.command("proxy:record midgame", "Recording to midgame01.dem.\n")
        s.serve(None, 3, "")
        s.command("proxy:record stop", "Demorecording stopped.\n")
        path = os.path.join(server.dir, "id1", "midgame01.dem")
        _, blocks = nq.read_demo(path)
        check_frame(path, blocks)
        log = play_demo(server.dir, "midgame01")
        shown = "\n".join(line for line in log.splitlines() if "GL_" not in line)
        context = "--- client log:\n" + shown[-3000:]
        check("Playing demo midgame01.dem." in log, "the client did not play the demo", context)
        check(log.count("This demo file was recorded with") == 2, "credits not shown twice", context)
        check("CL_SignonReply: 4" in log, "playback did not reach the game", context)
        check("Server disconnected" in log, "playback did not reach the closing block", context)


if __name__ == "__main__":
    main()
