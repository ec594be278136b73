#!/usr/bin/env python3
"""A chain of three real binaries on loopback, scripted client -> A -> B -> C -> the peer rig's real
DarkPlaces server: each proxy connected by commands that pass through the transparent ones before
it, a game played through all three, wakeup counting down along the chain, and observing mode."""
import expect
import nq
from harness import PeerServer, Proxy, Session, case, check, main


def helped_by(s, name):
    """Says proxy:help and checks that the proxy called `name` answered it, exactly."""
    prints = s.command("proxy:help", "Recognized commands:")
    check(prints[-1] == expect.help_summary(name + ":"), "help not answered by %s: %r" % (name, prints[-1]),
          s.describe())


def setangles(client, since=0):
    """The unreliable svc_setangle messages a client received after its event `since`."""
    return sum(1 for reliable, code, _ in client.events[since:] if code == nq.SVC_SETANGLE and not reliable)


@case
def chain_of_three_proxies_to_darkplaces():
    b_port, c_port = nq.free_port(), nq.free_port()
    with PeerServer(cvars=("mini_noise", "0.5")) as server, \
            Proxy("-n", "B", "-o", 1, port=b_port) as b, Proxy("-n", "C", port=c_port) as c, \
            Session("-n", "A") as s:
        b.wait_ready()
        c.wait_ready()
        describe = s.describe                 # failures show all three proxies and the server
        s.describe = lambda: "\n".join([describe(), "=== B: " + b.describe(), "=== C: " + c.describe(),
                                        server.describe()])
        url = expect.BANNER.match(b.stdout).group(1)

        # A joins B, and B's greeting comes back through A as a server print
        s.connect(b_port)
        s.serve(lambda: s.host.printed(expect.greeting(url, "B:")), 3, "B's greeting")
        b.wait_output("Client connected.\n")
        s.command("proxy:transparent", "Entering transparent mode.\nUse wakeup command to enable\n"
                  "command processing.\n")
        helped_by(s, "B")

        # through transparent A, B joins C
        s.connect(c_port)
        s.serve(lambda: s.host.printed(expect.greeting(url, "C:")), 3, "C's greeting")
        check("Server connection established." not in c.stdout, "C connected before it was told",
              s.describe())
        s.command("proxy:transparent", "Entering transparent mode.")
        helped_by(s, "C")

        # through A and B, C joins the real server; the game runs through all three
        s.play_on(server, seconds=2)
        seqs = nq.reliable_seqs(s.host.channel, "in")
        check(seqs == list(range(len(seqs))), "reliable numbering at the client %r" % seqs, s.describe())
        check(s.proxy.stdout.count("Server connection established.") == 1 and
              b.stdout.count("Server connection established.") == 1, "A or B connected again", s.describe())
        helped_by(s, "C")

        # C transparent too: commands now reach the server as chat
        s.command("proxy:transparent", "Entering transparent mode.")
        s.host.say("proxy:help")
        s.serve(lambda: s.host.printed("host: proxy:help"), 3, "the server's chat echo")

        # wakeup 3: A and B count down, C wakes
        before = len(s.host.prints)
        s.command("proxy:wakeup 3", "Command processing enabled.\n")
        helped_by(s, "C")
        s.command("proxy:wakeup 2", "Command processing enabled.\n")
        helped_by(s, "B")
        s.command("proxy:wakeup", "Command processing enabled.\n")
        helped_by(s, "A")
        wakes = sum(p == "Command processing enabled.\n" for p in s.host.prints[before:])
        check(wakes == 3, "%d wake replies to three wakeups" % wakes, s.describe())

        # with A transparent again, commands reach B, which is awake
        s.command("proxy:transparent", "Entering transparent mode.")
        helped_by(s, "B")

        # observing mode on A: its host's moves go on only now and then, and A turns its host's view
        # itself; B shows the move rate by steering its observer's view once per move it receives
        watcher = nq.GameClient("watcher")
        watcher.connect(b_port)
        s.servers.append(watcher)
        s.serve(watcher.in_game, 10, "B's observer in the game")
        mark_w, mark_h = len(watcher.events), len(s.host.events)
        s.serve(None, 2, "")
        steered = setangles(watcher, mark_w)
        check(steered >= 20, "B's observer got %d view updates in 2 s" % steered, s.describe())
        check(setangles(s.host, mark_h) == 0, "A turned its host's view outside observing mode")
        before = len(s.host.prints)
        s.host.say("proxy:observing")
        s.serve(lambda: s.host.channel.idle(), 2, "the ack of the command")
        s.serve(None, 0.5, "")
        mark_w, mark_h = len(watcher.events), len(s.host.events)
        s.serve(None, 2, "")
        steered = setangles(watcher, mark_w)
        check(steered <= 1, "moves still reach B in observing mode: %d view updates in 2 s" % steered,
              s.describe())
        turned = setangles(s.host, mark_h)
        check(turned >= 20, "A sent its host %d view updates in 2 s" % turned, s.describe())
        check(not any("Unrecognized" in p for p in s.host.prints[before:]), "the command was passed on",
              s.host.prints[before:])
        s.command("proxy:wakeup", "Command processing enabled.\n")
        helped_by(s, "A")
        check(not s.host.parse_errors and not watcher.parse_errors, "bad stream", s.describe())
        check("watcher" not in server.log(), "the server heard of B's observer", server.describe())


if __name__ == "__main__":
    main()
