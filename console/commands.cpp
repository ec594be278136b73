// The proxy command set: the host's in-game commands and their exact replies.
#include "console/commands.h"

#include <cstring>

#include "console/intercept.h"
#include "core/print.h"
#include "core/settings.h"
#include "demo/recorder.h"
#include "net/framing.h"
#include "net/limiter.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/capture.h"
#include "observers/delay.h"
#include "observers/scanner.h"
#include "observers/stream.h"
#include "observers/view.h"
#include "platform/platform.h"
#include "session/admission.h"
#include "session/gate.h"
#include "session/login.h"
#include "session/server_link.h"
#include "session/teardown.h"

const char NoReply[] = "";

namespace {

constexpr int ReplyTextSize = 2048;
char ReplyText[ReplyTextSize];

const char ArgumentSeparators[] = " \"";
// connect reads "server:port" as well as "server port".
const char ServerSeparators[] = ": \"";

enum class ProxyCommand {
    Help, Connect, Disconnect, C2sbps, S2cbps, Record, Observers, Kick, Mmode, Transparent,
    Voffset, Observing, Delay, Login, Unknown,
};

struct CommandWord {
    const char* word;
    ProxyCommand command;
};

const CommandWord CommandWords[] = {
    {"help", ProxyCommand::Help},           {"connect", ProxyCommand::Connect},
    {"disconnect", ProxyCommand::Disconnect}, {"c2sbps", ProxyCommand::C2sbps},
    {"s2cbps", ProxyCommand::S2cbps},       {"record", ProxyCommand::Record},
    {"observers", ProxyCommand::Observers}, {"kick", ProxyCommand::Kick},
    {"mmode", ProxyCommand::Mmode},         {"transparent", ProxyCommand::Transparent},
    {"voffset", ProxyCommand::Voffset},     {"observing", ProxyCommand::Observing},
    {"delay", ProxyCommand::Delay},         {"login", ProxyCommand::Login},
};

ProxyCommand lookUpCommand(const char* word) {
    for (const CommandWord& entry : CommandWords) {
        if (strcmp(entry.word, word) == 0) return entry.command;
    }
    return ProxyCommand::Unknown;
}

struct UsageText {
    const char* word;
    const char* text;
};

// "observing" has no usage text: it is not meant for players.
const UsageText UsageTexts[] = {
    {"connect", "Usage: connect server [port]\nConnect to quake server.\nServer can be name or ip.\n"},
    {"c2sbps",
     "Usage: c2sbps [rate]\nDisplay or set maximum client\nto server bytes per second.\nSet to 0 to disable.\n"},
    {"delay",
     "Usage: delay [seconds]\nDisplay or set how many seconds\nobservers see the game late.\n"
     "Set to 0 to disable.\n"},
    {"disconnect", "Usage: disconnect\nDisconnect from quake server\n"},
    {"help", "Usage: help [command]\nDisplay list of commands\nor help on specific command.\n"},
    {"login", "Usage: login password\nLog in as the host. With a password\nset, nobody has the host's commands\nuntil then.\n"},
    {"kick",
     "Usage: kick name\nKick observer. Use #n to kick\nobserver number n. Wildcard *\nmatches to end of name.\n"},
    {"mmode",
     "Usage: mmode [local|global]\nDisplay or set message mode.\nGlobal = messages go to server.\n"
     "Local  = messages go to observers.\n"},
    {"observers", "Usage: observers [max]\nDisplay list of observers\nor set maximum number of\nobservers.\n"},
    {"record",
     "Usage: record [name|stop]\nStart or stop recording. Demofiles\nwill be named namexx.dem, where name\n"
     "is the parameter given to the record\ncommand, and xx number of recorded\nlevel starting from 01.\n"},
    {"s2cbps",
     "Usage: s2cbps [rate]\nDisplay or set maximum server\nto client bytes per second.\nSet to 0 to disable.\n"},
    {"transparent", "Usage: transparent\nEnter transparent mode. Use wakeup\nto enable command processing.\n"},
    {"voffset",
     "Usage: voffset [observer] [x] [y] [z]\nSet observer view offset.\nObserver = observer number. You can\n"
     "see observer numbers with 'observers'\ncommand. Observer number 0 means your\nown view. x, y, z = "
     "offset angles.\nFull circle is 256.\n"},
    {"wakeup", "Usage: wakeup [n]\nEnable command processing on\nthe nth proxy in the chain.\n"},
};

const char* shownPrefix() { return settings.namePrefixLength > 0 ? settings.namePrefix : "proxy:"; }

void runHelp(const char* topic) {
    if (topic == nullptr) {
        formatText(ReplyText, sizeof ReplyText,
                   "say %s command [parameters]\nRecognized commands:\n\nhelp [command]       disconnect\n"
                   "c2sbps [rate]        s2cbps [rate]\nrecord [name|stop]   observers [max]\n"
                   "transparent          wakeup [n]\nmmode [local|global] kick name\n"
                   "voffset [observer] [x] [y] [z]\nconnect server [port]\ndelay [seconds]\nlogin password\n",
                   shownPrefix());
        consoleState.commandReply = ReplyText;
        return;
    }
    for (const UsageText& usage : UsageTexts) {
        if (strcmp(usage.word, topic) == 0) consoleState.commandReply = usage.text;
    }
}

// A port as typed: digits alone, 1 to 65535.
bool readPort(const char* text, int& port) {
    if (text[0] == 0 || strspn(text, "0123456789") != strlen(text) || strlen(text) > 5) return false;
    port = readNumber(text);
    return port >= 1 && port <= 65535;
}

void runConnect(char* arguments, uint32_t sequence) {
    const char* server = nextToken(arguments, ServerSeparators);
    const char* portText = nextToken(arguments, ServerSeparators);
    if (server == nullptr) {
        consoleState.commandReply = "Must specify a server\n";
        return;
    }
    int port = DefaultPort;
    if (portText != nullptr && !readPort(portText, port)) {
        formatText(ReplyText, sizeof ReplyText, "Illegal port number %s\n", portText);
        consoleState.commandReply = ReplyText;
        return;
    }
    numbering.lastReliableFromHost = sequence;  // the datagram carrying this command
    uint32_t ip = parseDottedQuad(server);
    if (ip != 0xFFFFFFFF) {
        cancelLookup();
        if (!connectToServer(ip, port, server)) {
            consoleState.commandReply = NoReply;  // the failure was told
            return;
        }
    } else if (!lookUpServer(server, port)) {
        formatText(ReplyText, sizeof ReplyText, "Could not resolve %s.\n", server);
        consoleState.commandReply = ReplyText;
        return;
    }
    consoleState.commandReply = "trying...\n";
}

void runDisconnect() {
    static const char Disconnected[] = "Disconnected.\n";
    printToHost(Disconnected, sizeof Disconnected);
    cancelLookup();
    if (slotTable.serverSocket != platform::NoSocket) {
        sendLeaveDatagram();
        disconnectServer();
    }
    consoleState.commandReply = "";
}

// Rates of 0 or less mean no limit and are kept as 0; a limit needs the millisecond counter.
void runByteRate(bool clientToServer, const char* argument) {
    int& rate = clientToServer ? settings.c2sbps : settings.s2cbps;
    if (argument != nullptr) {
        int wanted = readNumber(argument);
        if (wanted > 0 && !timerAvailable()) {
            consoleState.commandReply = "Timer not available. Packet filtering disabled.\n";
            return;
        }
        rate = wanted > 0 ? wanted : 0;
        restartRateWindow(clientToServer);
        if (rate > 0) {
            formatText(ReplyText, sizeof ReplyText,
                       clientToServer ? "Maximum client to server bytes\nper second set to %d\n"
                                      : "Maximum server to client bytes\nper second set to %d.\n",
                       rate);
            consoleState.commandReply = ReplyText;
        } else {
            consoleState.commandReply = clientToServer ? "Client to server packet filtering\ndisabled\n"
                                                       : "Server to client packet filtering\ndisabled.\n";
        }
    } else if (rate > 0) {
        formatText(ReplyText, sizeof ReplyText,
                   clientToServer ? "Maximum client to server bytes per\nsecond is currently set to %d\n"
                                  : "Maximum server to client bytes per\nsecond is currently set to %d.\n",
                   rate);
        consoleState.commandReply = ReplyText;
    } else {
        consoleState.commandReply = clientToServer ? "Client to server packet filtering\nis currently disabled.\n"
                                                   : "Server to client packet filtering\nis currently disabled.\n";
    }
}

void showRecording() {
    if (settings.demoNumber == 0) {
        consoleState.commandReply = "Demorecording is currently off.\n";
    } else if (recording()) {
        formatText(ReplyText, sizeof ReplyText, "Currently recording %s.\n", recorder.demoFileName);
        consoleState.commandReply = ReplyText;
    } else {
        formatText(ReplyText, sizeof ReplyText, "Next level will be recorded to %s%02d.dem\n", settings.demoname,
                   settings.demoNumber);
        consoleState.commandReply = ReplyText;
    }
}

// A name that does not fit the name stores is refused and the recorder left as it was.
void runRecord(const char* argument) {
    if (argument == nullptr) {
        showRecording();
        return;
    }
    if (strcmp(argument, "stop") == 0) {
        if (!recordWhenPlayed(nullptr)) endRecording();
        consoleState.commandReply = "Demorecording stopped.\n";
        return;
    }
    // Any server can make the host's client say this: the name must stay a file in the demo folder.
    if (!isPlainFileName(argument)) {
        consoleState.commandReply = "Invalid demo name.\n";
        return;
    }
    if (strlen(argument) >= size_t(TextStoreSize) || !setDemoName(argument)) {
        consoleState.commandReply = "Demo name too long.\n";
        return;
    }
    // Said when the file opens ("Recording to"), late under a delay.
    if (recordWhenPlayed(argument) || recordTo(argument)) {
        consoleState.commandReply = "";
        return;
    }
    bool onServer = slotTable.serverConnected && hostSlot().state >= SlotInGame;
    int length = 0;
    if (onServer && !gameState.protocolKnown)
        length = formatText(ReplyText, sizeof ReplyText, "Recording is not available for protocol %d.\n",
                            int(gameState.protocol));
    formatText(ReplyText + length, sizeof ReplyText - size_t(length), "Next level will be recorded to %s%02d.dem\n",
               settings.demoname, 1);
    consoleState.commandReply = ReplyText;
}

// Observers watch late; a change brings every observer in again at the new point.
void runDelay(const char* argument) {
    int seconds = argument != nullptr ? readDelaySeconds(argument) : delaySeconds();
    if (seconds < 0) {
        formatText(ReplyText, sizeof ReplyText, "Delay must be 0 to %d seconds.\n", MaxDelaySeconds);
    } else if (argument == nullptr) {
        formatText(ReplyText, sizeof ReplyText, "Observer delay is currently\nset to %d seconds.\n", seconds);
    } else if (seconds > 0 && !timerAvailable()) {
        formatText(ReplyText, sizeof ReplyText, "Timer not available. Delay disabled.\n");
    } else if (!setDelaySeconds(seconds)) {
        formatText(ReplyText, sizeof ReplyText, "Not enough memory for a delay\nof %d seconds.\n", seconds);
    } else {
        settings.delaySeconds = seconds;
        formatText(ReplyText, sizeof ReplyText, "Observer delay set to\n%d seconds.\n", seconds);
    }
    consoleState.commandReply = ReplyText;
}

void listObservers() {
    int used = 0;
    for (int i = FirstObserverSlot; i <= settings.slotLimit; i++) {
        const Slot& slot = slotTable.slot[i];
        if (slot.state == SlotFree) continue;
        char address[16];
        formatDottedQuad(slot.peerAddress.ip, address);
        used += formatText(ReplyText + used, sizeof ReplyText - size_t(used), "%2d %-15s %s\n", i - 1,
                           slot.playerName, address);
    }
    formatText(ReplyText + used, sizeof ReplyText - size_t(used), "%d out of max %d observers connected.\n",
               slotTable.observerCount, settings.observers);
    consoleState.commandReply = ReplyText;
}

void runObservers(const char* argument) {
    if (argument == nullptr) {
        listObservers();
        return;
    }
    int wanted = readNumber(argument);
    if (wanted < 0) {
        consoleState.commandReply = "Don't be so negative\n";
        return;
    }
    if (wanted > MaxObservers) wanted = MaxObservers;
    int oldLimit = settings.slotLimit;
    settings.observers = wanted;
    settings.slotLimit = wanted + 1;
    for (int i = oldLimit; i > settings.slotLimit; i--) {
        if (slotInUse(i)) kickObserver(i);
    }
    formatText(ReplyText, sizeof ReplyText, "Maximum number of observers\nset to %d\n", wanted);
    consoleState.commandReply = ReplyText;
}

bool nameMatches(const char* name, const char* pattern) {
    const char* star = strchr(pattern, '*');
    if (star == nullptr) return strcmp(name, pattern) == 0;
    return strncmp(name, pattern, size_t(star - pattern)) == 0;
}

void kickSlot(int slot) {
    if (!slotInUse(slot)) return;
    banAddress(slotTable.slot[slot].peerAddress.ip);
    kickObserver(slot);
    consoleState.commandReply = "";
}

void runKick(const char* argument) {
    consoleState.commandReply = "You missed.\n";
    if (argument == nullptr) return;
    if (argument[0] == '#') {
        if (!fitsInt(argument + 1)) {
            consoleState.commandReply = "Illegal observer number\n";
            return;
        }
        // The number as typed can be INT_MAX: compared before it becomes a slot.
        int number = readNumber(argument + 1);
        if (number >= FirstObserverSlot - 1 && number < settings.slotLimit) kickSlot(number + 1);
    }
    for (int i = FirstObserverSlot; i <= settings.slotLimit; i++) {
        if (slotInUse(i) && nameMatches(slotTable.slot[i].playerName, argument)) kickSlot(i);
    }
}

void runMmode(const char* argument) {
    if (argument == nullptr) {
        consoleState.commandReply = consoleState.messageMode == MessageMode::Local
                                        ? "Message mode is currently\nset to: local.\n"
                                        : "Message mode is currently\nset to: global.\n";
        return;
    }
    if (strcmp(argument, "global") == 0) consoleState.messageMode = MessageMode::Global;
    if (strcmp(argument, "local") == 0) consoleState.messageMode = MessageMode::Local;
    consoleState.commandReply =
        consoleState.messageMode == MessageMode::Local ? "Local message mode.\n" : "Global message mode.\n";
}

// An 8-bit view angle as a typed number gives it: its low 8 bits.
int8_t angleByte(const char* text) { return int8_t(uint8_t(unsigned(readNumber(text)) & 0xFF)); }

void setOwnOffset(char*& arguments) {
    int8_t* offset = hostSlot().viewOffset;
    for (int i = 0; i < 3; i++) {
        const char* value = nextToken(arguments, ArgumentSeparators);
        if (value == nullptr) break;
        offset[i] = angleByte(value);
    }
    formatText(ReplyText, sizeof ReplyText, "View offset x=%i y=%i z=%i\n", offset[0], offset[1], offset[2]);
    consoleState.commandReply = ReplyText;
}

// Makes observer `number` say its own "voffset 0" with the offsets in `rest`. The rest keeps
// only what a list of numbers holds, so the host cannot stuff other console commands into the
// observer's game; it is cut to the 80-byte payload. A free slot gets nothing.
void stuffObserverOffset(int number, const char* rest) {
    static const char Say[] = "say proxy:voffset 0";
    constexpr int PayloadSize = 80;
    constexpr int MaxRest = PayloadSize - 1 - int(sizeof Say - 1) - 1;
    char payload[PayloadSize];
    payload[0] = 9;  // svc_stufftext
    memcpy(payload + 1, Say, sizeof Say - 1);
    char* kept = payload + sizeof Say;
    int length = int(strspn(rest, " +-0123456789"));
    if (length > MaxRest) length = MaxRest;
    memcpy(kept, rest, size_t(length));
    kept[length] = 0;
    int slot = number + 1;
    if (slot <= settings.slotLimit && slotInUse(slot)) {
        sendRawToSlot(reinterpret_cast<const uint8_t*>(payload), int(sizeof Say) + length + 1, slot);
    }
    formatText(ReplyText, sizeof ReplyText, "Observer %d offsets:%s\n", number, kept);
    consoleState.commandReply = ReplyText;
}

// `original` is the command text before tokens were cut out of `work`: the rest behind the
// observer argument is taken from it at the same offset.
void runVoffset(char* arguments, const char* work, const char* original) {
    const char* observer = nextToken(arguments, ArgumentSeparators);
    if (observer == nullptr) {
        consoleState.commandReply = "Must specify client\n";
        return;
    }
    int number = readNumber(observer);
    if (number == 0) {
        setOwnOffset(arguments);
    } else if (number < 0 || number > MaxObservers) {
        consoleState.commandReply = "Illegal observer number\n";
    } else {
        stuffObserverOffset(number, original + (observer - work) + strlen(observer));
    }
}

void dispatch(const char* word, char* arguments, const char* work, const char* original, uint32_t sequence) {
    switch (lookUpCommand(word)) {
        case ProxyCommand::Help: runHelp(nextToken(arguments, ArgumentSeparators)); break;
        case ProxyCommand::Connect: runConnect(arguments, sequence); break;
        case ProxyCommand::Disconnect: runDisconnect(); break;
        case ProxyCommand::C2sbps: runByteRate(true, nextToken(arguments, ArgumentSeparators)); break;
        case ProxyCommand::S2cbps: runByteRate(false, nextToken(arguments, ArgumentSeparators)); break;
        case ProxyCommand::Record: runRecord(nextToken(arguments, ArgumentSeparators)); break;
        case ProxyCommand::Observers: runObservers(nextToken(arguments, ArgumentSeparators)); break;
        case ProxyCommand::Kick: runKick(nextToken(arguments, ArgumentSeparators)); break;
        case ProxyCommand::Mmode: runMmode(nextToken(arguments, ArgumentSeparators)); break;
        case ProxyCommand::Transparent:
            hostConnection.transparentMode = true;
            consoleState.commandReply =
                "Entering transparent mode.\nUse wakeup command to enable\ncommand processing.\n";
            break;
        case ProxyCommand::Voffset: runVoffset(arguments, work, original); break;
        case ProxyCommand::Observing:
            observing.observingMode = true;
            consoleState.commandReply = "";
            break;
        case ProxyCommand::Delay: runDelay(nextToken(arguments, ArgumentSeparators)); break;
        case ProxyCommand::Login: {
            const char* reply = logIn(HostSlot, nextToken(arguments, ArgumentSeparators));
            consoleState.commandReply = reply != nullptr ? reply : NoReply;
            break;
        }
        case ProxyCommand::Unknown: break;
    }
}

// With a password set, a host that has not logged in has help and login alone.
bool allowedBeforeLogin(ProxyCommand command) {
    return !loginNeeded() || hostConnection.loggedIn || command == ProxyCommand::Help ||
           command == ProxyCommand::Login;
}

}  // namespace

