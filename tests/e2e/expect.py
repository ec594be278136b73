"""The proxy's own fixed texts, as the end-to-end tests expect them on the console and in the game."""
import re

VERSION = "Skopos-Proxy v1.04"

# a newline, the version and homepage line, a terms-of-use line, an empty line
BANNER = re.compile(r"\n" + re.escape(VERSION) + r" - Visit Skopos homepage at (\S+)\n[^\n]+\n\n")
HINT = "Start with -h for help.\n\n"
WAITING = "Waiting for client...\n"
BREAK = "\nReceived break - terminating...\n"
DEMO_CREDIT = b"This demo file was recorded with\n" + VERSION.encode() + b" \x85 Visit Skopos homepage\n"

USAGE = (
    "USAGE: skoposproxy [-p port] [-n name] [-d demoname] [-o observers] [-c c2sbps] [-s s2cbps] "
    "[-l localif] [-r remoteif] [-D delay]\n\n"
    "port       = udp port of the proxy (default: 26000)\n"
    "name       = name of the proxy (for use with say name: command)\n"
    "demoname   = filename to which xx.dem is appended for each demo (xx=01,02...)\n"
    "observers  = maximum number of observers (default: 0)\n"
    "c2sbps     = maximum client-to-server bytes per second (default: no limit)\n"
    "s2cbps     = maximum server-to-client bytes per second (default: no limit)\n"
    "localif    = interface of the quake client (default: any interface)\n"
    "remoteif   = interface of the quake server (default: any interface)\n"
    "delay      = seconds observers see the game late (default: 0, at most 300)\n"
    "Demo recording is initially off unless -d demoname is specified.\n"
    "Most options can be changed online from the quake client.\n")

# the game font's frame characters
BAR = "\x9d" + "\x9e" * 35 + "\x9f"


def greeting(url, prefix="proxy:"):
    """The print a newly admitted host client receives."""
    return (BAR + "\n" + VERSION + " \x85 Visit Skopos homepage\n" + url + "\n" +
            "say %s help for list of commands\n" % prefix + BAR + "\n")


def bind_error(address, port):
    return "ERROR: Unable to bind to %s:%d\n" % (address, port)


def client_connected(client, proxy_socket):
    """Console line of a host admission: both ends as (address, port)."""
    return "Client connected.\n%s:%d<->%s:%d\n" % (client + proxy_socket)


def max_observers(limit):
    return "\x02Skopos-Proxy:Max observers (%d) reached." % limit


def help_summary(prefix="proxy:"):
    return ("say %s command [parameters]\nRecognized commands:\n\nhelp [command]       disconnect\n"
            "c2sbps [rate]        s2cbps [rate]\nrecord [name|stop]   observers [max]\n"
            "transparent          wakeup [n]\nmmode [local|global] kick name\n"
            "voffset [observer] [x] [y] [z]\nconnect server [port]\ndelay [seconds]\n" % prefix)


SERVER_ESTABLISHED = re.compile(r"Server connection established\.\n([\d.]+):(\d+)<->([\d.]+):(\d+)\n")

# the unreliable clc_disconnect the proxy sends when it leaves a server on its own
LEAVE_DATAGRAM = bytes.fromhex("00100009 7fffffff 02")
