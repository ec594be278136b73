"""Test harness of the end-to-end tests: the proxy as a child process, the peer rig's real servers
and client, tool checks, and a small runner of test cases.

A test script defines cases with @case and ends with main(). Arguments (passed by CTest):
  --proxy BINARY   the skoposproxy binary
  --peers DIR      the peer rig (start-server.sh and friends)
Exit code: 0 passed, 1 a case failed, 77 every case skipped (CTest's SKIP_RETURN_CODE). A case
skips when a tool it needs is missing, except under CI=true, where that is a failure.
"""
import argparse
import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import traceback

import expect
import nq

ARGS = None
CI = os.environ.get("CI") == "true"
_CASES = []


class Skip(Exception):
    pass


def case(fn):
    _CASES.append(fn)
    return fn


def require(condition, what):
    """Skips the case when `condition` is false (a missing tool); under CI that is a failure."""
    if condition:
        return
    if CI:
        raise AssertionError("missing under CI: " + what)
    raise Skip(what)


def require_tool(name):
    require(shutil.which(name) is not None, "%s not installed" % name)


def check(condition, message, *context):
    """assert with the proxy output, client prints or server log that explain a failure."""
    if not condition:
        raise AssertionError("\n".join([message] + [str(c) for c in context]))


def wait_until(predicate, timeout, what, *context):
    """Polls `predicate`; on time-out fails with `context` (callables are called then)."""
    end = time.monotonic() + timeout
    while not predicate():
        if time.monotonic() >= end:
            raise AssertionError("\n".join(["timed out after %.1f s waiting for %s" % (timeout, what)] +
                                           [str(c() if callable(c) else c) for c in context]))
        time.sleep(0.01)


# ---------------------------------------------------------------------------------------------
# The proxy process

def kill_group(proc):
    """Kills a child started in a session of its own, with anything it started, so that no
    grandchild keeps its output pipes open."""
    try:
        os.killpg(proc.pid, signal.SIGKILL)     # also when the leader has ended already
    except (ProcessLookupError, PermissionError):
        pass
    proc.wait(5)


class Closing:
    """Context managers that close() on the way out."""

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


class Proxy(Closing):
    """skoposproxy as a child process; its console (stdout and stderr) is collected as it comes."""

    def __init__(self, *args, port=None, loopback=True, cwd=None):
        """With `port` a -p option is added; with `loopback` a -l 127.0.0.1 and -r 127.0.0.1 too,
        so that nothing listens beyond loopback. `cwd`: where demo files go."""
        self.args = [str(a) for a in args]
        if loopback:
            self.args = ["-l", nq.LOOPBACK, "-r", nq.LOOPBACK] + self.args
        if port is not None:
            self.args = ["-p", str(port)] + self.args
        self._stdout, self._stderr = [], []
        self._lock = threading.Lock()
        # SKOPOS_PROXY_COMMAND (e.g. "wine /abs/skoposproxy.exe") runs another build in its place.
        command = os.environ.get("SKOPOS_PROXY_COMMAND")
        program = shlex.split(command) if command else [ARGS.proxy]
        self.proc = subprocess.Popen(program + self.args, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, start_new_session=True,
                                     cwd=cwd)
        streams = ((self.proc.stdout, self._stdout), (self.proc.stderr, self._stderr))
        self._readers = [threading.Thread(target=self._read, args=s, daemon=True) for s in streams]
        for t in self._readers:
            t.start()

    def _read(self, pipe, chunks):
        while True:
            data = pipe.read1(4096)
            if not data:
                return
            with self._lock:
                chunks.append(data)

    @property
    def stdout(self):
        with self._lock:
            return b"".join(self._stdout).decode("latin-1")

    @property
    def stderr(self):
        with self._lock:
            return b"".join(self._stderr).decode("latin-1")

    def describe(self):
        return "proxy %s, exit %s\n--- stdout:\n%s\n--- stderr:\n%s" % (
            " ".join(self.args), self.proc.poll(), self.stdout, self.stderr)

    def wait_output(self, pattern, timeout=5.0):
        """Waits for a regex (re.compile'd) or a plain text in stdout; returns the match."""
        rx = pattern if isinstance(pattern, re.Pattern) else re.compile(re.escape(pattern))
        wait_until(lambda: rx.search(self.stdout) or not self.running(), timeout,
                   "proxy output %r" % rx.pattern, self.describe)
        if not self.running():
            for t in self._readers:            # the last output may still be in the pipe
                t.join(2)
        match = rx.search(self.stdout)
        check(match, "proxy ended before printing %r" % rx.pattern, self.describe())
        return match

    def wait_ready(self, timeout=5.0):
        self.wait_output("Waiting for client...\n", timeout)

    def wait_exit(self, timeout=5.0):
        try:
            rc = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("proxy still running after %.1f s\n%s" % (timeout, self.describe()))
        self.ended_at = time.monotonic()
        for t in self._readers:
            t.join(2)
        return rc

    def signal(self, sig):
        self.proc.send_signal(sig)

    def running(self):
        return self.proc.poll() is None

    def close(self):
        kill_group(self.proc)
        for t in self._readers:
            t.join(2)
        self.proc.stdout.close()
        self.proc.stderr.close()


