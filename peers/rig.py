#!/usr/bin/env python3
"""The peer rig: real NetQuake servers (DarkPlaces, QuakeSpasm) and the real DarkPlaces client on
loopback, running the rig's own game (game/) and, for QuakeSpasm, its own levels (mklevel.py).

  rig.py layout                         build the game, levels and preload into the rig's folder
  rig.py start KIND PORT [LEVEL] [--protocol 15|666|999] [--cycle S] [--next LEVEL] [--noise S]
               [--bulk N] [--set CVAR VALUE]...     start a server (KIND darkplaces or quakespasm)
  rig.py stop PORT                      stop it
  rig.py console PORT COMMAND...        run a server console command, print what the server says
  rig.py client [PORT] [--seconds S] [--name NAME] [--window] [DARKPLACES ARGS...]
                                        the real client (headless under Xvfb unless --window)

The rig's folder is $SKOPOS_RIG_HOME (default /tmp/skopos-peers); a server started here lives in
servers/PORT inside it (its log, console and game folder). Packages: peers/install.sh.
"""
import argparse, fcntl, hashlib, os, shutil, signal, subprocess, sys, tempfile, time

HERE = os.path.dirname(os.path.abspath(__file__))
HOME = os.environ.get("SKOPOS_RIG_HOME", "/tmp/skopos-peers")
LOOPBACK = "127.0.0.1"
MAP_PACK = "/usr/share/games/openarena/baseoa/pak6-patch085.pk3"
DEFAULT_LEVEL = {"darkplaces": "am_underworks", "quakespasm": "room1"}
SERVER_PROGRAM = {"darkplaces": "/usr/games/darkplaces-server", "quakespasm": "/usr/games/quakespasm"}
CLIENT_PROGRAM = "/usr/games/darkplaces"
SOURCES = ["game/engine.qc", "game/game.qc", "game/progs.src", "mklevel.py", "loopback.c"]


class RigError(Exception):
    pass


def missing(*programs):
    """The programs of the list that are not installed (each also names its Debian package)."""
    return [p for p in programs if not shutil.which(p)]


def run(command, cwd=None):
    p = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if p.returncode:
        raise RigError("%s failed:\n%s%s" % (" ".join(command), p.stdout[-3000:], p.stderr[-3000:]))


def read(path, mode="r"):
    with open(path, mode) as f:
        return f.read()


BUILT = ("progs.dat", "skopos-rig.pak", "loopback.so")


