"""NetQuake datagram layer for the end-to-end tests: packets, a message parser, a scripted game client
and a scripted game server, all on loopback UDP sockets.

Endpoints do nothing on their own: `serve(endpoints, until, timeout)` reads their sockets and runs
their timers, so a test drives several endpoints from one thread and decides when time moves on.
"""
import select
import socket
import struct
import time

LOOPBACK = "127.0.0.1"

# datagram header: byte 0 (0 data, 0x80 control), byte 1 flags, 16-bit length, 32-bit sequence
DATA, ACK, EOM, UNRELIABLE = 0x01, 0x02, 0x08, 0x10
CTL = 0x80
CCREQ_CONNECT, CCREQ_SERVER_INFO = 0x01, 0x02
CCREP_ACCEPT, CCREP_REJECT, CCREP_SERVER_INFO = 0x81, 0x82, 0x83
NET_VERSION = 3
MAX_FRAGMENT = 1024

CLC_NOP, CLC_DISCONNECT, CLC_MOVE, CLC_STRINGCMD = 1, 2, 3, 4
SVC_DISCONNECT, SVC_TIME, SVC_PRINT, SVC_STUFFTEXT, SVC_SETANGLE, SVC_SERVERINFO = 2, 7, 8, 9, 10, 11
SVC_SIGNONNUM, SVC_INTERMISSION = 25, 30

PROTOCOL_NETQUAKE, PROTOCOL_FITZQUAKE, PROTOCOL_RMQ = 15, 666, 999


# ---------------------------------------------------------------------------------------------
# Packets

def udp_socket():
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((LOOPBACK, 0))
    return s


def free_port():
    """A UDP port that is free on loopback right now."""
    with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
        s.bind((LOOPBACK, 0))
        return s.getsockname()[1]


def control(code, body=b""):
    return struct.pack(">BBHB", CTL, 0, 5 + len(body), code) + body


def connect_request():
    """The 12-byte CCREQ_CONNECT of a stock client."""
    return control(CCREQ_CONNECT, b"QUAKE\0" + bytes([NET_VERSION]))


def info_request():
    return control(CCREQ_SERVER_INFO, b"QUAKE\0" + bytes([NET_VERSION]))


def datagram(flags, seq, payload=b""):
    return struct.pack(">BBHI", 0, flags, 8 + len(payload), seq & 0xFFFFFFFF) + payload


def split(data):
    """(flags, length field, sequence, payload) of a data datagram; None for anything shorter."""
    if len(data) < 8 or data[0] != 0:
        return None
    flags, length, seq = struct.unpack_from(">xBHI", data)
    return flags, length, seq, data[8:]


def cstring(text):
    return (text.encode("latin-1") if isinstance(text, str) else text) + b"\0"


def stringcmd(text):
    return bytes([CLC_STRINGCMD]) + cstring(text)


def parse_info_reply(data):
    """A CCREP_SERVER_INFO as a dict; raises ValueError when it is not one."""
    if len(data) < 5 or data[0] != CTL or data[1] != 0 or data[4] != CCREP_SERVER_INFO:
        raise ValueError("not a server info reply: %r" % data)
    parts = data[5:].split(b"\0", 3)
    address, name, level = (p.decode("latin-1") for p in parts[:3])
    tail = parts[3] if len(parts) == 4 else b""
    if len(tail) != 3:
        raise ValueError("server info reply ends badly: %r" % data)
    return dict(address=address, name=name, level=level, players=tail[0], maxplayers=tail[1],
                version=tail[2], length_field=struct.unpack_from(">H", data, 2)[0], raw=data)


def accept_port(data):
    """The port named by a CCREP_ACCEPT (bytes 5 and 6), or None."""
    if len(data) >= 7 and data[0] == CTL and data[1] == 0 and data[4] == CCREP_ACCEPT:
        return data[5] | data[6] << 8
    return None


def move_message(server_time, angles=(0, 64, 0), forward=0, side=0, up=0, buttons=0, impulse=0,
                 protocol=PROTOCOL_NETQUAKE):
    """clc_move: byte angles at protocol 15, 16-bit angles at 666 and 999."""
    if protocol == PROTOCOL_NETQUAKE:
        packed = struct.pack("<3B", *(a & 0xFF for a in angles))
    else:
        packed = struct.pack("<3H", *((a * 256) & 0xFFFF for a in angles))
    return (struct.pack("<Bf", CLC_MOVE, server_time) + packed +
            struct.pack("<3h2B", forward, side, up, buttons, impulse))


