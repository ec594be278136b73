#!/usr/bin/env python3
"""A host's session against scripted servers: chat and a long message relayed, a change of server in one
reliable sequence, an observer caught up mid-level and through the change, demos completed by the break."""
import os, signal, struct, tempfile
from peer import *


@case
def game_server_change_observer_and_demos():
    with tempfile.TemporaryDirectory() as folder, Session("-o", 1, "-d", "game", cwd=folder) as s:
        first, second = FakeServer(level="one"), FakeServer(level="two")
        s.play_on(first)
        check(first.commands == ["prespawn", 'name "host"\n', "color 0 0\n", "spawn ", "begin"], first.commands)
        check(len(first.unreliable) >= 10 and not first.stats["repeated fragments"], "moves at the server")
        s.host.commands("say hello")
        first.send_reliable(b"\x08" + b"y" * 2500 + b"\0")
        s.serve(lambda: "say hello" in first.commands and s.host.printed("y" * 2500), 3, "chat and a long print")
        watcher = s.observer()
        s.serve(watcher.in_game, 5, "the observer caught up mid-level")
        s.fed(watcher)
        s.connect(second)
        check(LEAVE_DATAGRAM in first.raw, "the first server was not told", first.raw[-3:])
        s.serve(lambda: s.host.in_game() and watcher.in_game() and watcher.levels == s.host.levels == ["one", "two"], 5,
                "the game on the second server")
        check(second.commands == first.commands[:5] and consecutive(s.host.reliable_in), "numbering", s.describe)
        s.fed(watcher, 0.5)
        s.proxy.proc.send_signal(signal.SIGINT)
        check(s.proxy.wait_exit(3) == 0, "break", s.describe)
        in_order(s.proxy.stdout, "Recording to game01.dem.\n", "Completed game01.dem.\n", "Recording to game02.dem.\n",
                 BREAK, "Completed game02.dem.\n")
        check(any(b"y" * 2500 in m for m, _ in walk_demo(os.path.join(folder, "game01.dem"))), "game01.dem")
        game02 = os.path.join(folder, "game02.dem")
        walk_demo(game02)    # and its closing block holds the host's last view angles
        check(read_text(game02)[-17:].encode("latin-1") == struct.pack("<i3fB", 1, 0.0, 90.0, 0.0, 2), "closing block")


if __name__ == "__main__":
    main()
