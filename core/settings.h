// The configurable values, their defaults, and the command line that sets them.
#pragma once

#include <cstdint>

constexpr int TextStoreSize = 80;
constexpr int MaxObservers = 30;
constexpr int DefaultPort = 26000;
constexpr int MaxDelaySeconds = 300;
// "%s%02d.dem" of a longer base name could overrun the 80-byte file-name store.
constexpr int MaxDemoBaseName = TextStoreSize - 1 - 6;
constexpr int MaxHostAddresses = 16;
constexpr int PasswordStoreSize = 64;
constexpr int DefaultObserversPerAddress = 4;

// An IPv4 network a host may connect from: the address's top `bits` bits match.
struct AddressRange {
    uint32_t ip = 0;
    uint32_t mask = 0;
};

struct Settings {
    int port = DefaultPort;
    const char* name = nullptr;  // the -n argument, or none
    char namePrefix[TextStoreSize] = {};
    int namePrefixLength = 0;
    char demoname[TextStoreSize] = {};
    int demoNumber = 0;  // number of the next demo file; 0 = recording off
    int observers = 0;
    int slotLimit = 1;   // observers + 1: the highest slot index any loop visits
    int c2sbps = 0;      // bytes per second; 0 or less = no limit
    int s2cbps = 0;
    const char* localif = "0.0.0.0";
    const char* remoteif = "0.0.0.0";
    uint32_t serverAddress = 0;  // host byte order
    int serverPort = DefaultPort;
    int delaySeconds = 0;  // -D: observers see the game this late
    AddressRange hostAddresses[MaxHostAddresses] = {};  // -H; none given: any address may host
    int hostAddressCount = 0;
    char password[PasswordStoreSize] = {};  // -P or SKOPOS_PASSWORD; empty: no login needed
    int observersPerAddress = DefaultObserversPerAddress;  // -a; 0: no limit
};

extern Settings settings;

void resetSettings();

enum class CommandLineResult { Run, Exit, ExitSuccess };

// Prints the banner (and the hint or usage text where due) and fills `settings`.
// Exit means: end the program with exit code 1 (usage text or a refused option); ExitSuccess: with
// code 0 (the version was asked for).
CommandLineResult readCommandLine(int argc, const char* const* argv);

// Decimal integer as typed: leading blanks, optional sign, digits; stops at the first other
// character; no digits gives 0. Saturates instead of overflowing.
int readNumber(const char* text);
// Does the number readNumber reads from `text` fit an int (no saturation)?
bool fitsInt(const char* text);
// A delay as typed: plain digits, 0 to MaxDelaySeconds; -1 for anything else.
int readDelaySeconds(const char* text);
// "a.b.c.d[/bits][,a.b.c.d[/bits]...]" into the host addresses; false when any part is malformed.
bool readHostAddresses(const char* text);
bool hostAddressAllowed(uint32_t ip);
