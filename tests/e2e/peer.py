"""The scripted NetQuake peer of the end-to-end tests (README.md). Endpoints act only inside serve(), one thread."""
import argparse, concurrent.futures, os, re, select, shlex, shutil, signal, socket, struct, subprocess, sys, tempfile, time

LOOPBACK, CI, _CASES = "127.0.0.1", os.environ.get("CI") == "true", []
_ap = argparse.ArgumentParser()
for _name, _options in ("--proxy", dict(required=True)), ("cases", dict(nargs="*")):
    _ap.add_argument(_name, **_options)
ARGS = _ap.parse_args()
ARGS.proxy = os.path.abspath(ARGS.proxy)
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "peers"))
import netquake as nq    # the rig's datagram layer, signon walk and message reader
import rig
from netquake import DATA, EOM, UNRELIABLE, CCREP_ACCEPT, CCREP_REJECT, PROTOCOL_NETQUAKE, PROTOCOL_FITZQUAKE, \
    PROTOCOL_RMQ, CONNECT_REQUEST, INFO_REQUEST, SVC_TIME, SVC_PRINT, SVC_STUFFTEXT, SVC_SERVERINFO, SVC_SIGNONNUM, \
    SVC_INTERMISSION, control, datagram

VERSION = "Skopos-Proxy v1.04"
BANNER = re.compile(r"\n" + re.escape(VERSION) + r" - Visit Skopos homepage at (\S+)\n[^\n]+\n\n")
WAITING, BREAK = "Waiting for client...\n", "\nReceived break - terminating...\n"
DEMO_CREDIT = b"This demo file was recorded with\n" + VERSION.encode() + b" \x85 Visit Skopos homepage\n"
SERVER_ESTABLISHED = re.compile(r"Server connection established\.\n([\d.]+):(\d+)<->([\d.]+):(\d+)\n")
LEAVE_DATAGRAM = bytes.fromhex("00100009 7fffffff 02")     # clc_disconnect, when the proxy leaves a server
RECONNECT_ORDER = "reconnect\ntoggleconsole\ntoggleconsole\n"


def greeting(console, prefix="proxy:"):      # with the URL of the banner on the proxy's console
    bar = "\x9d" + "\x9e" * 35 + "\x9f\n"
    return "%s%s \x85 Visit Skopos homepage\n%s\nsay %s help for list of commands\n%s" % (
        bar, VERSION, BANNER.match(console)[1], prefix, bar)


# Below the kernel's ephemeral range, so no socket opened meanwhile is handed the port before the
# program it is meant for binds it; 40 a script, by process id, so scripts run side by side do not meet.
_ports = iter(range(12000 + os.getpid() % 500 * 40, 12040 + os.getpid() % 500 * 40))


def free_port():
    for port in _ports:
        with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
            try:
                s.bind((LOOPBACK, port))
            except OSError:
                continue
            return port
    raise RuntimeError("no free port left for this script")


def consecutive(seqs):
    return seqs[:1] in ([], [0]) and all(b == a + 1 for a, b in zip(seqs, seqs[1:]))


def serve(endpoints, until=None, timeout=5.0):
    end = time.monotonic() + timeout
    while not (until and until()):
        if time.monotonic() >= end:
            return until is None
        owners = {s: ep for ep in endpoints for s in ep.socks}
        for s in select.select(list(owners), [], [], 0.01)[0]:
            try:
                owners[s].on_datagram(s, *s.recvfrom(65536))
            except OSError:
                pass
        for ep in endpoints:
            ep.tick(time.monotonic())
    return True


def loopback_socket(address=LOOPBACK):
    sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    sock.bind((address, 0))
    return sock