# ---------------------------------------------------------------------------------------------
# Server message parser (game protocols 15, 666 and 999)

class ParseError(ValueError):
    pass


class Reader:
    """A cursor over one message buffer; reading past the end raises ParseError."""

    def __init__(self, data, coord_size=2, angle_size=1):
        self.d, self.i = data, 0
        self.coord_size, self.angle_size = coord_size, angle_size

    def take(self, fmt):
        size = struct.calcsize("<" + fmt)
        if self.i + size > len(self.d):
            raise ParseError("message ends inside a field at offset %d" % self.i)
        v = struct.unpack_from("<" + fmt, self.d, self.i)
        self.i += size
        return v[0] if len(v) == 1 else v

    def byte(self): return self.take("B")
    def short(self): return self.take("h")
    def long(self): return self.take("i")
    def float(self): return self.take("f")
    def skip(self, n): self.take("%dx" % n)
    def coords(self, n): self.skip(n * self.coord_size)
    def angles(self, n): self.skip(n * self.angle_size)

    def string(self):
        end = self.d.find(b"\0", self.i)
        if end < 0:
            raise ParseError("unterminated string at offset %d" % self.i)
        s = self.d[self.i:end].decode("latin-1")
        self.i = end + 1
        return s

    def more(self): return self.i < len(self.d)


class Protocol:
    """What svc_serverinfo announced: the game protocol and its coordinate and angle sizes."""

    def __init__(self):
        self.version, self.flags = PROTOCOL_NETQUAKE, 0

    def sizes(self):
        f = self.flags if self.version == PROTOCOL_RMQ else 0
        coord = 4 if f & (1 << 4 | 1 << 7) else 3 if f & (1 << 3) else 2
        angle = 4 if f & (1 << 2) else 2 if f & (1 << 1) else 1
        return coord, angle

    def extended(self):
        return self.version in (PROTOCOL_FITZQUAKE, PROTOCOL_RMQ)


def _entity_update(r, cmd, ext):
    bits = cmd & 0x7F
    if bits & 1:
        bits |= r.byte() << 8
    if bits & 0x8000:
        if not ext:
            raise ParseError("extension bits in a protocol 15 entity update")
        bits |= r.byte() << 16
        if bits & 0x800000:
            bits |= r.byte() << 24
    num = r.short() if bits & 0x4000 else r.byte()
    r.skip(sum(1 for b in (0x400, 0x40, 0x800, 0x1000, 0x2000) if bits & b))
    for obit, abit in ((0x2, 0x100), (0x4, 0x10), (0x8, 0x200)):
        if bits & obit:
            r.coords(1)
        if bits & abit:
            r.angles(1)
    r.skip(sum(1 for b in (16, 20, 17, 18, 19) if bits & (1 << b)))
    return num, bits


def _clientdata(r, ext):
    bits = r.short() & 0xFFFF
    if bits & 0x8000:
        if not ext:
            raise ParseError("extension bits in protocol 15 clientdata")
        bits |= r.byte() << 16
        if bits & 0x800000:
            bits |= r.byte() << 24
    r.skip(sum(1 for b in range(8) if bits & (1 << b)))   # view height, ideal pitch, punch, velocity
    r.long()                                              # items
    r.skip(sum(1 for b in (12, 13, 14) if bits & (1 << b)))
    r.short()                                             # health
    r.skip(6)                                             # ammo, four ammo counts, active weapon
    r.skip(sum(1 for b in (16, 17, 18, 19, 20, 21, 22, 24, 25) if bits & (1 << b)))
    return bits


def _baseline(r, version2):
    bits = r.byte() if version2 else 0
    r.skip(2 if bits & 1 else 1)    # model
    r.skip(2 if bits & 2 else 1)    # frame
    r.skip(2)                       # colormap, skin
    r.coords(3)
    r.angles(3)
    r.skip((1 if bits & 4 else 0) + (1 if bits & 8 else 0))


def _sound(r):
    mask = r.byte()
    r.skip((1 if mask & 1 else 0) + (1 if mask & 2 else 0))
    r.skip(3 if mask & 8 else 2)
    r.skip(2 if mask & 16 else 1)
    r.coords(3)


