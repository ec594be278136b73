"""NetQuake on the wire, standard library only: the datagrams of net protocol 3, the server's game
messages under game protocols 15, 666 and 999, and the two ends of a connection.

A datagram opens with two big-endian longs: flags << 16 | length (of the whole datagram), then a
sequence number, or for a control packet (flag 0x8000) the same first long and a code byte:

    data:     [DATA | EOM?] [length] [sequence] [fragment of a reliable message]
    ack:      [ACK] [8] [sequence]
    unrel.:   [UNRELIABLE] [length] [sequence] [messages]
    control:  [CONTROL] [length] [code] [body]

Game messages are little-endian; a message's code says how to read it, and nothing gives its length.
"""
import collections, struct, time

DATA, ACK, EOM, UNRELIABLE, CONTROL = 0x0001, 0x0002, 0x0008, 0x0010, 0x8000
CCREQ_CONNECT, CCREQ_SERVER_INFO = 0x01, 0x02
CCREP_ACCEPT, CCREP_REJECT, CCREP_SERVER_INFO = 0x81, 0x82, 0x83
NET_VERSION = 3
PROTOCOL_NETQUAKE, PROTOCOL_FITZQUAKE, PROTOCOL_RMQ = 15, 666, 999
CLC_DISCONNECT, CLC_MOVE, CLC_STRINGCMD = 2, 3, 4
SVC_DISCONNECT, SVC_TIME, SVC_PRINT, SVC_STUFFTEXT, SVC_SERVERINFO, SVC_CLIENTDATA = 2, 7, 8, 9, 11, 15
SVC_SIGNONNUM, SVC_CENTERPRINT, SVC_INTERMISSION = 25, 26, 30
# flags long of protocol 999
PRFL_SHORTANGLE, PRFL_FLOATANGLE, PRFL_24BITCOORD, PRFL_FLOATCOORD, PRFL_INT32COORD = 0x02, 0x04, 0x08, 0x10, 0x80
RMQ_KNOWN_FLAGS = 0xFE


def control(code, body=b""):
    return struct.pack(">HHB", CONTROL, 5 + len(body), code) + body


def datagram(flags, sequence, payload=b""):
    return struct.pack(">HHI", flags, 8 + len(payload), sequence) + payload


CONNECT_REQUEST = control(CCREQ_CONNECT, b"QUAKE\0" + bytes([NET_VERSION]))
INFO_REQUEST = control(CCREQ_SERVER_INFO, b"QUAKE\0" + bytes([NET_VERSION]))


def string_commands(*texts):
    return b"".join(bytes([CLC_STRINGCMD]) + t.encode("latin-1") + b"\0" for t in texts)


class ParseError(ValueError):
    pass


class Cursor:
    """Reads a message's fields; coordinates and angles take the sizes the protocol's flags give."""

    def __init__(self, data, flags=0):
        self.data, self.at, self.flags = data, 0, flags

    def take(self, fmt):
        size = struct.calcsize("<" + fmt)
        if self.at + size > len(self.data):
            raise ParseError("message ends inside a field at offset %d" % self.at)
        values = struct.unpack_from("<" + fmt, self.data, self.at)
        self.at += size
        return values[0] if len(values) == 1 else values

    def string(self):
        end = self.data.find(b"\0", self.at)
        if end < 0:
            raise ParseError("string without its end at offset %d" % self.at)
        text, self.at = self.data[self.at:end].decode("latin-1"), end + 1
        return text

    def coord(self):
        if self.flags & PRFL_FLOATCOORD:
            return self.take("f")
        if self.flags & PRFL_INT32COORD:
            return self.take("i") / 16.0
        if self.flags & PRFL_24BITCOORD:
            whole, fraction = self.take("hB")
            return whole + fraction / 255.0
        return self.take("h") / 8.0

    def angle(self):
        if self.flags & PRFL_FLOATANGLE:
            return self.take("f")
        if self.flags & PRFL_SHORTANGLE:
            return self.take("h") * 360.0 / 65536
        return self.take("b") * 360.0 / 256

    def fields(self, layout):
        """Fields by letter: b byte, c char, h short, H unsigned short, l long, f float, s string,
        C coordinate, A angle. One field comes back alone, more as a tuple, none as None."""
        read = {"b": lambda: self.take("B"), "c": lambda: self.take("b"), "h": lambda: self.take("h"),
                "H": lambda: self.take("H"), "l": lambda: self.take("i"), "f": lambda: self.take("f"),
                "s": self.string, "C": self.coord, "A": self.angle}
        values = tuple(read[letter]() for letter in layout)
        return values[0] if len(values) == 1 else values or None