class GameClient(nq.Client):
    """The rig's client on a socket of its own, recording what it is told; datagrams go in through on_datagram()."""

    def __init__(self, name="e2eclient", address=LOOPBACK):      # 127.0.0.2 and up: strangers
        super().__init__(loopback_socket(address), None, name)
        self.socks, self.next_move, self.accept, self.reject, self.control_replies = [self.sock], 0.0, None, None, []
        self.pinged = False
        self.prints, self.events, self.levels, self.reliable_messages, self.reliable_in, self.unreliable_seqs = \
            [], [], [], [], [], []

    def connect(self, port):
        self.sock.sendto(CONNECT_REQUEST, (LOOPBACK, port))

    def close(self):
        self.sock.close()

    def on_datagram(self, sock, data, src):
        if data[:2] == b"\x80\0" and len(data) >= 5:
            self.control_replies.append((data, src))
            if data[4] == CCREP_ACCEPT and self.accept is None and len(data) >= 7:
                self.accept, self.peer = data, (src[0], data[5] | data[6] << 8)
            elif data[4] == CCREP_REJECT:
                self.reject = data
        elif src == self.peer and len(data) >= 8:
            seqs = {UNRELIABLE: self.unreliable_seqs, DATA: self.reliable_in, DATA | EOM: self.reliable_in}
            seqs.get(data[1], []).append(struct.unpack_from(">I", data, 4)[0])
            self.receive(data)

    def on_message(self, message, reliable):
        self.reliable_messages += [message] if reliable else []
        super().on_message(message, reliable)

    def on_svc(self, code, value, reliable):
        self.events.append((reliable, code, value))
        if code == SVC_PRINT:        # as shown: without the colour byte of chat and proxy texts
            self.prints.append(value[1:] if value[:1] in ("\1", "\2") else value)
        elif code == SVC_STUFFTEXT and value.strip() == "ping":      # as real clients: ping goes on to the server
            self.commands("ping")
            self.pinged = True
        elif code == SVC_SERVERINFO:
            self.levels.append(value["level"])
        super().on_svc(code, value, reliable)

    def tick(self, now):
        super().tick(now)
        if self.in_game() and now >= self.next_move:
            self.next_move = now + 0.05
            self.move(forward=200 if int(now) % 2 else -200)

    def printed(self, fragment): return any(fragment in p for p in self.prints)


class FakeServer(nq.Link):
    """A game server for one client, on a port of its own: a small signon (`stage2`: the reply to prespawn), then a
    frame every 50 ms."""
    baseline = struct.pack("<BhB3x3h3B", 22, 1, 1, 0, 0, 0, 0, 0, 0) + b"\x19\x02"   # entity 1, model 1 at the origin

    def __init__(self, level="fake", stage2=(baseline,)):
        self.listen = loopback_socket()
        super().__init__(loopback_socket())
        self.socks, self.port, self.game_port = [self.listen, self.sock], *(s.getsockname()[1] for s in (self.listen,
                                                                                                        self.sock))
        self.level, self.stage2, self.begun, self.next_frame, self.time = level, stage2, False, 0.0, 1.0
        self.commands, self.unreliable, self.raw = [], [], []

    def close(self):
        for sock in self.socks:
            sock.close()

    def on_datagram(self, sock, data, src):
        if sock is self.sock:
            self.raw.append(data)
            if src == self.peer and len(data) >= 8:
                self.receive(data)
        elif data[:2] == b"\x80\0" and data[4:5] == b"\x01":
            self.peer = src
            self.listen.sendto(control(CCREP_ACCEPT, struct.pack("<I", self.game_port)), src)
            level = self.level.encode()
            self.send_reliable(b"\x08fake server\n\0\x0b" + struct.pack("<iBB", 15, 8, 1) + b"%s\0maps/%s.bsp\0"
                               b"progs/player.mdl\0\0misc/null.wav\0\0\x19\x01" % (level, level))

    def on_message(self, msg, reliable):      # the client's messages: moves, and commands answered
        self.unreliable += [] if reliable else [msg]
        for text in re.findall(rb"\x04([^\0]*)\0", msg if reliable else b""):
            self.commands.append(text.decode("latin-1"))
            for part in self.stage2 if text == b"prespawn" else ():
                self.send_reliable(part)
            if text.startswith(b"spawn"):
                self.send_reliable(struct.pack("<Bf", SVC_TIME, self.time) + b"\x19\x03")
            self.begun |= text == b"begin"

    def tick(self, now):
        super().tick(now)
        if self.begun and now >= self.next_frame:      # time, and entity 1 at the origin
            self.next_frame, self.time = now + 0.05, self.time + 0.05
            self.send_unreliable(struct.pack("<BfBB3h", SVC_TIME, self.time, 0x8E, 1, 0, 0, 0))


class Skip(Exception): pass


def case(fn):
    _CASES.append(fn)
    return fn


def require(condition, what):
    if not condition:
        raise AssertionError("missing under CI: %s" % what) if CI else Skip(what)


def check(condition, message, *context):
    if not condition:
        raise AssertionError("\n".join([str(message)] + [str(c() if callable(c) else c) for c in context]))


def in_order(out, *lines):
    at = [out.find(line) for line in lines]
    check(-1 not in at and at == sorted(at), "console lines missing or out of order: %r" % (lines,), out)


def wait_until(until, timeout, what, *context, endpoints=()):
    """Serves the endpoints until `until()`; fails after `timeout` s. `until` None: serves `timeout` s."""
    check(serve(endpoints, until, timeout), "timed out after %.1f s waiting for %s" % (timeout, what), *context)