def _temp_entity(r):
    kind = r.byte()
    if kind in (5, 6, 9, 13):
        r.short()
        r.coords(6)
    elif kind == 12:
        r.coords(3)
        r.skip(2)
    elif kind <= 11:
        r.coords(3)
    else:
        raise ParseError("temp entity %d" % kind)


def _serverinfo(r, proto):
    version = r.long()
    if version not in (PROTOCOL_NETQUAKE, PROTOCOL_FITZQUAKE, PROTOCOL_RMQ):
        raise ParseError("game protocol %d" % version)
    proto.version = version
    proto.flags = r.long() & 0xFFFFFFFF if version == PROTOCOL_RMQ else 0
    r.coord_size, r.angle_size = proto.sizes()
    maxclients, gametype, level = r.byte(), r.byte(), r.string()
    lists = ([], [])
    for names in lists:
        while True:
            s = r.string()
            if not s:
                break
            names.append(s)
    return dict(protocol=version, flags=proto.flags, maxclients=maxclients, gametype=gametype,
                level=level, models=lists[0], sounds=lists[1])


# Fixed payload sizes after the code byte, in coordinate and angle units: (bytes, coords, angles).
_FIXED = {1: (0, 0, 0), 2: (0, 0, 0), 16: (2, 0, 0), 17: (2, 0, 0), 18: (5, 3, 0), 19: (2, 3, 0),
          24: (1, 0, 0), 27: (0, 0, 0), 28: (0, 0, 0), 29: (3, 3, 0), 30: (0, 0, 0), 32: (2, 0, 0),
          33: (0, 0, 0), 40: (0, 0, 0), 41: (6, 0, 0), 44: (4, 3, 0)}


def _one_message(r, cmd, proto):
    """Reads the payload of message `cmd`; returns the value a test may look at."""
    if cmd & 0x80:
        return _entity_update(r, cmd, proto.extended())
    if cmd in _FIXED:
        n, coords, angles = _FIXED[cmd]
        r.skip(n)
        r.coords(coords)
        r.angles(angles)
        return None
    if cmd == 3: return (r.byte(), r.long())
    if cmd == 4: return r.long()
    if cmd == 5: return r.short()
    if cmd == 6: return _sound(r)
    if cmd == 7: return r.float()
    if cmd in (8, 9, 26, 31, 34, 37, 52): return r.string()
    if cmd == 10: return tuple(r.take("B") for _ in range(3)) if r.angle_size == 1 else r.angles(3)
    if cmd == 11: return _serverinfo(r, proto)
    if cmd in (12, 13): return (r.byte(), r.string())
    if cmd == 14: return (r.byte(), r.short())
    if cmd == 15: return _clientdata(r, proto.extended())
    if cmd in (20, 43): return _baseline(r, cmd == 43)
    if cmd in (22, 42):
        num = r.short()
        _baseline(r, cmd == 42)
        return num
    if cmd == 23: return _temp_entity(r)
    if cmd == 25: return r.byte()
    if cmd == 56:
        r.skip(2 if r.byte() & 16 else 1)
        return None
    raise ParseError("unknown message %d at offset %d" % (cmd, r.i - 1))


def parse_server_messages(payload, proto):
    """Every game message of one reliable message or unreliable payload: a list of (code, value).
    `proto` (a Protocol) follows svc_serverinfo. Raises ParseError on bytes it cannot walk."""
    coord, angle = proto.sizes()
    r = Reader(payload, coord, angle)
    out = []
    while r.more():
        cmd = r.byte()
        out.append((cmd, _one_message(r, cmd, proto)))
    return out


def parse_client_messages(payload):
    """Client messages: a list of (code, value); value is the text of a string command."""
    r, out = Reader(payload), []
    while r.more():
        cmd = r.byte()
        if cmd == CLC_STRINGCMD:
            out.append((cmd, r.string()))
        elif cmd == CLC_MOVE:
            out.append((cmd, r.float()))
            r.skip(3 + 6 + 2)
        elif cmd in (0, CLC_NOP, CLC_DISCONNECT):
            out.append((cmd, None))
        else:
            raise ParseError("unknown client message %d" % cmd)
    return out