def run_proxy(*args, timeout=5.0):
    """Runs the proxy to its end, for options that end the program at once: (exit code, stdout,
    stderr)."""
    with Proxy(*args, loopback=False) as p:
        return p.wait_exit(timeout), p.stdout, p.stderr


def ask(port, request=None, timeout=2.0):
    """Sends `request` (a server-info request by default) to 127.0.0.1:port and serves for its answer
    (or, with a request given, for `timeout`); returns the raw control replies from that port."""
    c = nq.GameClient()
    try:
        c.sock.sendto(nq.info_request() if request is None else request, (nq.LOOPBACK, port))
        nq.serve([c], None if request is not None else (lambda: c.control_replies), timeout)
        return [data for data, src in c.control_replies if src == (nq.LOOPBACK, port)]
    finally:
        c.close()


def info(port, p):
    """The one server-info reply of the proxy `p` on `port`, parsed; its length field checked."""
    replies = ask(port)
    check(len(replies) == 1, "expected one server-info reply, got %r" % replies, p.describe())
    reply = nq.parse_info_reply(replies[0])
    check(reply["length_field"] == len(replies[0]), "length field %d, datagram %d bytes" %
          (reply["length_field"], len(replies[0])))
    return reply


def admit(port, name="host"):
    """A GameClient that asked to connect to `port` and got a reject, or an accept and a print."""
    c = nq.GameClient(name)
    c.connect(port)
    nq.serve([c], lambda: c.reject or (c.accept and c.prints), 3)
    return c


# what the host's game client is told to run when the proxy leaves a server
RECONNECT_ORDER = "reconnect\ntoggleconsole\ntoggleconsole\n"