def main():
    def run(fn):       # the cases run at once, each in a thread with its own proxy and servers
        start, result = time.monotonic(), "PASS"
        try:
            fn()
        except Exception as e:
            result = "SKIP %s" % e if isinstance(e, Skip) else "FAIL %s: %s" % (type(e).__name__, e)
        print("%s (%.1f s) %s" % (fn.__name__, time.monotonic() - start, result), flush=True)
        return result[:4]

    cases = [fn for fn in _CASES if not ARGS.cases or fn.__name__ in ARGS.cases]
    with concurrent.futures.ThreadPoolExecutor(max(1, len(cases))) as pool:
        results = list(pool.map(run, cases))
    sys.exit(1 if "FAIL" in results else 0 if "PASS" in results else 77)


def end_group(proc, sig=signal.SIGKILL):
    try:
        os.killpg(proc.pid, sig)
        proc.wait(5)
    except (ProcessLookupError, PermissionError, subprocess.TimeoutExpired):
        pass


class Proxy:
    """The proxy (SKOPOS_PROXY_COMMAND, or --proxy), its console in a file; `loopback` adds -l and -r 127.0.0.1."""

    def __init__(self, *args, port=None, loopback=True, cwd=None, prefix=()):
        self.port, (fd, self.path) = port, tempfile.mkstemp(prefix="skopos-e2e-", suffix=".log")
        self.args = (["-p", str(port)] if port else []) + (["-l", LOOPBACK, "-r", LOOPBACK] if loopback else []) + \
            [str(a) for a in args]
        command = os.environ.get("SKOPOS_PROXY_COMMAND")
        program = list(prefix) + (shlex.split(command) if command else [ARGS.proxy])
        with os.fdopen(fd, "ab") as log:      # appended to: the child's writes never overwrite one another
            self.proc = subprocess.Popen(program + self.args, cwd=cwd, stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=log, start_new_session=True)

    @property
    def stdout(self):      # a Windows console's CR LF as LF
        return read_text(self.path).replace("\r\n", "\n")

    def describe(self):
        return "proxy %s, exit %s\n--- console:\n%s" % (" ".join(self.args), self.proc.poll(), self.stdout)

    def wait_output(self, pattern, timeout=5.0):
        rx = pattern if isinstance(pattern, re.Pattern) else re.compile(re.escape(pattern))
        wait_until(lambda: rx.search(self.stdout), timeout, repr(rx.pattern), self.describe)
        return rx.search(self.stdout)

    def wait_exit(self, timeout=5.0):
        wait_until(lambda: self.proc.poll() is not None, timeout, "the proxy's exit", self.describe)
        return self.proc.returncode


    def close(self):
        end_group(self.proc)
        if os.path.exists(self.path):
            os.unlink(self.path)

    __enter__, __exit__ = lambda self: self, lambda self, *exc: self.close()


def run_proxy(*args, timeout=10.0):
    with Proxy(*args, loopback=False) as p:
        return p.wait_exit(timeout), p.stdout


def ask(port, request=None, timeout=2.0):
    """The control replies from 127.0.0.1:port to `request` (by default a server-info request: the first reply)."""
    c = GameClient()
    c.sock.sendto(INFO_REQUEST if request is None else request, (LOOPBACK, port))
    serve([c], None if request is not None else (lambda: c.control_replies), timeout)
    c.close()
    return [data for data, src in c.control_replies if src == (LOOPBACK, port)]


def admit(port, name="host"):
    c = GameClient(name)
    c.connect(port)
    serve([c], lambda: c.reject or (c.accept and c.prints), 3)
    return c