def read_demo(path):
    """A demo file: the cd-track line, then blocks of length, three float angles and the server's
    messages. Returns (track line, [(angles, message bytes)]); raises ParseError when it is cut."""
    with open(path, "rb") as f:
        data = f.read()
    end = data.find(b"\n")
    if end < 0:
        raise ParseError("no cd-track line")
    blocks, i = [], end + 1
    while i < len(data):
        if i + 16 > len(data):
            raise ParseError("block header cut at offset %d" % i)
        length = struct.unpack_from("<i", data, i)[0]
        angles = struct.unpack_from("<3f", data, i + 4)
        if length < 0 or i + 16 + length > len(data):
            raise ParseError("block of %d bytes at offset %d runs past the end" % (length, i))
        blocks.append((angles, data[i + 16:i + 16 + length]))
        i += 16 + length
    return data[:end + 1], blocks


# ---------------------------------------------------------------------------------------------
# Endpoints and the loop that serves them

def serve(endpoints, until=None, timeout=5.0):
    """Reads every endpoint's sockets and runs their timers until `until()` is true (returns True)
    or `timeout` seconds pass (returns False; with no `until`, just serves for that long)."""
    end = time.monotonic() + timeout
    while True:
        if until is not None and until():
            return True
        now = time.monotonic()
        if now >= end:
            return until is None
        owners = {}
        for ep in endpoints:
            for s in ep.sockets():
                owners[s] = ep
        ready, _, _ = select.select(list(owners), [], [], min(0.01, end - now))
        for s in ready:
            try:
                data, src = s.recvfrom(65536)
            except OSError:
                continue
            owners[s].on_datagram(s, data, src)
        now = time.monotonic()
        for ep in endpoints:
            ep.tick(now)


class Channel:
    """One side of a NetQuake connection's datagram layer: reliable messages cut into fragments of
    at most 1024 bytes and sent one at a time until acked, in-order reassembly with acks, and the
    unreliable counter. The owner supplies send(bytes) and handlers for what arrives."""

    def __init__(self, send, on_message, on_unreliable, resend_after=1.0):
        self.send, self.on_message, self.on_unreliable = send, on_message, on_unreliable
        self.resend_after = resend_after
        self.reliable_seq = 0          # next reliable sequence to send
        self.unreliable_seq = 0        # next unreliable sequence to send
        self.expected_seq = 0          # next reliable sequence accepted
        self.pending = []              # reliable messages not yet started
        self.fragments = []            # fragments of the message in flight, first one unacked
        self.sent_at = 0.0
        self.partial = b""
        self.log = []                  # (direction, flags, seq, length) of every data datagram
        self.unreliable_seqs = []      # sequence numbers of the unreliable datagrams received
        self.duplicates = 0            # reliable fragments received again or out of order
        self.resends = 0

    def idle(self):
        return not self.pending and not self.fragments

    def send_reliable(self, message):
        self.pending.append(bytes(message))
        self._next()

    def send_unreliable(self, payload):
        self._send(datagram(UNRELIABLE, self.unreliable_seq, payload))
        self.unreliable_seq += 1

    def _send(self, data):
        self.log.append(("out", data[1], struct.unpack_from(">I", data, 4)[0], len(data)))
        self.send(data)

    def _next(self):
        if self.fragments or not self.pending:
            return
        msg = self.pending.pop(0)
        pieces = [msg[i:i + MAX_FRAGMENT] for i in range(0, max(len(msg), 1), MAX_FRAGMENT)]
        self.fragments = [[p, DATA | (EOM if i == len(pieces) - 1 else 0)] for i, p in enumerate(pieces)]
        self._send_fragment()

    def _send_fragment(self):
        piece, flags = self.fragments[0]
        self._send(datagram(flags, self.reliable_seq, piece))
        self.sent_at = time.monotonic()

    def tick(self, now):
        if self.fragments and now - self.sent_at > self.resend_after:
            self.resends += 1
            self._send_fragment()

    def receive(self, data):
        """A data datagram from the peer. Returns False when it is not one."""
        parts = split(data)
        if parts is None:
            return False
        flags, length, seq, payload = parts
        self.log.append(("in", flags, seq, len(data)))
        if flags == UNRELIABLE:
            self.unreliable_seqs.append(seq)
            self.on_unreliable(payload, seq)
        elif flags == ACK:
            if self.fragments and seq == self.reliable_seq:
                self.reliable_seq += 1
                self.fragments.pop(0)
                if self.fragments:
                    self._send_fragment()
                else:
                    self._next()
        elif (flags & ~EOM) == DATA:
            self.send(datagram(ACK, seq))
            if seq != self.expected_seq:
                self.duplicates += 1
                return True
            self.expected_seq += 1
            self.partial += payload
            if flags & EOM:
                msg, self.partial = self.partial, b""
                self.on_message(msg, seq)
        return True