class Session(Closing):
    """A proxy on a free port (loopback) with one host client admitted and greeted; serves the host
    and the scripted servers it was connected to."""

    def __init__(self, *proxy_args, cwd=None):
        self.port = nq.free_port()
        self.proxy = Proxy(*proxy_args, port=self.port, cwd=cwd)
        self.host = nq.GameClient("host")
        self.servers = []
        try:
            self.proxy.wait_ready()
            self.host.connect(self.port)
            self.serve(lambda: self.host.prints, 3, "the greeting")
        except BaseException:
            self.close()
            raise

    def serve(self, until, timeout, what, *context):
        """Serves the host and the servers until `until()`; on time-out fails with the session and
        `context` (callables are called then)."""
        ok = nq.serve([self.host] + self.servers, until, timeout)
        check(ok, "timed out after %.1f s waiting for %s" % (timeout, what), self.describe(),
              *[c() if callable(c) else c for c in context])

    def describe(self):
        h = self.host
        return "%s\n--- host prints: %r\n--- host signons %r, levels %r, parse errors %r, duplicates %d" % (
            self.proxy.describe(), h.prints, h.signons, h.levels, h.parse_errors, h.channel.duplicates)

    def command(self, text, reply, quoted=False, timeout=3):
        """Says a proxy command and waits for a print containing `reply`."""
        before = len(self.host.prints)
        self.host.say(text, quoted)
        self.serve(lambda: any(reply in p for p in self.host.prints[before:]), timeout, repr(reply))
        return self.host.prints[before:]

    def connect(self, server):
        """proxy:connect to a scripted server (served from now on) or a port of a real one."""
        if isinstance(server, nq.Endpoint):
            self.servers.append(server)
        port = server if isinstance(server, int) else server.port
        self.command("proxy:connect %s:%d" % (nq.LOOPBACK, port), "Connection accepted\n", timeout=5)

    def play_on(self, server, seconds=3.0):
        """Connects the host to a real server (a PeerServer) and plays for `seconds`: the checks
        every engine must pass."""
        self.connect(server.port)
        texts = self.host.prints
        check(texts.index("trying...\n") < texts.index("Connection accepted\n"), "prints %r" % texts)
        m = self.proxy.wait_output(expect.SERVER_ESTABLISHED)
        check(m.group(3) == nq.LOOPBACK, "console %r" % m.group(0))
        self.serve(self.host.in_game, 10, "the game")
        check(self.host.signons == [1, 2, 3, 4], "signons %r" % self.host.signons, server.describe())
        received = len(self.host.channel.unreliable_seqs)
        self.serve(None, seconds, "")
        frames = len(self.host.channel.unreliable_seqs) - received
        check(frames >= 10 * seconds, "%d unreliable datagrams in %.0f s" % (frames, seconds),
              self.describe())
        seqs = self.host.channel.unreliable_seqs
        check(all(b == a + 1 for a, b in zip(seqs, seqs[1:])), "unreliable numbering has gaps", seqs)
        self.serve(lambda: "host entered the game" in server.log(), 2, "'entered the game' in the server log")
        check(not self.host.parse_errors and self.host.channel.duplicates == 0, "bad stream", self.describe())

    def banner_url(self):
        return expect.BANNER.match(self.proxy.stdout).group(1)

    def check_waiting(self, since, what):
        """After the server connection ended (`what`): from the host's print `since` on, the proxy's
        banner and the reconnect order came, svc_disconnect did not, the game's frames stopped, and
        the proxy still answers the host."""
        want = expect.greeting(self.banner_url())
        self.serve(lambda: want in self.host.prints[since:] or self.host.disconnected, 3,
                   "the banner after %s" % what)
        check(not self.host.disconnected, "svc_disconnect reached the host after %s: its game client would "
              "leave the proxy" % what, self.describe())
        check(RECONNECT_ORDER in self.host.stufftexts, "no reconnect order after %s: %r" % (
            what, self.host.stufftexts), self.describe())
        mark = len(self.host.events)
        self.serve(None, 1, "")
        check(self.host.frames(mark) == 0, "game frames still reach the host after %s" % what,
              self.describe())
        self.command("proxy:help", "Recognized commands:")
        check("Client connection closed" not in self.proxy.stdout, "the proxy dropped its host",
              self.describe())

    def close(self):
        for ep in [self.host] + self.servers:
            ep.close()
        self.proxy.close()


# ---------------------------------------------------------------------------------------------
# The peer rig: real servers and the real client

def read_text(path):
    """A log file as it is now; empty when it is not there (yet)."""
    try:
        with open(path, encoding="latin-1") as f:
            return f.read()
    except OSError:
        return ""


def installed_peer_dir():
    """Where the rig's install.sh laid out the game files."""
    return os.environ.get("NQPEER_DIR", "/tmp/nqpeer")