# the messages of fixed layout, by code; the protocol-specific ones (37 and up) only under 666 and 999
LAYOUTS = {1: "", 2: "", 3: "bl", 4: "l", 5: "h", 7: "f", 8: "s", 9: "s", 10: "AAA", 12: "bs", 13: "bs",
           14: "bh", 16: "h", 17: "bb", 18: "CCCcccbb", 19: "bbCCC", 24: "b", 25: "b", 26: "s", 27: "",
           28: "", 29: "CCCbbb", 30: "", 31: "s", 32: "bb", 33: "", 34: "s"}
FITZ_LAYOUTS = {37: "s", 40: "", 41: "bbbbh", 44: "CCCHbb", 52: "s"}


def read_serverinfo(c, state):
    protocol = c.take("i")
    if protocol not in (PROTOCOL_NETQUAKE, PROTOCOL_FITZQUAKE, PROTOCOL_RMQ):
        raise ParseError("game protocol %d" % protocol)
    flags = c.take("I") if protocol == PROTOCOL_RMQ else 0
    if flags & ~RMQ_KNOWN_FLAGS:
        raise ParseError("protocol 999 flags 0x%x" % flags)
    state.update(protocol=protocol, flags=flags)
    c.flags = flags
    info = dict(protocol=protocol, flags=flags, maxclients=c.take("B"), gametype=c.take("B"), level=c.string())
    for kind in "models", "sounds":
        info[kind] = list(iter(c.string, ""))
    return info


def read_sound(c, state):
    mask = c.take("B")
    if mask & ~0x1B:
        raise ParseError("sound field mask 0x%x" % mask)
    volume = c.take("B") if mask & 0x01 else 255
    c.fields("b" if mask & 0x02 else "")
    entity, channel = c.fields("Hb") if mask & 0x08 else divmod(c.take("H"), 8)
    sound = c.take("H" if mask & 0x10 else "B")
    c.fields("CCC")
    return entity, channel, sound, volume


def read_clientdata(c, state):
    bits = c.take("H")
    if bits & 0x8000:
        bits |= extension_bytes(c, state, bits, "clientdata")
    c.fields("c" * sum(1 for b in (0x1, 0x2, 0x4, 0x20, 0x8, 0x40, 0x10, 0x80) if bits & b))
    c.take("i")                                       # items, read whatever the bits say
    c.fields("b" * sum(1 for b in (0x1000, 0x2000, 0x4000) if bits & b))
    c.fields("hbbbbbb")                               # health, ammo, four ammo counts, weapon
    c.fields("b" * sum(1 for b in range(16, 26) if b != 23 and bits & 1 << b))
    return bits


def extension_bytes(c, state, bits, what):
    if state["protocol"] == PROTOCOL_NETQUAKE:
        raise ParseError("%s bit 15 under protocol 15" % what)
    more = c.take("B") << 16
    return more | (c.take("B") << 24 if more & 0x800000 else 0)


def read_baseline(c, state, version=1, entity=True):
    number = c.take("h") if entity else None
    bits = c.take("B") if version == 2 else 0
    if bits & ~0x0F:
        raise ParseError("baseline bits 0x%x" % bits)
    c.fields(("h" if bits & 1 else "b") + ("h" if bits & 2 else "b") + "bbCACACA")
    c.fields(("b" if bits & 4 else "") + ("b" if bits & 8 else ""))
    return number, bits