def reliable_seqs(channel, direction):
    """Sequence numbers of the reliable fragments a Channel sent ("out") or received ("in"), resends
    and repeats included, in order."""
    return [seq for d, flags, seq, _ in channel.log if d == direction and (flags & ~EOM) == DATA]


class Endpoint:
    """Base of the scripted peers, which serve() drives through sockets(), on_datagram() and tick()."""

    def close(self):
        for s in self.sockets():
            s.close()


class GameClient(Endpoint):
    """A scripted game client: connects (to a proxy or a server), acks and reassembles, records every
    print, walks the signon like a stock client (prespawn, name/color/spawn, begin) unless told not
    to, then sends clc_move at 20 Hz."""

    def __init__(self, name="e2eclient", walk_signon=True):
        self.sock = udp_socket()
        self.name, self.walk_signon = name, walk_signon
        self.addr = None             # the game port named by the accept
        self.control_replies = []    # (raw, source) of every control packet
        self.accept = self.reject = None
        self.channel = Channel(self._send, self._on_reliable, self._on_unreliable)
        self.proto = Protocol()
        self.prints = []             # print texts (colour byte removed), reliable and not, in order
        self.stufftexts = []
        self.events = []             # (reliable, code, value) of every game message
        self.signons = []            # signon stages reached: 1, 2, 3, then 4 for "in the game"
        self.signon = 0
        self.levels = []             # level titles of the serverinfos received
        self.parse_errors = []
        self.reliable_messages = []  # (sequence of the last fragment, bytes)
        self.server_time = 0.0
        self.next_move = 0.0
        self.disconnected = False

    def sockets(self):
        return [self.sock]

    def _send(self, data):
        if self.addr is not None:
            self.sock.sendto(data, self.addr)

    # -- connection set-up

    def connect(self, port):
        self.sock.sendto(connect_request(), (LOOPBACK, port))

    def on_datagram(self, sock, data, src):
        if data[:2] == bytes([CTL, 0]) and len(data) >= 5:
            self.control_replies.append((data, src))
            if data[4] == CCREP_ACCEPT and self.accept is None:
                self.accept = data
                self.addr = (src[0], accept_port(data))
            elif data[4] == CCREP_REJECT:
                self.reject = data
            return
        if self.addr is not None and src == self.addr:
            self.channel.receive(data)

    # -- what arrives

    def _on_unreliable(self, payload, seq):
        self._walk(payload, False)

    def _on_reliable(self, msg, seq):
        self.reliable_messages.append((seq, msg))
        self._walk(msg, True)

    def _walk(self, payload, reliable):
        try:
            messages = parse_server_messages(payload, self.proto)
        except ParseError as e:
            kind = "reliable" if reliable else "unreliable"
            self.parse_errors.append("%s: %s: %r" % (kind, e, payload[:64]))
            return
        for code, value in messages:
            self.events.append((reliable, code, value))
            self._on_message(code, value)

    def _on_message(self, code, value):
        if code == SVC_PRINT:
            # as shown: without the leading colour byte (1 or 2) of chat and proxy texts
            self.prints.append(value[1:] if value[:1] in ("\x01", "\x02") else value)
        elif code == SVC_STUFFTEXT:
            self.stufftexts.append(value)
            if value.strip() == "reconnect":
                self.signon = 0
        elif code == SVC_TIME:
            self.server_time = value
        elif code == SVC_SERVERINFO:
            self.levels.append(value["level"])
            self.signon = 0
        elif code == SVC_SIGNONNUM:
            self.signon = value
            self.signons.append(value)
            if self.walk_signon:
                self._signon_reply(value)
        elif code == SVC_DISCONNECT:
            self.disconnected = True
        elif code & 0x80 and self.signon == 3:
            self.signon = 4
            self.signons.append(4)

    def _signon_reply(self, stage):
        replies = {1: ["prespawn"], 2: ['name "%s"\n' % self.name, "color 0 0\n", "spawn "], 3: ["begin"]}
        self.send_commands(*replies.get(stage, []))

    # -- what we send

    def send_commands(self, *texts):
        """One reliable message of string commands."""
        self.channel.send_reliable(b"".join(stringcmd(t) for t in texts))

    def say(self, text, quoted=False):
        """A chat line as the game client sends it: typed at the console (`say text`) or from the
        chat prompt (`say "text"`)."""
        self.send_commands('say "%s"' % text if quoted else "say " + text)

    def disconnect(self):
        for _ in range(3):
            self.channel.send_unreliable(bytes([CLC_DISCONNECT]))

    def tick(self, now):
        self.channel.tick(now)
        if self.signon == 4 and now >= self.next_move:
            self.next_move = now + 0.05
            self.channel.send_unreliable(move_message(self.server_time, protocol=self.proto.version))

    # -- questions tests ask

    def printed(self, fragment):
        return any(fragment in p for p in self.prints)

    def in_game(self):
        return self.signon == 4

    def frames(self, since=0):
        """Unreliable datagrams with a server time (the game's frames) among the events from `since`."""
        return sum(1 for reliable, code, _ in self.events[since:] if code == SVC_TIME and not reliable)


