// The command line: banner, hint, usage text, and the options that fill the Settings.
#include "core/settings.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "core/print.h"

Settings settings;

void resetSettings() { settings = Settings(); }

static const char UsageText[] =
    "USAGE: skoposproxy [-p port] [-n name] [-d demoname] [-o observers] [-c c2sbps] [-s s2cbps] [-l localif] "
    "[-r remoteif] [-D delay] [-H hosts] [-P password] [-a peraddress]\n\n"
    "port       = udp port of the proxy (default: 26000)\n"
    "name       = name of the proxy (for use with say name: command)\n"
    "demoname   = filename to which xx.dem is appended for each demo (xx=01,02...)\n"
    "observers  = maximum number of observers (default: 0)\n"
    "c2sbps     = maximum client-to-server bytes per second (default: no limit)\n"
    "s2cbps     = maximum server-to-client bytes per second (default: no limit)\n"
    "localif    = interface of the quake client (default: any interface)\n"
    "remoteif   = interface of the quake server (default: any interface)\n"
    "delay      = seconds observers see the game late (default: 0, at most 300)\n"
    "hosts      = addresses the host may connect from, a.b.c.d[/bits],... (default: any)\n"
    "password   = password of the host's commands, said as login (or SKOPOS_PASSWORD)\n"
    "peraddress = maximum observers from one address (default: 4, 0 for no limit)\n"
    "Demo recording is initially off unless -d demoname is specified.\n"
    "Most options can be changed online from the quake client.\n"
    "-V (or --version) alone prints the version.\n";

// The number as typed, saturated just past the int range: text is not trusted.
static long long readWide(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t' || *p == '\n' || *p == '\r' || *p == '\v' || *p == '\f') ++p;
    bool negative = false;
    if (*p == '+' || *p == '-') negative = *p++ == '-';
    long long value = 0;
    for (; *p >= '0' && *p <= '9'; ++p) {
        value = value * 10 + (*p - '0');
        if (value > INT_MAX + 1LL) value = INT_MAX + 2LL;
    }
    return negative ? -value : value;
}

int readNumber(const char* text) {
    long long value = readWide(text);
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    return int(value);
}

bool fitsInt(const char* text) {
    long long value = readWide(text);
    return value >= INT_MIN && value <= INT_MAX;
}

int readDelaySeconds(const char* text) {
    size_t digits = strspn(text, "0123456789");
    if (digits == 0 || digits > 3 || text[digits] != 0) return -1;
    int seconds = readNumber(text);
    return seconds <= MaxDelaySeconds ? seconds : -1;
}

static bool isValueOption(char letter) { return letter != 0 && strchr("cdlnoprsDHPa", letter) != nullptr; }

// One "a.b.c.d[/bits]" of `length` characters.
static bool readAddressRange(const char* text, size_t length, AddressRange& range) {
    char part[24];
    if (length == 0 || length >= sizeof part) return false;
    memcpy(part, text, length);
    part[length] = 0;
    int bits = 32;
    if (char* slash = strchr(part, '/')) {
        *slash = 0;
        size_t digits = strspn(slash + 1, "0123456789");
        if (digits == 0 || digits > 2 || slash[1 + digits] != 0) return false;
        bits = atoi(slash + 1);
        if (bits > 32) return false;
    }
    uint32_t ip = 0;
    int octets = 0;
    for (const char* p = part; octets < 4; ++octets) {
        size_t digits = strspn(p, "0123456789");
        if (digits == 0 || digits > 3 || atoi(p) > 255) return false;
        ip = ip << 8 | uint32_t(atoi(p));
        p += digits;
        if (octets < 3 && *p++ != '.') return false;
        if (octets == 3 && *p != 0) return false;
    }
    range.mask = bits == 0 ? 0 : 0xFFFFFFFFu << (32 - bits);
    range.ip = ip & range.mask;
    return true;
}

bool readHostAddresses(const char* text) {
    int count = 0;
    for (const char* p = text;; ++p) {
        size_t length = strcspn(p, ",");
        if (count == MaxHostAddresses || !readAddressRange(p, length, settings.hostAddresses[count])) return false;
        ++count;
        p += length;
        if (*p == 0) break;
    }
    settings.hostAddressCount = count;
    return true;
}

bool hostAddressAllowed(uint32_t ip) {
    for (int i = 0; i < settings.hostAddressCount; ++i)
        if ((ip & settings.hostAddresses[i].mask) == settings.hostAddresses[i].ip) return true;
    return settings.hostAddressCount == 0;
}

static bool setPassword(const char* text, const char* from) {
    if (strlen(text) >= size_t(PasswordStoreSize)) {
        consolePrintf("ERROR: %s: the password is longer than %d characters.\n", from, PasswordStoreSize - 1);
        return false;
    }
    formatText(settings.password, sizeof settings.password, "%s", text);
    return true;
}

