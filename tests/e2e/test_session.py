#!/usr/bin/env python3
"""A host client's session through the real binary against scripted servers: proxy commands before
any server, the keep-alive, connecting, the relay and its numbering across a change of server, a
server's reject, disconnecting."""
import expect
import nq
from harness import Session, case, check, main

SIGNON_COMMANDS = ["prespawn", 'name "host"\n', "color 0 0\n", "spawn ", "begin"]


def consecutive(seqs, first=None):
    return (first is None or seqs[:1] == [first]) and all(b == a + 1 for a, b in zip(seqs, seqs[1:]))


def data_seqs(channel, direction):
    """Sequence numbers of the reliable fragments one side sent or received."""
    return [seq for d, flags, seq, _ in channel.log if d == direction and (flags & ~nq.EOM) == nq.DATA]


@case
def commands_answered_before_any_server():
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
        check(consecutive(s.host.channel.unreliable_seqs, 0), "unreliable numbering %r" %
              s.host.channel.unreliable_seqs)


@case
def named_proxy_answers_both_prefixes():
    with Session("-n", "bob") as s:
        prints = s.command("bob:help", "Recognized commands:")
        check(prints[-1] == expect.help_summary("bob:"), "help %r" % prints[-1])
        prints = s.command("proxy:help", "Recognized commands:")
        check(prints[-1] == expect.help_summary("bob:"), "help %r" % prints[-1])


@case
def idle_host_gets_a_keepalive():
    with Session() as s:
        s.serve(lambda: "ping\n" in s.host.stufftexts, 13, "the keep-alive")


@case
def connect_relays_the_signon_and_the_game():
    with Session() as s:
        server = nq.FakeServer(level="one")
        s.connect(server)
        texts = s.host.prints
        check(texts.index("trying...\n") < texts.index("Connection accepted\n"), "prints %r" % texts)
        check(server.connect_requests[0][0] == nq.connect_request(), "connect request %r" %
              server.connect_requests)
        m = s.proxy.wait_output(expect.SERVER_ESTABLISHED)
        check(int(m.group(2)) == server.connect_requests[0][1][1] and int(m.group(4)) == server.game_port,
              "console %r" % m.group(0))
        s.serve(s.host.in_game, 5, "the game")
        check(server.commands == SIGNON_COMMANDS, "the server got %r" % server.commands)
        check(consecutive(data_seqs(server.channel, "in"), 0), "numbering at the server %r" %
              data_seqs(server.channel, "in"))
        check(consecutive(data_seqs(s.host.channel, "in"), 0), "numbering at the host %r" %
              data_seqs(s.host.channel, "in"))
        s.serve(lambda: len(server.unreliable) >= 10, 3, "moves at the server")
        check(consecutive(s.host.channel.unreliable_seqs, 0), "unreliable numbering at the host",
              s.host.channel.unreliable_seqs)
        s.host.say("hello")
        s.serve(lambda: "say hello" in server.commands, 3, "chat at the server")
        big = bytes([nq.SVC_PRINT]) + b"y" * 2500 + b"\0"
        server.send_reliable(big)
        s.serve(lambda: s.host.printed("y" * 2500), 3, "a message of three fragments")
        check(s.host.channel.duplicates == 0 and not s.host.parse_errors, "host", s.describe())


@case
def second_server_continues_the_numbering():
    with Session() as s:
        first, second = nq.FakeServer(level="one"), nq.FakeServer(level="two")
        s.connect(first)
        s.serve(s.host.in_game, 5, "the game on the first server")
        s.connect(second)
        check(expect.LEAVE_DATAGRAM in first.raw, "the first server got no leave datagram", first.raw[-3:])
        s.serve(lambda: s.host.in_game() and s.host.levels == ["one", "two"], 5, "the game on the second")
        check(second.commands == SIGNON_COMMANDS, "the second server got %r" % second.commands)
        check(consecutive(data_seqs(second.channel, "in"), 0), "numbering at the second server %r" %
              data_seqs(second.channel, "in"))
        check(consecutive(data_seqs(s.host.channel, "in"), 0), "numbering at the host %r" %
              data_seqs(s.host.channel, "in"))
        check(s.host.channel.duplicates == 0, "the host saw duplicates", s.describe())


@case
def reject_reaches_the_host():
    with Session() as s:
        server = nq.FakeServer(reject="Server is full.\n")
        s.servers.append(server)
        s.command("proxy:connect %s:%d" % (nq.LOOPBACK, server.port), "Server is full.\n")
        check("Server connection established" not in s.proxy.stdout, "console", s.proxy.describe())


@case
def disconnect_leaves_the_server():
    with Session() as s:
        server = nq.FakeServer()
        s.connect(server)
        s.serve(s.host.in_game, 5, "the game")
        s.command("proxy:disconnect", "Disconnected.\n")
        s.serve(lambda: expect.LEAVE_DATAGRAM in server.raw, 2, "the leave datagram")


@case
def host_disconnect_closes_the_connection():
    with Session() as s:
        server = nq.FakeServer()
        s.connect(server)
        s.serve(s.host.in_game, 5, "the game")
        s.host.disconnect()
        s.serve(lambda: any(p[8:] == b"\x02" for p in server.raw), 2, "the host's disconnect at the server")
        s.proxy.wait_output("Client connection closed.\nWaiting for client...\n")
        again = nq.GameClient("again")
        again.connect(s.port)
        nq.serve([again], lambda: again.prints, 3)
        check(again.accept and again.prints, "no new host admitted", s.describe())
        again.close()


if __name__ == "__main__":
    main()