class PeerServer:
    """A real game server of the peer rig on its own free loopback port, in a game folder of its own
    (links to the installed game files), so tests can run side by side. kind "darkplaces" (one port
    for all clients, game protocol 15) or "quakespasm" (a new port per client; protocol 15, 666 or
    999). Use as a context manager; the server log is kept for failure messages."""

    def __init__(self, level=None, cvars=(), kind="darkplaces", protocol=15):
        self.kind, self.protocol = kind, protocol
        self.level = level or ("am_underworks" if kind == "darkplaces" else "box1")
        self.cvars = [str(c) for c in cvars]
        self.peers = ARGS.peers
        self.port = None
        self.dir = None

    def _require(self):
        require(self.peers and os.path.isfile(os.path.join(self.peers, "start-server.sh")),
                "peer rig not found (--peers %s)" % self.peers)
        require_tool("quakestat")
        src = installed_peer_dir()
        if self.kind == "darkplaces":
            require(os.path.exists("/usr/games/darkplaces-server"), "darkplaces-server not installed")
            require(os.path.isfile(os.path.join(src, "id1", "progs.dat")),
                    "peer rig not installed in %s (run install.sh)" % src)
        else:
            require(os.path.exists("/usr/games/quakespasm"), "quakespasm not installed")
            require(os.path.isfile(os.path.join(src, "qs", "nqpeer.pak")),
                    "QuakeSpasm rig not installed in %s (run install-qs.sh)" % src)
        return src

    def _lay_out(self, src):
        self.dir = tempfile.mkdtemp(prefix="skopos-e2e-peer-")
        os.mkdir(os.path.join(self.dir, "id1"))
        for name in os.listdir(os.path.join(src, "id1")):
            if name.endswith((".dat", ".pk3", ".pak")):
                os.symlink(os.path.realpath(os.path.join(src, "id1", name)),
                           os.path.join(self.dir, "id1", name))
        if os.path.isdir(os.path.join(src, "qs")):
            os.symlink(os.path.realpath(os.path.join(src, "qs")), os.path.join(self.dir, "qs"))

    def env(self):
        return dict(os.environ, NQPEER_DIR=self.dir)

    def __enter__(self):
        src = self._require()
        self._lay_out(src)
        for _ in range(3):                     # a port taken between probe and bind: try another
            self.port = nq.free_port()
            if self.kind == "darkplaces":
                cmd = ["bash", os.path.join(self.peers, "start-server.sh"), str(self.port),
                       self.level] + self.cvars
            else:
                cmd = ["bash", os.path.join(self.peers, "start-qs-server.sh"), str(self.port), self.level,
                       str(self.protocol)] + self.cvars
            p = subprocess.run(cmd, env=self.env(), capture_output=True, text=True, timeout=30)
            if p.returncode == 0:
                return self
        self._cleanup()
        raise AssertionError("peer server did not start: %s\n%s%s" % (" ".join(cmd), p.stdout, p.stderr))

    def log(self):
        name = ("server-%d.log" if self.kind == "darkplaces" else "qs-server-%d.log") % self.port
        return read_text(os.path.join(self.dir, name))

    def describe(self):
        return "--- %s server log (port %s):\n%s" % (self.kind, self.port, self.log()[-4000:])

    def console(self, *command):
        """A server console command (rcon for DarkPlaces, the console fifo for QuakeSpasm)."""
        if self.kind == "darkplaces":
            cmd = [sys.executable, os.path.join(self.peers, "rcon.py"), "--port", str(self.port)]
        else:
            cmd = ["bash", os.path.join(self.peers, "qs-console.sh"), str(self.port)]
        p = subprocess.run(cmd + list(command), env=self.env(), capture_output=True, text=True, timeout=10)
        return p.stdout

    def __exit__(self, *exc):
        stop = "stop-server.sh" if self.kind == "darkplaces" else "stop-qs-server.sh"
        subprocess.run(["bash", os.path.join(self.peers, stop), str(self.port)], env=self.env(),
                       capture_output=True, timeout=30)
        self._cleanup()

    def _cleanup(self):
        if self.dir:
            shutil.rmtree(self.dir, ignore_errors=True)


def require_client():
    require(os.path.exists("/usr/games/darkplaces") and shutil.which("xvfb-run"),
            "darkplaces client or xvfb not installed")


class RealClient(Closing):
    """The DarkPlaces game client (real-client.sh) running beside the test: the test keeps serving its
    scripted endpoints while this client plays, reads its console log as it grows, and stops it when
    done. `seconds` bounds its run; `game_dir` is a PeerServer's folder, or the installed one."""

    def __init__(self, port, name, *client_args, seconds=40, game_dir=None):
        require_client()
        self.name = name
        self.env = dict(os.environ, NQPEER_DIR=game_dir or installed_peer_dir())
        self.path = os.path.join(self.env["NQPEER_DIR"], "client-%s.log" % name)
        script = os.path.join(ARGS.peers, "real-client.sh")
        self.proc = subprocess.Popen(["bash", script, str(port), str(seconds), name] +
                                     [str(a) for a in client_args], env=self.env,
                                     stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                     stderr=subprocess.DEVNULL, start_new_session=True)

    def log(self):
        return read_text(self.path)

    def describe(self, tail=3000):
        """The end of its console log, without the renderer's chatter."""
        noise = ("GL_", "Shader ", "shader", "lightmap", "Compiling", "GLSL")
        shown = "\n".join(line for line in self.log().splitlines() if not any(n in line for n in noise))
        return "--- client %s log:\n%s" % (self.name, shown[-tail:])

    def _session(self):
        """(pid, process group, program) of every live process in the client's session."""
        found = []
        for entry in os.listdir("/proc"):
            if not entry.isdigit():
                continue
            try:
                with open("/proc/%s/stat" % entry) as f:
                    fields = f.read().rsplit(")", 1)[1].split()     # state, ppid, pgrp, session, ...
                with open("/proc/%s/cmdline" % entry, "rb") as f:
                    argv = f.read().split(b"\0")
            except OSError:
                continue
            if int(fields[3]) == self.proc.pid and fields[0] != "Z":
                found.append((int(entry), int(fields[2]), argv[0].decode("latin-1")))
        return found

    def close(self):
        """Ends the game client so that the script's xvfb-run cleans up after it, then kills what is
        left: `timeout` in real-client.sh puts the client and Xvfb in a process group of their own,
        which killing the script's group would miss."""
        for pid, _, program in self._session():
            if program == "/usr/games/darkplaces":
                try:
                    os.kill(pid, signal.SIGTERM)
                except ProcessLookupError:
                    pass
        end = time.monotonic() + 5
        while self.proc.poll() is None or self._session():     # Xvfb removes its lock file as it ends
            if time.monotonic() > end:
                break
            time.sleep(0.05)
        for group in {g for _, g, _ in self._session()} - {self.proc.pid}:
            try:
                os.killpg(group, signal.SIGKILL)
            except (ProcessLookupError, PermissionError):
                pass
        kill_group(self.proc)


