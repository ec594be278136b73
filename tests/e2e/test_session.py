#!/usr/bin/env python3
"""A host client's session through the real binary against scripted servers: proxy commands before
any server, the keep-alive, connecting, the relay and its numbering across a change of server, a
server's reject, disconnecting. (The host's own disconnect: test_game_darkplaces.)"""
import expect
import nq
from harness import Session, case, check, main

SIGNON_COMMANDS = ["prespawn", 'name "host"\n', "color 0 0\n", "spawn ", "begin"]


def consecutive(seqs):
    return seqs[:1] == [0] and all(b == a + 1 for a, b in zip(seqs, seqs[1:]))


def check_numbering(server, host):
    for who, channel in (("server", server.channel), ("host", host.channel)):
        seqs = nq.reliable_seqs(channel, "in")
        check(consecutive(seqs), "reliable numbering at the %s %r" % (who, seqs))
    check(consecutive(host.channel.unreliable_seqs), "unreliable numbering at the host",
          host.channel.unreliable_seqs)


@case
def commands_answered_before_any_server_and_keepalive():
    with Session() as s:
        prints = s.command("proxy:help", "Recognized commands:")
        check(prints[-1] == expect.help_summary(), "help %r" % prints[-1])
        s.serve(s.host.channel.idle, 2, "the proxy's ack of the command")
        check(s.host.channel.resends == 0, "the command was sent again")
        check(all(not reliable for reliable, _, _ in s.host.events), "a reply came reliably", s.host.events)
        prints = s.command("proxy:help", "Recognized commands:", quoted=True)
        check(prints[-1] == expect.help_summary(), "quoted help %r" % prints[-1])
        s.command("proxy:help connect", "Usage: connect server [port]\nConnect to quake server.\n"
                  "Server can be name or ip.\n")
        s.command("proxy:bogus", "Unrecognized command bogus.\n")
        s.command("proxy:connect", "Must specify a server\n")
        s.serve(lambda: "ping\n" in s.host.stufftexts, 13, "the keep-alive")
        # a server's reject reaches the host
        server = nq.FakeServer(reject="Server is full.\n")
        s.servers.append(server)
        s.command("proxy:connect %s:%d" % (nq.LOOPBACK, server.port), "Server is full.\n")
        check("Server connection established" not in s.proxy.stdout, "console", s.proxy.describe())
        check(consecutive(s.host.channel.unreliable_seqs), "unreliable numbering %r" %
              s.host.channel.unreliable_seqs)


@case
def named_proxy_greets_and_answers_both_prefixes():
    with Session("-n", "bob") as s:
        check(s.host.prints[0] == expect.greeting(s.banner_url(), "bob:"), "greeting %r" % s.host.prints[0])
        for prefix in ("bob:", "proxy:"):
            prints = s.command(prefix + "help", "Recognized commands:")
            check(prints[-1] == expect.help_summary("bob:"), "help %r" % prints[-1])


@case
def relay_across_a_change_of_server_then_disconnect():
    with Session() as s:
        first, second = nq.FakeServer(level="one"), nq.FakeServer(level="two")
        s.connect(first)
        texts = s.host.prints
        check(texts.index("trying...\n") < texts.index("Connection accepted\n"), "prints %r" % texts)
        check(first.connect_requests[0][0] == nq.connect_request(), "connect request %r" %
              first.connect_requests)
        m = s.proxy.wait_output(expect.SERVER_ESTABLISHED)
        check(int(m.group(2)) == first.connect_requests[0][1][1] and int(m.group(4)) == first.game_port,
              "console %r" % m.group(0))
        s.serve(s.host.in_game, 5, "the game")
        check(first.commands == SIGNON_COMMANDS, "the server got %r" % first.commands)
        s.serve(lambda: len(first.unreliable) >= 10, 3, "moves at the server")
        check_numbering(first, s.host)
        s.host.say("hello")
        s.serve(lambda: "say hello" in first.commands, 3, "chat at the server")
        first.send_reliable(bytes([nq.SVC_PRINT]) + b"y" * 2500 + b"\0")
        s.serve(lambda: s.host.printed("y" * 2500), 3, "a message of three fragments")

        # the second server: the first is told, the host's numbering goes on
        s.connect(second)
        check(expect.LEAVE_DATAGRAM in first.raw, "the first server got no leave datagram", first.raw[-3:])
        s.serve(lambda: s.host.in_game() and s.host.levels == ["one", "two"], 5, "the game on the second")
        check(second.commands == SIGNON_COMMANDS, "the second server got %r" % second.commands)
        check_numbering(second, s.host)
        check(s.host.channel.duplicates == 0 and not s.host.parse_errors, "host", s.describe())

        s.command("proxy:disconnect", "Disconnected.\n")
        s.serve(lambda: expect.LEAVE_DATAGRAM in second.raw, 2, "the leave datagram")


if __name__ == "__main__":
    main()
