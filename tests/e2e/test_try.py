#!/usr/bin/env python3
"""scripts/try.sh without a display: a client that does what it prints plays on the rig's server through the proxy;
Ctrl-C ends the proxy and the server."""
from peer import *

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


def free_pair():       # the proxy's port and the server's, the next one up
    for _ in range(20):
        port = free_port()
        try:
            with socket.socket(socket.AF_INET, socket.SOCK_DGRAM) as s:
                s.bind((LOOPBACK, port + 1))
            return port
        except OSError:
            pass


@case
def a_client_follows_the_printed_steps_into_the_game():
    port, c = free_pair(), GameClient("tryer")
    env = dict(os.environ, SKOPOS_TRY_PORT=str(port), SKOPOS_BUILD_DIR=os.path.dirname(ARGS.proxy))
    env.pop("DISPLAY", None)
    with tempfile.TemporaryFile() as out:
        proc = subprocess.Popen(["bash", os.path.join(ROOT, "scripts/try.sh"), "quakespasm"], env=env, stdout=out,
                                stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, start_new_session=True)
        text = lambda: (out.seek(0), out.read().decode("latin-1"))[1]
        try:
            wait_until(lambda: "Ctrl-C ends" in text(), 90, "the instructions", text)
            steps = re.findall(r"^ +(connect|say) (.+)$", text(), re.M)
            check([s[0] for s in steps] == ["connect", "say"], "steps", text)
            c.connect(int(steps[0][1].split(":")[1]))
            wait_until(lambda: c.prints, 5, "the greeting", text, endpoints=[c])
            c.commands("say " + steps[1][1])
            wait_until(c.in_game, 10, "the game through the proxy", text, endpoints=[c])
        finally:
            c.close()
            os.killpg(proc.pid, signal.SIGINT)
            proc.wait(20)
        check(not ask(port) and not ask(port + 1), "the proxy or the server still answers", text)


if __name__ == "__main__":
    main()