def walk_demo(path):
    """A demo file as [(block, its messages)], each block's messages parsed with the protocol the
    file's last serverinfo announced. Fails on a file that does not walk to its end, or lacks the
    opening and closing credits, or holds the reconnect order."""
    track, blocks = nq.read_demo(path)
    check(track == b"-1\n", "%s: cd-track line %r" % (path, track))
    proto, out = nq.Protocol(), []
    for i, (_, message) in enumerate(blocks):
        try:
            out.append((message, nq.parse_server_messages(message, proto)))
        except nq.ParseError as e:
            raise AssertionError("%s: block %d does not parse at protocol %d: %s: %r" % (
                path, i, proto.version, e, message[:64]))
    check(blocks[-1][1] == b"\x02", "%s does not end with the closing block: %r" % (path, blocks[-1]))
    credit = expect.DEMO_CREDIT
    check(out[0][0][:2] == b"\x08\x02" and credit in out[0][0] and credit in out[-2][0],
          "%s: credits missing" % path, out[0][0][:120], out[-2][0][:120])
    check(not any(m.startswith(b"\x09reconnect\n\0") for m, _ in out), "%s: holds the reconnect" % path)
    return out


def play_demo(game_dir, name, seconds=6):
    """Plays `game_dir`/id1/NAME.dem in the DarkPlaces game client (headless, +developer 1, so the
    log shows "CL_SignonReply: N"); returns its console log."""
    require_client()
    p = subprocess.run(["timeout", str(seconds + 30), "xvfb-run", "-a", "-s", "-screen 0 320x240x24",
                        "/usr/games/darkplaces", "-basedir", game_dir, "-nohome", "-nosound", "-nocdaudio",
                        "+vid_fullscreen", "0", "+vid_width", "320", "+vid_height", "240", "+cl_maxfps", "30",
                        "+developer", "1", "+playdemo", name, "+defer", str(seconds), "quit"],
                       cwd=game_dir, capture_output=True, text=True, errors="replace", timeout=seconds + 60)
    return p.stdout + p.stderr


# ---------------------------------------------------------------------------------------------
# Runner

def main():
    global ARGS
    ap = argparse.ArgumentParser()
    ap.add_argument("--proxy", required=True)
    ap.add_argument("--peers", default="")
    ap.add_argument("cases", nargs="*", help="run only these cases")
    ARGS = ap.parse_args()
    if not os.access(ARGS.proxy, os.X_OK):
        print("proxy binary not found: %s" % ARGS.proxy)
        sys.exit(1)
    passed = failed = skipped = 0
    for fn in _CASES:
        if ARGS.cases and fn.__name__ not in ARGS.cases:
            continue
        start = time.monotonic()
        try:
            fn()
        except Skip as e:
            skipped += 1
            print("SKIP %s: %s" % (fn.__name__, e), flush=True)
            continue
        except Exception as e:  # a failed check, or a fault of the test itself
            failed += 1
            detail = str(e) if isinstance(e, AssertionError) else traceback.format_exc()
            print("FAIL %s (%.1f s): %s" % (fn.__name__, time.monotonic() - start, detail), flush=True)
            continue
        passed += 1
        print("PASS %s (%.1f s)" % (fn.__name__, time.monotonic() - start), flush=True)
    print("%d passed, %d failed, %d skipped" % (passed, failed, skipped))
    if failed:
        sys.exit(1)
    sys.exit(77 if skipped and not passed else 0)