int commandPrefixLength(const char* text) {
    int named = settings.namePrefixLength;
    if (named > 0 && strncmp(text, settings.namePrefix, size_t(named)) == 0) return named;
    if (strncmp(text, "proxy:", 6) == 0) return 6;
    return 0;
}

char* nextToken(char*& cursor, const char* separators) {
    cursor += strspn(cursor, separators);
    if (*cursor == 0) return nullptr;
    char* token = cursor;
    cursor += strcspn(cursor, separators);
    if (*cursor != 0) *cursor++ = 0;
    return token;
}

// The prefix is skipped by its length rather than cut as a token, so a proxy name holding a
// space, colon or quote does not shift the command word.
void runProxyCommand(const char* text, uint32_t sequence) {
    char original[WorkAreaSize];
    size_t length = strnlen(text, WorkAreaSize - 1);
    memcpy(original, text, length);
    original[length] = 0;
    char work[WorkAreaSize];
    memcpy(work, original, length + 1);

    char* cursor = work + commandPrefixLength(work);
    if (cursor == work) nextToken(cursor, ": \"");
    const char* word = nextToken(cursor, ArgumentSeparators);
    if (word == nullptr) word = "";
    consoleState.commandReply = nullptr;
    if (!allowedBeforeLogin(lookUpCommand(word))) {
        formatText(ReplyText, sizeof ReplyText, "Log in first: say %slogin password\n", shownPrefix());
        consoleState.commandReply = ReplyText;
        return;
    }
    dispatch(word, cursor, work, original, sequence);
    if (consoleState.commandReply == nullptr) {
        formatText(ReplyText, sizeof ReplyText, "Unrecognized command %s.\n", word);
        consoleState.commandReply = ReplyText;
    }
}
