// Observer commands and chat, renaming, and the banner and welcome texts shown to observers.
#include "console/observer_chat.h"

#include <cstring>

#include "console/commands.h"
#include "console/intercept.h"
#include "core/clock.h"
#include "core/print.h"
#include "core/settings.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/prints.h"
#include "session/admission.h"
#include "session/login.h"

namespace {

constexpr uint8_t SvcStuffText = 9;
constexpr uint8_t SvcCenterPrint = 26;

constexpr int StatusTextSize = 2048;
char StatusText[StatusTextSize];

// Appends a zero-terminated text and its zero; cut to what fits. Returns the new write position.
int appendText(uint8_t* buffer, int capacity, int pos, const char* text) {
    int room = capacity - pos - 1;
    if (room < 0) return pos;
    int length = int(strnlen(text, size_t(room)));
    memcpy(buffer + pos, text, size_t(length));
    buffer[pos + length] = 0;
    return pos + length + 1;
}

}  // namespace

void rebuildWelcomeBlock() {
    uint8_t* block = welcomeBlock.bytes;
    block[0] = SvcCenterPrint;
    int written = formatText(reinterpret_cast<char*>(block + 1), WelcomeBlockCapacity - 1,
                             SKOPOS_VISIT
                             "\nYou are observing the game\nthrough %s's eyes.\n\nUse Skopos-Proxy on the observer\n"
                             "end to minimize jerkiness.\n\nHold down fire button to look around.\n\n"
                             "Impulses 1-12 change view offset.\n",
                             hostSlot().playerName);
    int pos = 1 + written + 1;
    block[pos++] = SvcStuffText;
    welcomeBlock.length = appendText(block, WelcomeBlockCapacity, pos, "say proxy:observing\n");
}

void answerStatus(int slot) {
    char address[16];
    formatDottedQuad(hostSlot().peerAddress.ip, address);
    int used = formatText(StatusText, sizeof StatusText, "Your host:\n%-15s %s\nObservers:\n", hostSlot().playerName,
                          address);
    for (int i = FirstObserverSlot; i <= settings.slotLimit; i++) {
        const Slot& observer = slotTable.slot[i];
        if (observer.state == SlotFree) continue;
        formatDottedQuad(observer.peerAddress.ip, address);
        used += formatText(StatusText + used, sizeof StatusText - size_t(used), "%-15s %s\n", observer.playerName,
                           address);
    }
    printTextToSlot(StatusText, slot);
}

// The name is what follows "name " with quotes and line feeds dropped, at most 15 characters;
// a bare "name" gives the empty name.
void renameSlot(int slot, const char* command) {
    Slot& target = slotTable.slot[slot];
    char oldName[PlayerNameSize];
    memcpy(oldName, target.playerName, sizeof oldName);
    char newName[MaxPlayerName + 1];
    int length = 0;
    const char* from = strnlen(command, 5) == 5 ? command + 5 : "";
    for (; *from != 0 && length < MaxPlayerName; from++) {
        if (*from != '\n' && *from != '"') newName[length++] = *from;
    }
    newName[length] = 0;
    setPlayerName(target, newName);
    if (slot == HostSlot) {
        rebuildWelcomeBlock();
    } else if (strcmp(oldName, newName) != 0) {
        appendObserverPrint("Observer %s renamed to %s.\n", oldName, newName);
    }
}

// One line every two seconds from each observer: a flood of chat reaches nobody.
void observerChat(int slot, const char* text) {
    Slot& sender = slotTable.slot[slot];
    if (int32_t(loop.nowMs - sender.chatTimeMs) < int32_t(ObserverChatIntervalMs)) {
        printfToSlot(slot, "Chat is limited to one line every %u seconds.\n", ObserverChatIntervalMs / 1000);
        return;
    }
    sender.chatTimeMs = loop.nowMs;
    appendObserverPrint("Observer %s: %s\n", sender.playerName, text);
}

// "login" and "voffset 0" (the line the host's voffset makes an observer's game say back) are known.
void observerProxyCommand(int slot, const char* text) {
    char work[WorkAreaSize];
    size_t length = strnlen(text, WorkAreaSize - 1);
    memcpy(work, text, length);
    work[length] = 0;
    char* cursor = work;
    nextToken(cursor, ": \"");
    const char* word = nextToken(cursor, " \"");
    if (word != nullptr && strcmp(word, "login") == 0) {
        const char* reply = logIn(slot, nextToken(cursor, " \""));
        if (reply != nullptr) printfToSlot(slot, "%s", reply);
        return;
    }
    if (word == nullptr || strcmp(word, "voffset") != 0) return;
    const char* observer = nextToken(cursor, ": \"");
    if (observer == nullptr || readNumber(observer) != 0) return;
    int8_t* offset = slotTable.slot[slot].viewOffset;
    for (int i = 0; i < 3; i++) {
        const char* value = nextToken(cursor, " \"");
        if (value == nullptr) break;
        offset[i] = int8_t(uint8_t(unsigned(readNumber(value)) & 0xFF));
    }
    printfToSlot(slot, "View offset: x=%i y=%i z=%i\n", offset[0], offset[1], offset[2]);
}
