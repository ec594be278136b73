// The relay tree benchmark's fake peers, all in one process on one epoll loop: a game server, the
// main proxy's host, the relay proxies' hosts and their observers.
#pragma once

#include <netinet/in.h>
#include <stdint.h>

#include <deque>
#include <string>
#include <vector>

#include "bench/loopback.h"

constexpr int64_t NsPerSecond = 1000000000;
constexpr int64_t NsPerMs = 1000000;
constexpr int MaxLevels = 4;
constexpr int GameDatagramSize = 300;  // the server's unreliable datagram, header included
constexpr int Stage2Bytes = 100000;    // of each level, as a big modern map has

// --- Game messages (tree_messages.cpp), protocol 15 -------------------------------------------

using Message = std::vector<uint8_t>;

Message serverInfoMessage(int level);
// Signon stage 2 as DarkPlaces sends a big level: messages of at most 8000 bytes, the last one
// ending with svc_signonnum 2.
std::vector<Message> stage2Messages(int totalBytes);
Message stage3Message(float time);
Message printMessage(uint32_t number);
Message textMessage(uint8_t code, const char* text);  // svc_stufftext, svc_print...
// The game datagram numbered `index` (unique over the run) of `level`, with its time, ready to send.
void buildGameDatagram(uint8_t* datagram, uint32_t index, int level, int rate, uint32_t sequence);
// Reads index and level back from a datagram that holds the server's game part unchanged; false
// when it is not a game datagram.
bool readGameDatagram(const uint8_t* datagram, int length, int rate, uint32_t* index, int* level, bool* damaged);
// A print of printMessage, whole: its number, or false when the text is torn or changed.
bool readBenchPrint(const char* text, int length, uint32_t* number);
bool isBenchPrint(const char* text);

struct Client;
// Walks a server message as a protocol-15 client does; false when it cannot be followed.
bool walkMessage(Client& client, const uint8_t* message, int length);

// --- The fake game client (tree_client.cpp) ----------------------------------------------------

enum class Role : uint8_t { MainHost, RelayHost, Observer };

struct Client {
    int sock = -1;
    Role role = Role::Observer;
    int relay = -1;            // relay hosts and observers: which relay proxy
    sockaddr_in listening{};   // the proxy's port for connect requests
    sockaddr_in proxy{};       // the port the proxy's accept named
    bool accepted = false;
    int64_t connectDueNs = 0;  // 0: no connect request due
    uint32_t connectRequests = 0, rejects = 0;
    std::string sayOnAccept;   // hosts: where the proxy is to connect

    uint32_t reliableOut = 0, reliableIn = 0, unreliableOut = 0;
    std::deque<std::string> pending;  // reliable messages not yet sent, stop and wait
    std::string inFlight;
    bool flying = false;
    int64_t sentNs = 0;
    std::vector<uint8_t> partial;     // reliable message being reassembled

    int64_t moveStepNs = 0, nextMoveNs = 0;
    bool inGame = false;              // signonnum 3 taken, until the level ends
    int level = 0;                    // the server's level while in game
    int levelsJoined = 0;
    int64_t lastGameNs = 0;           // last game datagram of the current level
    uint32_t windowFirst[MaxLevels + 1] = {};  // first game datagram due in each level
    bool windowOpen[MaxLevels + 1] = {};
    int64_t lastIndex = -1;

    // Figures of the measured part (prints: of the whole run).
    uint64_t received = 0, stale = 0, damaged = 0, views = 0, badMessages = 0, moves = 0;
    int64_t firstPrintDue = -1, nextPrint = -1;
    uint64_t printsLost = 0, printsRepeated = 0, printsTorn = 0;
};

void clientTakesDatagram(Client& client, const uint8_t* datagram, int length, const sockaddr_in& from);
void clientTick(Client& client, int64_t nowNs);
// What the walk of a message found, as the client acts on it.
void clientHears(Client& client, uint8_t code, int value, const char* text, int textLength);

// --- The fake game server (tree_server.cpp) ----------------------------------------------------

struct Server {
    int controlSock = -1, dataSock = -1;
    sockaddr_in proxy{};
    bool connected = false;
    uint32_t fragmentOut = 0, unreliableOut = 0, reliableIn = 0;
    std::deque<Message> queue;  // reliable messages, each sent once the one before is acked
    Message message;            // the one going out
    size_t offset = 0, fragment = 0;
    bool waitingAck = false;
    int64_t sentNs = 0;

    int level = 0;
    bool streaming = false;
    int64_t nextFrameNs = 0, nextPrintNs = 0, changeDueNs = 0;
    uint32_t nextIndex = 0, nextPrint = 0;
    std::vector<int64_t> sentAtNs;           // by game datagram index
    uint32_t levelFirst[MaxLevels + 1] = {};  // game datagram indexes of each level: first, end
    uint32_t levelEnd[MaxLevels + 1] = {};

    int forwarderSock = -1;                   // each game datagram also goes through the forwarder
    sockaddr_in forwarder{};
};

void serverTakesDatagram(const uint8_t* datagram, int length, const sockaddr_in& from);
void serverTakesControl(const uint8_t* datagram, int length, const sockaddr_in& from);
void serverTick(int64_t nowNs);
void startIntermission(int64_t nowNs);  // the level change follows two seconds later
void stopStreaming();

// --- The run (tree_bench.cpp) ------------------------------------------------------------------

enum class Phase : uint8_t { Joining, Measuring, Draining };

struct TreeRun {
    int relays = 30, observersPerRelay = 30, rate = 20, seconds = 120, hostMoves = 72;
    Server server;
    std::vector<Client> clients;  // the main host, then the relay hosts, then the observers
    int64_t nowNs = 0;            // read at each pass of the loop and at each datagram
    Phase phase = Phase::Joining;
    uint32_t measureFirstIndex = 0;
    int64_t datagramsIn = 0;      // by the peers, measured part
    std::vector<uint32_t> lagHistogram;  // 10 us buckets
};
extern TreeRun run;

constexpr int LagBucketNs = 10000;
// A relay host came into the game: its observers may connect.
void relayHostInGame(int relay, int64_t nowNs);
