#!/usr/bin/env python3
"""A command-line NetQuake client to probe a server (or a proxy): asks for its server information,
connects, walks the signon, walks or jumps for a while sending moves at 20 Hz, reads every message it
gets, and prints what it saw. Exit 0 when it reached the game, 1 when not, 2 when nothing answered.

  probe.py [--host 127.0.0.1] [--port 26000] [--seconds 10] [--name NAME] [--impulse-at T]
           [--say TEXT]... [--verbose]

e.g. probe.py --port 26500 --seconds 5 --verbose
     probe.py --port 26000 --say "proxy:connect 127.0.0.1:26500" (through a proxy to a server)
"""
import argparse, select, socket, struct, sys, time
import netquake as nq

NAMES = {1: "nop", 2: "disconnect", 3: "updatestat", 4: "version", 5: "setview", 6: "sound", 7: "time",
         8: "print", 9: "stufftext", 10: "setangle", 11: "serverinfo", 12: "lightstyle", 13: "updatename",
         14: "updatefrags", 15: "clientdata", 16: "stopsound", 17: "updatecolors", 18: "particle",
         19: "damage", 20: "spawnstatic", 22: "spawnbaseline", 23: "temp_entity", 24: "setpause",
         25: "signonnum", 26: "centerprint", 27: "killedmonster", 28: "foundsecret", 29: "spawnstaticsound",
         30: "intermission", 31: "finale", 32: "cdtrack", 33: "sellscreen", 34: "cutscene", 37: "skybox",
         40: "bf", 41: "fog", 42: "spawnbaseline2", 43: "spawnstatic2", 44: "spawnstaticsound2",
         52: "achievement", 56: "localsound"}


def name(code):
    return "entity update" if code & 0x80 else NAMES.get(code, "svc %d" % code)


class Probe(nq.Client):
    def __init__(self, sock, peer, args):
        super().__init__(sock, peer, args.name)
        self.args, self.t0 = args, time.monotonic()

    def log(self, text):
        print("%7.3f %s" % (time.monotonic() - self.t0, text), flush=True)

    def on_message(self, message, reliable):
        if reliable and (self.args.verbose or self.signon < 3):
            self.log("reliable message, %d bytes" % len(message))
        super().on_message(message, reliable)

    def on_parse_error(self, error, message):
        self.log("parse error: %s in %s" % (error, message[:64].hex(" ")))

    def on_svc(self, code, value, reliable):
        if code == nq.SVC_SERVERINFO:
            self.log("serverinfo: protocol %(protocol)d flags 0x%(flags)x, level %(level)r, %(maxclients)d "
                     "players, %(models)s" % value)
        elif code in (nq.SVC_PRINT, nq.SVC_CENTERPRINT, nq.SVC_STUFFTEXT) and (self.args.verbose or
                                                                               not value.startswith("rig: ")):
            self.log("%s %r" % (name(code), value))
        elif code in (nq.SVC_SIGNONNUM, nq.SVC_INTERMISSION, nq.SVC_DISCONNECT):
            self.log("%s %s" % (name(code), "" if value is None else value))
        before = self.signon
        super().on_svc(code, value, reliable)
        if self.signon == 4 and before == 3:
            self.log("in the game")


def ask(sock, server, request, seconds):
    """The first control reply from the server's address to `request`, sent once a second."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        sock.sendto(request, server)
        until = min(end, time.monotonic() + 1.0)
        while select.select([sock], [], [], max(0.0, until - time.monotonic()))[0]:
            data, source = sock.recvfrom(65536)
            if source == server and data[:2] == b"\x80\0" and len(data) >= 5:
                return data
    return None


def play(client, args):
    end, next_move, impulse_sent = time.monotonic() + args.seconds, 0.0, False
    while time.monotonic() < end and not client.stats["disconnected"]:
        if select.select([client.sock], [], [], 0.01)[0]:
            data, source = client.sock.recvfrom(65536)
            if source == client.peer:
                client.receive(data)
        now = time.monotonic()
        client.tick(now)
        if client.in_game() and now >= next_move:
            next_move = now + 0.05
            due = args.impulse_at is not None and not impulse_sent and now - client.t0 >= args.impulse_at
            impulse, impulse_sent = (9, True) if due else (0, impulse_sent)
            client.move(forward=200 if int(now) % 2 else -200, impulse=impulse)
            client.stats["moves"] += 1
    client.leave()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--host", default="127.0.0.1")
    ap.add_argument("--port", type=int, default=26000)
    ap.add_argument("--seconds", type=float, default=10)
    ap.add_argument("--name", default="probe")
    ap.add_argument("--impulse-at", type=float, help="send impulse 9 (the rig's game: end the level) then")
    ap.add_argument("--say", action="append", default=[], help="say this once connected")
    ap.add_argument("--verbose", action="store_true", help="every reliable message and print")
    args = ap.parse_args()
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind(("0.0.0.0" if args.host not in ("127.0.0.1", "localhost") else "127.0.0.1", 0))
    server = (socket.gethostbyname(args.host), args.port)

    info = nq.read_server_info(ask(sock, server, nq.INFO_REQUEST, 3) or b"")
    if not info:
        print("no server information from %s:%d" % server)
        return 2
    print("server information: %r" % info)
    # a QuakeSpasm server takes a first request from an address it already serves as that client
    # coming back, and answers only the next: ask again until accepted
    reply = ask(sock, server, nq.CONNECT_REQUEST, 5)
    if not reply or reply[4] != nq.CCREP_ACCEPT or len(reply) < 9:
        print("refused: %r" % (reply[5:].split(b"\0")[0].decode("latin-1") if reply else "no answer"))
        return 1
    port = struct.unpack_from("<H", reply, 5)[0]
    print("accepted, game port %d" % port)
    client = Probe(sock, (server[0], port), args)
    client.commands(*("say " + text for text in args.say))
    play(client, args)
    counts = {name(code): n for code, n in sorted(client.counts.items())}
    print("signons: %s" % client.signons)
    print("protocol %d, flags 0x%x" % (client.state["protocol"], client.state["flags"]))
    print("largest datagram: %d bytes" % client.largest)
    print("counters: %s" % dict(client.stats))
    print("messages: %s" % counts)
    return 0 if 4 in client.signons else 1


if __name__ == "__main__":
    sys.exit(main())
