// The walk over a datagram's string commands: proxy commands, chat, signon steps and the chain.
#include "console/intercept.h"

#include <cstring>

#include "console/commands.h"
#include "console/observer_chat.h"
#include "core/settings.h"
#include "net/framing.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/prints.h"
#include "observers/view.h"
#include "session/admission.h"

ConsoleState consoleState;

void resetConsole() { consoleState = ConsoleState(); }

namespace {

constexpr uint8_t ClcStringCmd = 4;
// A print carries 8, 2, the text and its zero in one send buffer.
constexpr int MaxPrintPiece = MaxSendPayload - 3;

enum SignonCode { NoSignon = 0, Prespawn = 1, Spawn = 2 };

// One string command being walked: where its message starts and its text, in the PacketBuffer.
struct StringCommand {
    int start;   // offset of the code byte
    char* text;  // zero-terminated (the datagram's own zero, or the one written behind it)
    int textLength;
};

void wakeUp(int* length, int start) {
    *length = removeStringCommand(PacketBuffer, *length, start);
    hostConnection.transparentMode = false;
    static const char Enabled[] = "Command processing enabled.\n";
    printToHost(Enabled, sizeof Enabled);
}

// Transparent mode: everything but "wakeup" and "observing" goes on to the next proxy. A
// "wakeup" that ends in a single digit 1-9 counts the chain down in place; any other ending
// (none, more characters, a character that is no count) wakes this proxy. Counting down only
// digits keeps a trailing control character from becoming a zero inside the datagram.
void passOnOrWake(const StringCommand& command, char* chat, int* length) {
    char* p = chat + commandPrefixLength(chat);
    while (*p == ' ') p++;
    if (strncmp(p, "wakeup", 6) == 0) {
        p += 6;
        while (*p == ' ') p++;
        if (p[0] >= '1' && p[0] <= '9' && p[1] == 0) {
            p[0]--;
            if (p[0] != '0') return;
        }
        wakeUp(length, command.start);
    } else if (strncmp(p, "observing", 9) == 0) {
        *length = removeStringCommand(PacketBuffer, *length, command.start);
        observing.observingMode = true;
    }
}

// A proxy command of the host. A repeated datagram's command is dropped unexecuted; in
// transparent mode it is passed on again, since the first copy may have been lost behind us.
void hostProxyCommand(const StringCommand& command, char* chat, int* length) {
    uint32_t sequence = sequenceField(PacketBuffer);
    bool repeated = sequence == hostSlot().recvSeq;
    hostSlot().recvSeq = sequence;
    if (hostConnection.transparentMode) {
        passOnOrWake(command, chat, length);
        return;
    }
    if (repeated) {
        *length = removeStringCommand(PacketBuffer, *length, command.start);
        return;
    }
    // The command leaves the datagram before it runs: nothing it does can then disturb the cut.
    char text[WorkAreaSize];
    size_t copied = strnlen(chat, WorkAreaSize - 1);
    memcpy(text, chat, copied);
    text[copied] = 0;
    *length = removeStringCommand(PacketBuffer, *length, command.start);
    runProxyCommand(text, sequence);
    if (consoleState.commandReply != NoReply) printTextToSlot(consoleState.commandReply, HostSlot);
}

void hostChat(const StringCommand& command, char* chat, int* length) {
    if (commandPrefixLength(chat) > 0) {
        hostProxyCommand(command, chat, length);
    } else if (consoleState.messageMode == MessageMode::Local || !slotTable.serverConnected) {
        appendObserverPrint("%s (locally): %s\n", hostSlot().playerName, chat);
        *length = removeStringCommand(PacketBuffer, *length, command.start);
    }
}

// "say ": a quoted text has both quotes turned into spaces, in the datagram itself.
void chatLine(int slot, const StringCommand& command, int* length) {
    char* chat = command.text + 4;
    if (*chat == '"') {
        *chat++ = ' ';
        command.text[command.textLength - 1] = ' ';
    }
    if (slot == HostSlot) {
        hostChat(command, chat, length);
    } else if (strncmp(chat, "proxy:", 6) == 0) {
        observerProxyCommand(slot, chat);
    } else {
        observerChat(slot, chat);
    }
}

int treatStringCommand(int slot, const StringCommand& command, int* length) {
    const char* s = command.text;
    if (command.textLength < 3) return NoSignon;
    switch (s[2]) {
        case 'a':
            if (strncmp(s, "spawn", 5) == 0) return Spawn;
            if (strncmp(s, "status", 6) == 0 && slot != HostSlot) answerStatus(slot);
            break;
        case 'e':
            if (strcmp(s, "prespawn") == 0) return Prespawn;
            break;
        case 'm':
            if (strncmp(s, "name", 4) == 0) renameSlot(slot, s);
            break;
        case 'y':
            if (strncmp(s, "say ", 4) == 0) chatLine(slot, command, length);
            break;
        default:
            break;
    }
    return NoSignon;
}

}  // namespace

int interceptStringCommands(int slot, int* length) {
    if (*length <= HeaderSize || *length > MaxDatagram) return NoSignon;
    // The PacketBuffer has room behind the largest datagram for this terminator.
    PacketBuffer[*length] = 0;
    int code = NoSignon;
    int cursor = HeaderSize;
    while (cursor < *length && PacketBuffer[cursor] == ClcStringCmd) {
        char* text = reinterpret_cast<char*>(PacketBuffer + cursor + 1);
        StringCommand command{cursor, text, int(strnlen(text, size_t(*length - cursor - 1)))};
        int before = *length;
        int found = treatStringCommand(slot, command, length);
        if (found != NoSignon) code = found;
        // A removed command leaves the next one where it began.
        if (*length == before) cursor += command.textLength + 2;
    }
    return code;
}

int removeStringCommand(uint8_t* datagram, int length, int cursor) {
    const char* text = reinterpret_cast<const char*>(datagram + cursor + 1);
    int end = cursor + 1 + int(strnlen(text, size_t(length - cursor - 1))) + 1;
    // A string that ran to the datagram's end had no zero of its own.
    if (end > length) end = length;
    memmove(datagram + cursor, datagram + end, size_t(length - end));
    int newLength = length - (end - cursor);
    setLengthField(datagram, newLength);
    datagram[newLength] = 0;
    return newLength;
}

void printTextToSlot(const char* text, int slot) {
    char piece[MaxPrintPiece + 1];
    size_t left = strlen(text);
    do {
        size_t take = left;
        if (take > size_t(MaxPrintPiece)) {
            take = MaxPrintPiece;
            size_t lineEnd = take;
            while (lineEnd > 0 && text[lineEnd - 1] != '\n') lineEnd--;
            if (lineEnd > 0) take = lineEnd;
        }
        memcpy(piece, text, take);
        piece[take] = 0;
        printToSlot(piece, int(take) + 1, slot);
        text += take;
        left -= take;
    } while (left > 0);
}