def read_temp_entity(c, state):
    kind = c.take("B")
    if kind in (5, 6, 9, 13):                          # beams
        c.fields("hCCCCCC")
    elif kind == 12:
        c.fields("CCCbb")
    elif kind <= 11:
        c.fields("CCC")
    else:
        raise ParseError("temp entity %d" % kind)
    return kind


def read_update(c, state, code):
    bits = code & 0x7F
    if bits & 0x01:
        bits |= c.take("B") << 8
    if bits & 0x8000:
        bits |= extension_bytes(c, state, bits, "entity update")
    number = c.take("h" if bits & 0x4000 else "B")
    c.fields("b" * sum(1 for b in (0x400, 0x40, 0x800, 0x1000, 0x2000) if bits & b))
    for origin, angle in (0x2, 0x100), (0x4, 0x10), (0x8, 0x200):
        c.fields(("C" if bits & origin else "") + ("A" if bits & angle else ""))
    c.fields("b" * sum(1 for b in (16, 20, 17, 18, 19) if bits & 1 << b))
    return number, bits


SPECIAL = {6: read_sound, 11: read_serverinfo, 15: read_clientdata, 22: read_baseline, 23: read_temp_entity,
           20: lambda c, s: read_baseline(c, s, entity=False)}
FITZ_SPECIAL = {42: lambda c, s: read_baseline(c, s, 2), 43: lambda c, s: read_baseline(c, s, 2, entity=False),
                56: lambda c, s: c.take("H" if c.take("B") & 0x10 else "B")}


def read_messages(data, state):
    """Yields (code, value) for each game message of a server's reliable message or datagram. `state`
    holds the protocol and its flags, as the last svc_serverinfo set them. Raises ParseError where a
    message cannot be read: nothing after it can."""
    c = Cursor(data, state["flags"])
    while c.at < len(data):
        code = c.take("B")
        fitz = state["protocol"] != PROTOCOL_NETQUAKE
        if code & 0x80:
            yield code, read_update(c, state, code)
        elif code in SPECIAL or fitz and code in FITZ_SPECIAL:
            yield code, (SPECIAL.get(code) or FITZ_SPECIAL[code])(c, state)
        elif code in LAYOUTS or fitz and code in FITZ_LAYOUTS:
            yield code, c.fields(LAYOUTS.get(code, FITZ_LAYOUTS.get(code)))
        else:
            raise ParseError("message %d at offset %d under protocol %d" % (code, c.at - 1, state["protocol"]))


def read_server_info(reply):
    """The fields of a CCREP_SERVER_INFO, or None for any other datagram."""
    if len(reply) < 5 or reply[:2] != b"\x80\0" or reply[4] != CCREP_SERVER_INFO:
        return None
    c = Cursor(reply[5:])
    try:
        return dict(address=c.string(), name=c.string(), level=c.string(), players=c.take("B"),
                    maxplayers=c.take("B"), version=c.take("B"))
    except ParseError:
        return None