class Session:
    """A proxy with a host admitted and greeted; serves the host and the endpoints in `servers` (servers, observers)."""

    def __init__(self, *proxy_args, cwd=None):
        self.port = free_port()
        self.proxy, self.host, self.servers = Proxy(*proxy_args, port=self.port, cwd=cwd), GameClient("host"), []
        try:
            self.proxy.wait_output(WAITING, 10)
            self.host.connect(self.port)
            # the greeting, and the answer to the keep-alive that came with it taken, as a real client's
            self.serve(lambda: self.host.prints and self.host.pinged and not self.host.in_flight, 3, "the greeting")
        except BaseException:
            self.close()
            raise

    def serve(self, until, timeout, what="", *context):
        wait_until(until, timeout, what, self.describe, *context, endpoints=[self.host] + self.servers)

    def describe(self):
        h = self.host
        return "%s\n--- host prints %r\n--- host signons %r, levels %r, %r" % (
            self.proxy.describe(), [p[:200] for p in h.prints[-12:]], h.signons, h.levels, h.stats)

    def command(self, text, reply, timeout=3):
        before = len(self.host.prints)
        self.host.commands("say " + text)
        self.serve(lambda: any(reply in p for p in self.host.prints[before:]), timeout, repr(reply))

    def connect(self, server):
        self.servers += [server] if isinstance(server, FakeServer) else []
        port = getattr(server, "port", server)
        self.command("proxy:connect %s:%d" % (LOOPBACK, port), "Connection accepted\n", timeout=5)

    def observer(self, name="watcher", port=None):
        self.servers.append(GameClient(name))
        self.servers[-1].connect(port or self.port)
        return self.servers[-1]

    def play_on(self, server, seconds=1.0):
        self.connect(server)
        self.proxy.wait_output(SERVER_ESTABLISHED)
        self.serve(self.host.in_game, 10, "the game", getattr(server, "describe", ""))
        check(self.host.signons[-4:] == [1, 2, 3, 4], "signons %r" % self.host.signons)
        self.fed(self.host, seconds)
        check(consecutive(self.host.reliable_in) and not self.host.stats["parse errors"], "host stream", self.describe)

    def fed(self, client, seconds=1.0):
        mark, seqs = len(client.events), client.unreliable_seqs
        self.serve(None, seconds)
        frames = sum(1 for reliable, code, _ in client.events[mark:] if code == SVC_TIME and not reliable)
        check(frames >= 10 * seconds, "%s got %d frames in %.1f s" % (client.name, frames, seconds), self.describe)
        check(consecutive(seqs), "unreliable numbering at %s: %r" % (client.name, seqs[:20]), self.describe)

    def close(self):
        for ep in [self.host] + self.servers + [self.proxy]:
            ep.close()

    __enter__, __exit__ = Proxy.__enter__, Proxy.__exit__


def read_text(path):
    try:
        with open(path, encoding="latin-1") as f:
            return f.read()
    except OSError:
        return ""


class PeerServer(rig.Server):
    """A real server of the rig in a temporary folder of its own (its `dir`), so tests run side by side; `game`:
    the rig's game settings (noise, bulk, cycle, next_level)."""

    def __init__(self, level=None, kind="darkplaces", protocol=15, **game):
        require(not rig.missing(rig.SERVER_PROGRAM[kind], "quakestat", "fteqcc", "gcc"),
                "the rig's %s server, qstat, fteqcc, gcc (peers/install.sh)" % kind)
        self.dir = tempfile.mkdtemp(prefix="skopos-e2e-")
        super().__init__(kind, 0, level, protocol, folder=self.dir, **game)

    def start(self, port=None):
        for _ in range(3):                     # a port taken between probe and bind: another
            self.port = port or free_port()
            try:
                return super().start()
            except rig.RigError as e:
                error = e
        raise AssertionError(error)

    def describe(self):
        return "--- %s server log (port %s):\n%s" % (self.kind, self.port, self.log()[-3000:])

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self.dir, ignore_errors=True)

    __enter__ = start


class RealClient(rig.RealClient):
    """The real DarkPlaces client of the rig, headless, in the game folder of a PeerServer."""

    def __init__(self, game_dir, port, name, *args, seconds=40):
        require(not rig.missing(rig.CLIENT_PROGRAM, "xvfb-run"), "the darkplaces client, xvfb (peers/install.sh)")
        super().__init__(game_dir, port, name, args, seconds)

    def describe(self):
        return "--- client log:\n" + "\n".join(l for l in self.log().splitlines() if "GL" not in l)[-3000:]


def play_demo(game_dir, name, seconds=5):
    for _ in range(2):     # its software renderer now and then crashes on a file it plays well the next time
        with RealClient(game_dir, None, "demo", "+playdemo", name, seconds=seconds) as rc:
            rc.proc.wait(seconds + 30)
        if "Segmentation fault" not in rc.log():
            break
    return rc.log()


def walk_demo(path):
    """A demo file as [(message, [(code, value)])]; it must walk to its end, hold the credits, no reconnect."""
    with open(path, "rb") as f:
        data, state, out, i = f.read(), {"protocol": PROTOCOL_NETQUAKE, "flags": 0}, [], 3
    check(data.startswith(b"-1\n"), "%s: cd-track line %r" % (path, data[:8]))
    while i < len(data):
        length = struct.unpack_from("<i", data, i)[0] if i + 16 <= len(data) else -1
        check(0 <= length <= len(data) - i - 16, "%s: block at offset %d runs past the end" % (path, i))
        message, i = data[i + 16:i + 16 + length], i + 16 + length
        out.append((message, list(nq.read_messages(message, state))))    # raises if torn
    check(out and out[-1][0] == b"\x02", "%s does not end with the closing block" % path)
    check(out[0][0][:2] == b"\x08\x02" and DEMO_CREDIT in out[0][0] and DEMO_CREDIT in out[-2][0], path + ": credits")
    check(not any(b"\x09reconnect\n\0" in m for m, _ in out), "%s holds the reconnect order" % path)
    return out