class FakeServer(Endpoint):
    """A scripted game server for one client at a time: answers server-info and connect requests
    (accept naming a new port, or a reject), walks a small signon, sends unreliable datagrams at
    20 Hz once the client has begun, and records every datagram and string command it receives."""

    def __init__(self, level="fake", reject=None):
        self.listen, self.game = udp_socket(), udp_socket()
        self.port, self.game_port = self.listen.getsockname()[1], self.game.getsockname()[1]
        self.level, self.reject = level, reject
        self.client = None                 # the client's address, once connected
        self.connect_requests = []         # (raw, source)
        self.channel = Channel(self._send, self._on_reliable, self._on_unreliable)
        self.commands = []                 # string commands received, in order
        self.unreliable = []               # (sequence, payload)
        self.raw = []                      # every datagram received on the game socket
        self.begun = False
        self.next_frame = 0.0
        self.time = 1.0

    def sockets(self):
        return [self.listen, self.game]

    def _send(self, data):
        if self.client is not None:
            self.game.sendto(data, self.client)

    def on_datagram(self, sock, data, src):
        if data[:2] == bytes([CTL, 0]) and len(data) >= 5:
            if sock is self.listen:
                self._on_control(data, src)
            return
        if sock is self.game:
            self.raw.append(data)
            if self.client is not None and src == self.client:
                self.channel.receive(data)

    def _on_control(self, data, src):
        if data[4] == CCREQ_SERVER_INFO:
            body = cstring("%s:%d" % (LOOPBACK, self.port)) + cstring("fakeserver") + \
                cstring(self.level) + bytes([0, 8, NET_VERSION])
            self.listen.sendto(control(CCREP_SERVER_INFO, body), src)
        elif data[4] == CCREQ_CONNECT:
            self.connect_requests.append((data, src))
            if self.reject is not None:
                self.listen.sendto(control(CCREP_REJECT, cstring(self.reject)), src)
                return
            self.client = src
            self.listen.sendto(control(CCREP_ACCEPT, struct.pack("<I", self.game_port)), src)
            info = struct.pack("<iBB", PROTOCOL_NETQUAKE, 8, 1) + cstring(self.level) + \
                cstring("maps/%s.bsp" % self.level) + cstring("progs/player.mdl") + b"\0" + \
                cstring("misc/null.wav") + b"\0"
            self.send_reliable(bytes([SVC_PRINT]) + cstring("fake server\n") + bytes([SVC_SERVERINFO]) +
                               info + bytes([SVC_SIGNONNUM, 1]))

    def _on_reliable(self, msg, seq):
        try:
            messages = parse_client_messages(msg)
        except ParseError:
            return
        for code, value in messages:
            if code != CLC_STRINGCMD:
                continue
            self.commands.append(value)
            if value == "prespawn":
                self.send_reliable(bytes([SVC_SIGNONNUM, 2]))
            elif value.startswith("spawn"):
                self.send_reliable(bytes([SVC_SIGNONNUM, 3]))
            elif value == "begin":
                self.begun = True

    def _on_unreliable(self, payload, seq):
        self.unreliable.append((seq, payload))

    def send_reliable(self, message):
        self.channel.send_reliable(message)

    def tick(self, now):
        self.channel.tick(now)
        if self.begun and now >= self.next_frame:
            self.next_frame = now + 0.05
            self.time += 0.05
            # time, then an update of entity 1 with its origin: enough for a client to count as in game
            update = struct.pack("<BBhhh", 0x80 | 0x02 | 0x04 | 0x08, 1, 0, 0, 0)
            self.channel.send_unreliable(struct.pack("<Bf", SVC_TIME, self.time) + update)