// One option and its value; false (after an "ERROR: " line) when the value cannot be used.
static bool applyOption(char letter, const char* value) {
    switch (letter) {
    case 'p': {
        // Digits alone: text that reads as 0 would put the proxy on a port nobody is told.
        size_t digits = strspn(value, "0123456789");
        int port = digits > 0 && digits <= 5 && value[digits] == 0 ? readNumber(value) : -1;
        if (port < 0 || port > 65535) {
            consolePrintf("ERROR: -p %s is not a port (0 to 65535).\n", value);
            return false;
        }
        settings.port = port;
        return true;
    }
    case 'n':
        if (strlen(value) > size_t(TextStoreSize - 2)) {
            consolePrintf("ERROR: -n name is longer than %d characters.\n", TextStoreSize - 2);
            return false;
        }
        settings.name = value;
        settings.namePrefixLength = formatText(settings.namePrefix, sizeof settings.namePrefix, "%s:", value);
        return true;
    case 'd':
        if (strlen(value) > size_t(MaxDemoBaseName)) {
            consolePrintf("ERROR: -d demoname is longer than %d characters.\n", MaxDemoBaseName);
            return false;
        }
        formatText(settings.demoname, sizeof settings.demoname, "%s", value);
        settings.demoNumber = 1;
        return true;
    case 'o': {
        int observers = readNumber(value);
        if (observers < 0) {
            consolePrintf("ERROR: -o %s: the number of observers cannot be negative.\n", value);
            return false;
        }
        settings.observers = observers > MaxObservers ? MaxObservers : observers;
        return true;
    }
    case 'D': {
        int seconds = readDelaySeconds(value);
        if (seconds < 0) {
            consolePrintf("ERROR: -D %s: the delay is 0 to %d seconds.\n", value, MaxDelaySeconds);
            return false;
        }
        settings.delaySeconds = seconds;
        return true;
    }
    case 'H':
        if (!readHostAddresses(value)) {
            consolePrintf("ERROR: -H %s: host addresses are a.b.c.d[/bits],... (at most %d).\n", value,
                          MaxHostAddresses);
            return false;
        }
        return true;
    case 'P':
        if (value[0] == 0) {
            consolePrintf("ERROR: -P: the password is empty.\n");
            return false;
        }
        return setPassword(value, "-P");
    case 'a': {
        size_t digits = strspn(value, "0123456789");
        if (digits == 0 || digits > 2 || value[digits] != 0) {
            consolePrintf("ERROR: -a %s: observers per address are 0 to %d.\n", value, MaxObservers);
            return false;
        }
        settings.observersPerAddress = readNumber(value);
        return true;
    }
    case 'c': settings.c2sbps = readNumber(value); return true;
    case 's': settings.s2cbps = readNumber(value); return true;
    case 'l': settings.localif = value; return true;
    case 'r': settings.remoteif = value; return true;
    }
    return true;
}

CommandLineResult readCommandLine(int argc, const char* const* argv) {
    // The version alone, without the banner, so that scripts and package checks can read it.
    if (argc == 2 && (strcmp(argv[1], "-V") == 0 || strcmp(argv[1], "--version") == 0)) {
        consolePrintf("skoposproxy " SKOPOS_RELEASE "\nLicense GPL-2.0-or-later: free software, provided as is, "
                      "without any warranty.\n");
        return CommandLineResult::ExitSuccess;
    }
    consolePrintf("\n" SKOPOS_VERSION " - Visit Skopos homepage at " SKOPOS_HOMEPAGE "\n"
                  "Free software, provided as is, without any warranty.\n\n");
    // From the environment, the password stays out of the process list; -P overrides it.
    const char* fromEnvironment = getenv("SKOPOS_PASSWORD");
    if (fromEnvironment != nullptr && !setPassword(fromEnvironment, "SKOPOS_PASSWORD")) return CommandLineResult::Exit;
    if (argc <= 1) {
        consolePrintf("Start with -h for help.\n\n");
        return CommandLineResult::Run;
    }
    if (argc == 2 && argv[1][0] == '-' && (argv[1][1] == 'h' || argv[1][1] == '?')) {
        consolePrintf("%s", UsageText);
        return CommandLineResult::Exit;
    }
    for (int i = 1; i < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '-' || strlen(arg) != 2 || !isValueOption(arg[1])) continue;
        if (i + 1 >= argc) {
            consolePrintf("ERROR: Option %s needs a value.\n", arg);
            return CommandLineResult::Exit;
        }
        if (!applyOption(arg[1], argv[++i])) return CommandLineResult::Exit;
    }
    settings.slotLimit = settings.observers + 1;
    return CommandLineResult::Run;
}
