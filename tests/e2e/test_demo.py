#!/usr/bin/env python3
"""Demo recording by the real binary on the peer rig's DarkPlaces server under heavy reliable traffic:
a recording from the start stopped by command, one started mid-level and ended by a console break
(a complete file, exit code 0), and that one played back by the real DarkPlaces client."""
import os
import signal
import struct

import expect
from harness import PeerServer, Session, case, check, main, play_demo, walk_demo

@case
def recording_stopped_restarted_mid_level_broken_and_played_back():
    # mini_noise 0.05: a reliable message, often of several fragments, every few frames.
    # (SIGINT while recording: test_protocols.)
    with PeerServer(cvars=("mini_noise", "0.05")) as server, \
            Session("-d", "brk", cwd=os.path.join(server.dir, "id1")) as s:
        s.play_on(server, seconds=1)
        s.command("proxy:record stop", "Demorecording stopped.\n")
        blocks = walk_demo(os.path.join(server.dir, "id1", "brk01.dem"))
        check(len(blocks) >= 20, "brk01.dem: %d blocks" % len(blocks))
        s.command("proxy:record midgame", "Recording to midgame01.dem.\n")
        s.serve(None, 2, "")
        mark = len(s.host.prints)
        s.serve(lambda: any("noise: long print" in p for p in s.host.prints[mark:]), 3, "the long prints")
        s.proxy.signal(signal.SIGTERM)
        check(s.proxy.wait_exit(3) == 0, "exit code", s.describe())
        out = s.proxy.stdout
        at = [out.find(w) for w in ("Recording to brk01.dem.\n", expect.BREAK, "Completed midgame01.dem.\n")]
        check(-1 not in at and at == sorted(at), "console", out)
        path = os.path.join(server.dir, "id1", "midgame01.dem")
        check(len(walk_demo(path)) >= 20, "midgame01.dem too short")
        with open(path, "rb") as f:
            tail = f.read()[-17:]
        # the angles of the host's last move (0, 64, 0 in bytes)
        want = struct.pack("<i3fB", 1, 0.0, 90.0, 0.0, 2)
        check(tail == want, "closing block %r, expected %r" % (tail, want))

        log = play_demo(server.dir, "midgame01")
        shown = "\n".join(line for line in log.splitlines() if "GL_" not in line)
        context = "--- client log:\n" + shown[-3000:]
        check("Playing demo midgame01.dem." in log, "the client did not play the demo", context)
        check(log.count("This demo file was recorded with") == 2, "credits not shown twice", context)
        check("CL_SignonReply: 4" in log, "playback did not reach the game", context)
        check("Server disconnected" in log, "playback did not reach the closing block", context)


if __name__ == "__main__":
    main()
