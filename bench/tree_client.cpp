// The fake game client of the tree benchmark, one for the main host, each relay host and each
// observer: a NetQuake client's datagram layer and signon walk, stuffed "say" lines run as a real
// client runs them, and what an observer checks and counts of what reaches it.
#include <string.h>

#include <algorithm>

#include "bench/tree.h"

namespace {

constexpr uint8_t ConnectRequest[] = {0x80, 0, 0, 12, 0x01, 'Q', 'U', 'A', 'K', 'E', 0, 3};
constexpr int64_t ConnectRetryNs = 2500 * NsPerMs;  // as game clients retry
constexpr int64_t ResendNs = NsPerSecond;
constexpr uint8_t ClcMove = 3, ClcStringCmd = 4;
constexpr uint8_t SvcPrint = 8, SvcStuffText = 9, SvcServerInfo = 11, SvcSignonNum = 25;

std::string command(const std::string& text) {
    std::string bytes(1, static_cast<char>(ClcStringCmd));
    bytes += text;
    bytes += '\0';
    return bytes;
}

void sendInFlight(Client& c, int64_t nowNs) {
    static uint8_t Datagram[2048];
    int length = HeaderSize + static_cast<int>(c.inFlight.size());
    putHeader(Datagram, FlagLastFragment, length, c.reliableOut - 1);
    memcpy(Datagram + HeaderSize, c.inFlight.data(), c.inFlight.size());
    sendDatagram(c.sock, c.proxy, Datagram, length);
    c.sentNs = nowNs;
}

void sendNextReliable(Client& c) {
    if (c.flying || c.pending.empty() || !c.accepted) return;
    c.inFlight = std::move(c.pending.front());
    c.pending.pop_front();
    c.flying = true;
    c.reliableOut++;
    sendInFlight(c, run.nowNs);
}

void sendStringCommands(Client& c, const std::string& commands) {
    c.pending.push_back(commands);
    sendNextReliable(c);
}

void sendConnectRequest(Client& c, int64_t nowNs) {
    sendDatagram(c.sock, c.listening, ConnectRequest, sizeof ConnectRequest);
    c.connectRequests++;
    c.connectDueNs = nowNs + ConnectRetryNs;
}

// clc_move under protocol 15: time, angles, forward/side/up, buttons, impulse.
void sendMove(Client& c) {
    uint8_t datagram[HeaderSize + 16] = {};
    putHeader(datagram, FlagUnreliable, sizeof datagram, c.unreliableOut++);
    uint8_t* p = datagram + HeaderSize;
    p[0] = ClcMove;
    p[6] = 64;   // yaw
    p[8] = 200;  // forward
    sendDatagram(c.sock, c.proxy, datagram, sizeof datagram);
    c.moves += run.phase == Phase::Measuring;
}

void enterGame(Client& c) {
    Server& s = run.server;
    c.inGame = true;
    c.level = s.level;
    c.lastGameNs = run.nowNs;
    if (!c.windowOpen[c.level]) c.windowFirst[c.level] = s.nextIndex;
    c.windowOpen[c.level] = true;
    if (c.firstPrintDue < 0) c.firstPrintDue = c.nextPrint = s.nextPrint;
    c.nextMoveNs = run.nowNs + static_cast<int64_t>(c.sock) * 7919 % c.moveStepNs;  // spread over the step
    if (c.role == Role::RelayHost && ++c.levelsJoined == 1) relayHostInGame(c.relay, run.nowNs);
}

void takeSignon(Client& c, int stage) {
    if (stage == 1) sendStringCommands(c, command("prespawn"));
    if (stage == 2) sendStringCommands(c, command("name \"watcher\"\n") + command("color 0 0\n") + command("spawn "));
    if (stage == 3) {
        sendStringCommands(c, command("begin"));
        enterGame(c);
    }
}

// A stuffed text is console input: "reconnect" starts the signon again, a "say" goes to the server.
void runStuffedText(Client& c, const char* text, int length) {
    std::string lines(text, static_cast<size_t>(length));
    for (size_t start = 0, end; start < lines.size(); start = end + 1) {
        end = lines.find('\n', start);
        if (end == std::string::npos) end = lines.size();
        std::string line = lines.substr(start, end - start);
        if (line == "reconnect") {
            c.inGame = false;
        } else if (line.compare(0, 4, "say ") == 0) {
            sendStringCommands(c, command(line));
        }
    }
}

void takePrint(Client& c, const char* text, int length) {
    uint32_t number;
    if (!readBenchPrint(text, length, &number)) {
        c.printsTorn++;
        return;
    }
    if (c.nextPrint < 0 || number < c.firstPrintDue) return;
    if (number < c.nextPrint) {
        c.printsRepeated++;
        return;
    }
    c.printsLost += number - static_cast<uint64_t>(c.nextPrint);
    c.nextPrint = number + 1;
}

void countGameDatagram(Client& c, uint32_t index, int level, bool damaged) {
    if (static_cast<int64_t>(index) <= c.lastIndex) {
        c.stale++;
        return;
    }
    c.lastIndex = index;
    if (!c.inGame || level != c.level) return;
    c.lastGameNs = run.nowNs;
    if (c.role != Role::Observer || run.phase == Phase::Joining || index < run.measureFirstIndex ||
        index < c.windowFirst[level])
        return;
    c.received++;
    c.damaged += damaged ? 1 : 0;
    int64_t bucket = std::max<int64_t>((run.nowNs - run.server.sentAtNs[index]) / LagBucketNs, 0);
    run.lagHistogram[std::min(static_cast<size_t>(bucket), run.lagHistogram.size() - 1)]++;
}

void takeUnreliable(Client& c, const uint8_t* d, int length) {
    uint32_t index;
    int level;
    bool damaged;
    int walkFrom = HeaderSize;
    if (readGameDatagram(d, length, run.rate, &index, &level, &damaged)) {
        countGameDatagram(c, index, level, damaged);
        walkFrom = GameDatagramSize;  // the proxies' texts ride behind the game's part
    } else if (length == HeaderSize + 4 && d[HeaderSize] == 10) {
        if (run.phase == Phase::Measuring && c.role == Role::Observer) c.views++;
        return;
    }
    if (!walkMessage(c, d + walkFrom, length - walkFrom)) c.badMessages++;
}

void takeReliable(Client& c, const uint8_t* d, int length) {
    if (!ackReliable(c.sock, c.proxy, d, &c.reliableIn)) return;
    c.partial.insert(c.partial.end(), d + HeaderSize, d + length);
    if (d[1] != FlagLastFragment) return;
    if (!walkMessage(c, c.partial.data(), static_cast<int>(c.partial.size()))) c.badMessages++;
    c.partial.clear();
}

void takeControl(Client& c, const uint8_t* d, int length) {
    if (d[4] == 0x82) c.rejects++;  // asked again on the retry timer
    if (d[4] != 0x81 || length < 7 || c.accepted) return;
    c.accepted = true;
    c.connectDueNs = 0;
    c.proxy = c.listening;
    c.proxy.sin_port = htons(static_cast<uint16_t>(d[5] | d[6] << 8));
    if (!c.sayOnAccept.empty()) sendStringCommands(c, command("say " + c.sayOnAccept));
}

}  // namespace

