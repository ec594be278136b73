// The slot table: slot 0 the listening port, slot 1 the host client, slots 2 and up observers.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr int SlotCount = 32;
constexpr int HostSlot = 1;
constexpr int FirstObserverSlot = 2;
constexpr int PlayerNameSize = 17;  // 15 characters are kept; the store leaves room for the zero
constexpr int MaxPlayerName = 15;

// Host client: 1 connected or connect issued; 2, 3 signon stages 1 and 2 captured; 4 in the game;
// 5 was in the game, a level change or server disconnect followed.
// Observers: 1 waiting; 2, 3 catch-up records 2, 3 due; 4 watching; 5 to 7 following a level change.
// Odd states receive the collected observer texts.
enum SlotStates : int32_t {
    SlotFree = 0,
    SlotWaiting = 1,
    SlotInGame = 4,
    SlotLeftGame = 5,
};

// What an observer's catch-up message is: records 1 to 3 of the level, or one of these.
enum CatchUpMessages : int32_t {
    NoCatchUpMessage = 0,
    ReconnectOrder = 4,  // "reconnect" ahead of a record 1 for a client that took a signon before
    EndedRecord = 5,     // finished only to close the client's message: a catch-up started over, or
                         // the rest of a stream message for a client taken off the stream inside it
};

struct Slot {
    uint32_t reliableSeq = 0;         // observers: next reliable number not yet given to a catch-up fragment
    uint32_t unreliableSeq = 0;       // next unreliable number the proxy sends
    uint32_t seqOffset = 0;           // host: server -> host numbers; observer: stream -> own numbers
    uint32_t ackedSeq = 0;            // observers: last stored stream number acknowledged
    uint32_t welcomeCount = 0;
    uint32_t welcomeTime = 0;         // seconds
    uint32_t targetSeq = 0;           // observers: stored datagrams are fed up to this stream number
    uint32_t recvSeq = 0;             // observers: next reliable number expected; host: last command datagram
    uint32_t lastHeardTime = 0;       // seconds
    uint32_t lastReliableSendTime = 0;  // seconds
    int32_t state = SlotFree;
    uint32_t moveButtons = 0;         // observers: buttons of the last move (bit 0 fire, bit 1 jump)
    platform::Socket socket = platform::NoSocket;
    platform::NetAddress peerAddress;  // set at admission; slot 0: sender of the last request
    // Observers' catch-up messages go one fragment at a time, each resent until acknowledged.
    int32_t catchUpMessage = NoCatchUpMessage;  // the message with a fragment in flight
    int32_t catchUpTaken = NoCatchUpMessage;    // the last message of this catch-up the client took
    uint32_t catchUpOffset = 0;                 // message offset of the fragment in flight
    uint32_t catchUpSeq = 0;                    // its number
    uint32_t catchUpPart = 0;                   // which stage-2 message, while catchUpMessage is 2
    uint32_t catchUpCut = 0;                    // the first piece of the message ends here (0: none)
    uint32_t pieceOffset = 0;  // bytes of the stored datagram after ackedSeq its client has acknowledged
    bool midMessage = false;   // observers: the datagram at ackedSeq did not end its message
    int8_t viewOffset[3] = {0, 0, 0};
    char playerName[PlayerNameSize] = {};
    // Connection life: a client that never answers its accept holds its slot for a few seconds only.
    bool heard = false;            // a data datagram came since admission
    uint32_t admittedTime = 0;     // seconds
    uint32_t keepAliveMs = 0;      // the last keep-alive sent (millisecond clock)
    bool keepAliveUnanswered = false;  // nothing came since that keep-alive
    uint32_t chatTimeMs = 0;       // observers: the last chat line passed on (millisecond clock)
};

struct SlotTable {
    Slot slot[SlotCount];
    bool hostConnected = false;
    int observerCount = 0;
    platform::Socket serverSocket = platform::NoSocket;
    bool serverConnected = false;
    // Every observer is admitted on this one socket (so the copies for all of them go in one call),
    // made at the first admission and kept while observers remain.
    platform::Socket observerSocket = platform::NoSocket;
};

extern SlotTable slotTable;

struct ConnectionAddresses {
    platform::NetAddress listening;     // localif:port, the template for every client socket
    platform::NetAddress serverLocal;   // remoteif:0, bound by the server socket
    platform::NetAddress server;        // where everything for the server goes
    platform::NetAddress connectTarget; // where the connect request went: control replies only from here
    uint16_t slotPort[SlotCount] = {};  // each client slot's port, as its accept named it
    uint16_t observerPort = 0;          // the observers' shared socket's port
    char serverInfoAddress[24] = {};    // "a.b.c.d" of server-information replies, worked out at start-up
};
extern ConnectionAddresses addresses;

void resetSlotTable();

inline Slot& hostSlot() { return slotTable.slot[HostSlot]; }
inline bool slotInUse(int i) { return slotTable.slot[i].state != SlotFree; }

// The reset of a level change or server disconnect: every used slot 1..slotLimit gets
// (state AND 4) OR 1, so 1-3 become 1 and 4-7 become 5; a catch-up in states 1-3 ends.
void resetClientStates();

// The client slot (1 and up) whose client sends from `from` to `socket`, or 0 for none.
int slotOfDatagram(platform::Socket socket, const platform::NetAddress& from);
// Is `socket` some client slot's?
bool slotSocketInUse(platform::Socket socket);
// After a slot stopped using `socket`: closed once no slot uses it; the observers' socket is given up
// with the last observer (a host that was one keeps it until it goes).
void releaseSlotSocket(platform::Socket socket);

void setPlayerName(Slot& slot, const char* name);

// Dotted quad of an address ("a.b.c.d"), into a store of at least 16 bytes.
void formatDottedQuad(uint32_t ip, char* store);
// inet_addr's reading of a dotted quad: 0xFFFFFFFF for text that is not one.
uint32_t parseDottedQuad(const char* text);