class Link:
    """One end of a connection on a socket: reliable messages sent one at a time, whole (as QuakeSpasm
    sends up to 64000 bytes), and again after a second without their ack; unreliable datagrams
    numbered; reliable fragments acked and joined. Subclasses take messages in on_message()."""
    RESEND_SECONDS = 1.0

    def __init__(self, sock, peer=None):
        self.sock, self.peer = sock, peer
        self.send_sequence = self.unreliable_sequence = self.receive_sequence = self.unreliable_expected = 0
        self.queue, self.in_flight, self.sent_at, self.fragments = [], None, 0.0, b""
        self.stats, self.largest = collections.Counter(), 0

    def send_reliable(self, message):
        self.queue.append(message)
        self.flush()

    def flush(self):
        if self.in_flight is None and self.queue:
            self.in_flight = (self.send_sequence, self.queue.pop(0))
            self.send_sequence += 1
            self.resend()

    def resend(self):
        sequence, message = self.in_flight
        self.sock.sendto(datagram(DATA | EOM, sequence, message), self.peer)
        self.sent_at = time.monotonic()

    def send_unreliable(self, payload):
        self.sock.sendto(datagram(UNRELIABLE, self.unreliable_sequence, payload), self.peer)
        self.unreliable_sequence += 1

    def tick(self, now):
        if self.in_flight and now - self.sent_at > self.RESEND_SECONDS:
            self.resend()

    def receive(self, data):
        """Takes a datagram from the peer."""
        self.largest = max(self.largest, len(data))
        if len(data) < 8 or struct.unpack_from(">H", data, 2)[0] != len(data) or data[0] & 0x80:
            self.stats["bad datagrams"] += 1
            return
        flags, _, sequence = struct.unpack_from(">HHI", data)
        if flags & UNRELIABLE:
            if sequence < self.unreliable_expected:
                self.stats["stale unreliable"] += 1
                return
            self.unreliable_expected = sequence + 1
            self.on_message(data[8:], False)
        elif flags & ACK:
            if self.in_flight and sequence == self.in_flight[0]:
                self.in_flight = None
                self.flush()
        elif flags & DATA:
            self.sock.sendto(datagram(ACK, sequence), self.peer)
            if sequence != self.receive_sequence:
                self.stats["repeated fragments"] += 1
                return
            self.receive_sequence += 1
            self.stats["reliable fragments"] += 1
            self.fragments += data[8:]
            if flags & EOM:
                message, self.fragments = self.fragments, b""
                self.stats["reliable messages"] += 1
                self.on_message(message, True)

    def on_message(self, message, reliable):
        pass


class Client(Link):
    """A game client: walks the signon as stock clients do (prespawn; name, color and spawn; begin),
    counts itself in the game from the first entity update after signon 3, and follows a level
    change, whether it comes with a reconnect order (QuakeSpasm) or as a new svc_serverinfo."""

    def __init__(self, sock, peer=None, name="rigclient"):
        super().__init__(sock, peer)
        self.name, self.state, self.signon, self.signons, self.server_time = name, {}, 0, [], 0.0
        self.state.update(protocol=PROTOCOL_NETQUAKE, flags=0)
        self.counts = collections.Counter()      # game messages by code

    def commands(self, *texts):
        self.send_reliable(string_commands(*texts))

    def on_message(self, message, reliable):
        try:
            for code, value in read_messages(message, self.state):
                self.counts[code] += 1
                self.on_svc(code, value, reliable)
        except ParseError as e:
            self.stats["parse errors"] += 1
            self.on_parse_error(e, message)

    def on_parse_error(self, error, message):
        pass

    def on_svc(self, code, value, reliable):
        if code == SVC_TIME:
            self.server_time = value
        elif code == SVC_SERVERINFO:
            self.signon = 0
        elif code == SVC_SIGNONNUM:
            self.reach(value)
            replies = {1: ["prespawn"], 2: ['name "%s"\n' % self.name, "color 0 0\n", "spawn "], 3: ["begin"]}
            self.commands(*replies.get(value, []))
        elif code & 0x80 and self.signon == 3:
            self.reach(4)
        elif code == SVC_STUFFTEXT and value.strip() == "reconnect":
            self.signon = 0
        elif code == SVC_DISCONNECT:
            self.stats["disconnected"] += 1

    def reach(self, signon):
        self.signon = signon
        self.signons.append(signon)

    def in_game(self):
        return self.signon == 4

    def move(self, forward=0, impulse=0, yaw=90.0):
        """A clc_move with the angles the protocol asks for: bytes under 15, else shorts or floats."""
        if self.state["protocol"] == PROTOCOL_NETQUAKE:
            angles = struct.pack("<3B", 0, round(yaw * 256 / 360) & 0xFF, 0)
        elif self.state["flags"] & PRFL_FLOATANGLE:
            angles = struct.pack("<3f", 0, yaw, 0)
        else:
            angles = struct.pack("<3H", 0, round(yaw * 65536 / 360) & 0xFFFF, 0)
        self.send_unreliable(struct.pack("<Bf", CLC_MOVE, self.server_time) + angles +
                             struct.pack("<3h2B", forward, 0, 0, 0, impulse))

    def leave(self):
        for _ in range(3):      # unreliable, so more than once
            self.send_unreliable(bytes([CLC_DISCONNECT]))