void clientTakesDatagram(Client& c, const uint8_t* d, int length, const sockaddr_in& from) {
    if (length >= 5 && d[0] == 0x80 && d[1] == 0) return takeControl(c, d, length);
    if (!c.accepted || !sameAddress(from, c.proxy) || length < HeaderSize || readLength(d) != length) return;
    switch (d[1]) {
    case FlagAck:
        if (c.flying && readSequence(d) == c.reliableOut - 1) {
            c.flying = false;
            sendNextReliable(c);
        }
        return;
    case FlagReliable:
    case FlagLastFragment: return takeReliable(c, d, length);
    case FlagUnreliable: return takeUnreliable(c, d, length);
    }
}

void clientTick(Client& c, int64_t nowNs) {
    if (c.connectDueNs != 0 && nowNs >= c.connectDueNs) sendConnectRequest(c, nowNs);
    if (c.flying && nowNs - c.sentNs > ResendNs) sendInFlight(c, nowNs);
    if (!c.inGame || nowNs < c.nextMoveNs) return;
    sendMove(c);
    c.nextMoveNs += c.moveStepNs;
    if (c.nextMoveNs <= nowNs) c.nextMoveNs = nowNs + c.moveStepNs;  // late: no burst to catch up
}

void clientHears(Client& c, uint8_t code, int value, const char* text, int textLength) {
    switch (code) {
    case SvcServerInfo:
        c.inGame = false;
        return;
    case SvcSignonNum: return takeSignon(c, value);
    case SvcStuffText: return runStuffedText(c, text, textLength);
    case SvcPrint:
        if (isBenchPrint(text)) takePrint(c, text, textLength);
        return;
    }
}