def layout(home=HOME):
    """Builds progs.dat, the data archive and the bind preload into `home`, unless they are there and
    their sources unchanged since. Safe from several processes at once: each file is replaced whole,
    so a running server never reads half of one."""
    os.makedirs(home, exist_ok=True)
    digest = hashlib.sha256(b"".join(read(os.path.join(HERE, s), "rb") for s in SOURCES)).hexdigest()
    stamp = os.path.join(home, "built-from")
    with open(os.path.join(home, ".lock"), "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        built = all(os.path.exists(os.path.join(home, f)) for f in BUILT)
        if built and os.path.exists(stamp) and read(stamp) == digest:
            return home
        absent = missing("fteqcc", "gcc")
        if absent:
            raise RigError("not installed: %s (peers/install.sh installs them)" % ", ".join(absent))
        with tempfile.TemporaryDirectory(dir=home) as build:
            shutil.copytree(os.path.join(HERE, "game"), os.path.join(build, "game"))
            run(["fteqcc", "-srcfile", "progs.src"], cwd=os.path.join(build, "game"))    # writes ../progs.dat
            run([sys.executable, os.path.join(HERE, "mklevel.py"), os.path.join(build, "skopos-rig.pak")])
            run(["gcc", "-shared", "-fPIC", "-O2", "-o", os.path.join(build, "loopback.so"),
                 os.path.join(HERE, "loopback.c"), "-ldl"])
            for name in BUILT:
                os.replace(os.path.join(build, name), os.path.join(home, name))
        with open(stamp, "w") as f:
            f.write(digest)
    return home


def link(target, name):
    if os.path.lexists(name):
        os.unlink(name)
    os.symlink(target, name)


def game_folder(folder, kind="darkplaces", home=HOME):
    """Lays out a game folder for an engine: the rig's progs.dat and archive, and for DarkPlaces
    the OpenArena map pack. QuakeSpasm without id's data refuses any other pakN.pak and reads files
    in subfolders only from archives, but takes quakespasm.pak (its own) from the base folder."""
    os.makedirs(os.path.join(folder, "id1"), exist_ok=True)
    link(os.path.join(home, "progs.dat"), os.path.join(folder, "id1", "progs.dat"))
    if kind == "quakespasm":
        link(os.path.join(home, "skopos-rig.pak"), os.path.join(folder, "quakespasm.pak"))
    else:
        link(os.path.join(home, "skopos-rig.pak"), os.path.join(folder, "id1", "skopos-rig.pak"))
        link(MAP_PACK, os.path.join(folder, "id1", os.path.basename(MAP_PACK)))
    return folder


def alive(pid):
    try:
        os.kill(pid, 0)
        return True
    except OSError:
        return False


def reap(pid):
    """Collects a child of ours that has ended, so that alive() sees it gone."""
    try:
        os.waitpid(pid, os.WNOHANG)
    except ChildProcessError:
        pass


def end(pid, first=signal.SIGTERM, grace=2.0):
    """Ends a process group: `first`, then SIGKILL after `grace` seconds."""
    for sig in first, signal.SIGKILL:
        try:
            os.killpg(pid, sig)
        except OSError:
            return
        deadline = time.monotonic() + grace
        while alive(pid) and time.monotonic() < deadline:
            time.sleep(0.05)
            reap(pid)


class Server:
    """A real server of the rig in a folder of its own: server.log, server.pid, and console, a fifo
    that is the server's standard input (neither engine needs rcon for it then). Settings go to
    id1/rig.cfg: the game's (scratch1 to 4 and the alias rig_next: game/game.qc) and the
    engine's: 20 frames a second as id's servers run, a silent client dropped after 30 s."""

    def __init__(self, kind, port, level=None, protocol=15, cycle=0, next_level=None, noise=0, bulk=0,
                 settings=(), folder=None, home=HOME):
        if kind not in SERVER_PROGRAM:
            raise RigError("no such server: %s (darkplaces or quakespasm)" % kind)
        if protocol not in (15, 666, 999) or kind == "darkplaces" and protocol != 15:
            raise RigError("%s does not speak protocol %s here" % (kind, protocol))
        self.kind, self.port, self.protocol, self.home = kind, int(port), protocol, home
        self.level = level or DEFAULT_LEVEL[kind]
        self.folder = folder or os.path.join(home, "servers", str(port))
        wide = int(kind == "quakespasm")      # values above 255 (game.qc)
        self.settings = [("scratch1", cycle), ("scratch2", noise), ("scratch3", bulk), ("scratch4", wide)]
        self.settings += list(settings)
        self.next_level = next_level or self.level
        self.pid = None

    def path(self, name):
        return os.path.join(self.folder, name)

    def write_settings(self):
        lines = ["hostname skopos-rig", "sys_ticrate 0.05", "net_messagetimeout 30"]
        lines += ['%s "%s"' % (name, value) for name, value in self.settings]
        lines += ['alias rig_next "changelevel %s"' % self.next_level, "map " + self.level]
        with open(self.path("id1/rig.cfg"), "w") as f:
            f.write("\n".join(lines) + "\n")
        if self.kind == "quakespasm":     # it runs no "+" command without id's data, but its autoexec.cfg
            with open(self.path("id1/autoexec.cfg"), "w") as f:
                f.write("exec rig.cfg\n")

    def command(self):
        if self.kind == "quakespasm":     # stdbuf: its log current while it runs
            return ["stdbuf", "-oL", "-eL", SERVER_PROGRAM[self.kind], "-dedicated", "8", "-basedir",
                    self.folder, "-port", str(self.port), "-protocol", str(self.protocol)]
        # every peer shares 127.0.0.1, so no flood blocking by address
        return [SERVER_PROGRAM[self.kind], "-basedir", self.folder, "-nohome", "+sv_protocolname", "QUAKE",
                "+net_address", LOOPBACK, "+net_address_ipv6", "::1", "+port", str(self.port),
                "+maxplayers", "8", "+net_connectfloodblockingtimeout", "0",
                "+net_challengefloodblockingtimeout", "0", "+net_getstatusfloodblockingtimeout", "0",
                "+exec", "rig.cfg"]

    def start(self, timeout=10.0):
        """Starts the server and returns once it answers a server-information query with its level."""
        absent = missing(SERVER_PROGRAM[self.kind], "quakestat", "stdbuf")
        if absent:
            raise RigError("not installed: %s (peers/install.sh installs them)" % ", ".join(absent))
        layout(self.home)
        game_folder(self.folder, self.kind, self.home)
        if os.path.exists(self.path("server.pid")) and alive(int(read(self.path("server.pid")))):
            raise RigError("a server already runs in %s" % self.folder)
        self.write_settings()
        if os.path.lexists(self.path("console")):
            os.unlink(self.path("console"))
        os.mkfifo(self.path("console"))
        console = os.open(self.path("console"), os.O_RDWR)    # read-write: never an end of file
        env = dict(os.environ, LD_PRELOAD=os.path.join(self.home, "loopback.so")) if self.kind == "quakespasm" else None
        with open(self.path("server.log"), "wb") as log:
            self.pid = subprocess.Popen(self.command(), cwd=self.folder, stdin=console, stdout=log,
                                        stderr=subprocess.STDOUT, env=env, start_new_session=True).pid
        os.close(console)
        with open(self.path("server.pid"), "w") as f:
            f.write(str(self.pid))
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline and alive(self.pid):
            if self.answers():
                return self
            time.sleep(0.2)
        self.stop()
        raise RigError("the %s server on port %d did not start; its log:\n%s" % (self.kind, self.port,
                                                                                   self.log()[-3000:]))

    def answers(self):
        query = subprocess.run(["quakestat", "-raw", ",", "-qs", "%s:%d" % (LOOPBACK, self.port)],
                               capture_output=True, text=True)
        return ",%s," % self.level in query.stdout

    def log(self):
        try:
            with open(self.path("server.log"), encoding="latin-1") as f:
                return f.read()
        except OSError:
            return ""

    def console(self, *words, wait=0.5):
        """Runs a console command; returns what the server logged in the next `wait` seconds."""
        before = len(self.log())
        try:
            fd = os.open(self.path("console"), os.O_WRONLY | os.O_NONBLOCK)
        except OSError as e:
            raise RigError("no server listens to %s: %s" % (self.path("console"), e))
        with os.fdopen(fd, "w") as f:
            f.write(" ".join(words) + "\n")
        time.sleep(wait)
        return self.log()[before:]

    def stop(self):
        """Asks the server to quit (it tells its clients), then ends it."""
        try:
            self.console("quit", wait=0)
        except RigError:
            pass
        self.kill(grace=3.0)

    def kill(self, grace=0.0):
        """Ends the server, after `grace` seconds at most for it to end by itself; at once it tells nobody."""
        if self.pid is None and os.path.exists(self.path("server.pid")):
            self.pid = int(read(self.path("server.pid")))
        if self.pid is None:
            return
        deadline = time.monotonic() + grace
        while alive(self.pid) and time.monotonic() < deadline:
            time.sleep(0.1)
            reap(self.pid)
        end(self.pid, signal.SIGKILL if grace == 0 else signal.SIGTERM)
        self.pid = None
        for name in "server.pid", "console":
            if os.path.lexists(self.path(name)):
                os.unlink(self.path(name))

    __enter__ = start

    def __exit__(self, *exc):
        self.stop()


class RealClient:
    """The DarkPlaces game client in a game folder (its demos in id1/, its log client-NAME.log), in a
    process group of its own. Headless it runs under Xvfb at 320x240 and 30 frames a second (Mesa
    renders on the CPU) and quits after `seconds`; with `window` it opens on $DISPLAY and stays.
    `+developer 1` makes it log CL_SignonReply 1 to 4: 4 is in the game."""

    def __init__(self, folder, port=None, name="rigclient", args=(), seconds=40, window=False, home=HOME):
        absent = missing(CLIENT_PROGRAM) + ([] if window else missing("xvfb-run"))
        if absent:
            raise RigError("not installed: %s (peers/install.sh installs them)" % ", ".join(absent))
        layout(home)
        game_folder(folder, "darkplaces", home)
        self.path = os.path.join(folder, "client-%s.log" % name)
        size = ["+vid_width", "640", "+vid_height", "480"] if window else \
            ["-nosound", "+vid_width", "320", "+vid_height", "240", "+cl_maxfps", "30"]
        command = [CLIENT_PROGRAM, "-basedir", folder, "-nohome", "-nocdaudio", "+net_address", LOOPBACK,
                   "+net_address_ipv6", "::1", "+vid_fullscreen", "0"] + size + \
            ["+developer", "1", "+_cl_name", name] + [str(a) for a in args]
        command += ["+connect", "%s:%d" % (LOOPBACK, port)] if port else []
        if not window:
            command = ["timeout", str(seconds + 15), "xvfb-run", "-a", "-s", "-screen 0 320x240x24"] + command + \
                ["+defer", str(seconds), "quit"]
        with open(self.path, "wb") as log:
            self.proc = subprocess.Popen(command, cwd=folder, stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT, start_new_session=True)

    def log(self):
        with open(self.path, encoding="latin-1") as f:
            return f.read()

    def in_game(self):
        return "CL_SignonReply: 4" in self.log()

    def close(self):
        end(self.proc.pid)      # SIGTERM first: xvfb-run then ends its Xvfb and removes its lock
        self.proc.wait()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    sub = ap.add_subparsers(dest="verb", required=True)
    sub.add_parser("layout")
    start = sub.add_parser("start")
    start.add_argument("kind", choices=sorted(SERVER_PROGRAM))
    start.add_argument("port", type=int)
    start.add_argument("level", nargs="?")
    start.add_argument("--protocol", type=int, default=15)
    start.add_argument("--cycle", type=float, default=0, help="end each level after S seconds")
    start.add_argument("--next", help="the level after this one (default: this one again)")
    start.add_argument("--noise", type=float, default=0, help="the next kind of message every S seconds")
    start.add_argument("--bulk", type=int, default=0, help="512-byte prints per bulk message (default 2)")
    start.add_argument("--set", nargs=2, action="append", default=[], metavar=("CVAR", "VALUE"))
    for verb in "stop", "console":
        sub.add_parser(verb).add_argument("port", type=int)
    sub.choices["console"].add_argument("words", nargs="+")
    client = sub.add_parser("client")
    client.add_argument("port", type=int, nargs="?")
    client.add_argument("--seconds", type=int, default=30)
    client.add_argument("--name", default="rigclient")
    client.add_argument("--window", action="store_true", help="on $DISPLAY, until it is closed")
    args, extra = ap.parse_known_args()
    try:
        if args.verb == "layout":
            print("rig laid out in %s" % layout())
        elif args.verb == "start":
            s = Server(args.kind, args.port, args.level, args.protocol, args.cycle, args.next, args.noise,
                       args.bulk, args.set).start()
            print("%s server on %s:%d, level %s, protocol %d, folder %s (pid %d)" % (
                s.kind, LOOPBACK, s.port, s.level, s.protocol, s.folder, s.pid))
        elif args.verb in ("stop", "console"):
            folder = os.path.join(HOME, "servers", str(args.port))
            if not os.path.exists(os.path.join(folder, "server.pid")):
                raise RigError("no server of the rig on port %d" % args.port)
            s = Server("darkplaces", args.port, folder=folder)    # stopping and the console work alike for both
            if args.verb == "console":
                print(s.console(*args.words, wait=1.0), end="")
            else:
                s.stop()
                print("stopped the server on port %d" % args.port)
        else:
            c = RealClient(os.path.join(HOME, "client"), args.port, args.name, extra, args.seconds, args.window)
            try:
                c.proc.wait()
            except KeyboardInterrupt:
                c.close()
            print("client log: %s (%s)" % (c.path, "in the game" if c.in_game() else "never in the game"))
    except RigError as e:
        print("rig: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
