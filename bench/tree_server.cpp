// The fake game server of the tree benchmark: one client (the main proxy), the signon of a big
// level, then a game of `rate` datagrams a second with a numbered print every second, and a level
// change when the run asks for one. Reliable messages go as DarkPlaces sends them: 1024-byte
// fragments, each after the ack of the one before, resent after a second without one.
#include <string.h>

#include "bench/tree.h"

namespace {

constexpr size_t FragmentPayload = 1024;
constexpr int64_t ResendNs = NsPerSecond;
constexpr int64_t IntermissionNs = 2 * NsPerSecond;
constexpr uint8_t ClcStringCmd = 4, SvcStuffText = 9, SvcIntermission = 30;

Server& s = run.server;

void sendFragment() {
    static uint8_t Datagram[HeaderSize + FragmentPayload];
    size_t left = s.message.size() - s.offset;
    s.fragment = left < FragmentPayload ? left : FragmentPayload;
    int length = HeaderSize + static_cast<int>(s.fragment);
    putHeader(Datagram, s.fragment == left ? FlagLastFragment : FlagReliable, length, s.fragmentOut);
    memcpy(Datagram + HeaderSize, s.message.data() + s.offset, s.fragment);
    sendDatagram(s.dataSock, s.proxy, Datagram, length);
    s.waitingAck = true;
    s.sentNs = run.nowNs;
}

void sendNextMessage() {
    if (s.waitingAck || s.queue.empty() || !s.connected) return;
    s.message = std::move(s.queue.front());
    s.queue.pop_front();
    s.offset = 0;
    sendFragment();
}

void queueMessage(Message message) {
    s.queue.push_back(std::move(message));
    sendNextMessage();
}

void takeAck(uint32_t number) {
    if (!s.waitingAck || number != s.fragmentOut) return;
    s.fragmentOut++;
    s.offset += s.fragment;
    s.waitingAck = false;
    if (s.offset < s.message.size())
        sendFragment();
    else
        sendNextMessage();
}

void beginGame() {
    s.streaming = true;
    s.levelFirst[s.level] = s.nextIndex;
    s.nextFrameNs = run.nowNs;
    s.nextPrintNs = run.nowNs + NsPerSecond;
}

void takeCommand(const char* text) {
    if (strcmp(text, "prespawn") == 0) {
        for (Message& message : stage2Messages(Stage2Bytes)) queueMessage(std::move(message));
    } else if (strncmp(text, "spawn", 5) == 0) {
        queueMessage(stage3Message(1.0f + static_cast<float>(s.nextIndex) / static_cast<float>(run.rate)));
    } else if (strcmp(text, "begin") == 0) {
        beginGame();
    }
}

// The host's string commands, acked; a repeated fragment is acked again and not run again.
void takeReliable(const uint8_t* d, int length) {
    if (!ackReliable(s.dataSock, s.proxy, d, &s.reliableIn)) return;
    for (int at = HeaderSize; at < length && d[at] == ClcStringCmd;) {
        const char* text = reinterpret_cast<const char*>(d + at + 1);
        size_t textLength = strnlen(text, static_cast<size_t>(length - at - 1));
        if (at + 1 + static_cast<int>(textLength) >= length) return;  // no terminating zero
        takeCommand(text);
        at += 2 + static_cast<int>(textLength);
    }
}

void sendGameFrame() {
    static uint8_t Datagram[GameDatagramSize];
    uint32_t index = s.nextIndex++;
    buildGameDatagram(Datagram, index, s.level, run.rate, s.unreliableOut++);
    if (s.sentAtNs.size() <= index) s.sentAtNs.resize(index + 1024);
    s.sentAtNs[index] = monotonicNs();
    sendDatagram(s.dataSock, s.proxy, Datagram, GameDatagramSize);
    sendDatagram(s.forwarderSock, s.forwarder, Datagram, GameDatagramSize);
}

// The level ends: the clients are told to reconnect and given the next level's server information.
void changeLevel() {
    s.changeDueNs = 0;
    stopStreaming();
    s.level++;
    queueMessage(textMessage(SvcStuffText, "reconnect\n"));
    queueMessage(serverInfoMessage(s.level));
}

}  // namespace

void serverTakesControl(const uint8_t* d, int length, const sockaddr_in& from) {
    if (length < 5 || d[4] != 0x01) return;
    int port = boundPort(s.dataSock);
    uint8_t accept[] = {0x80, 0, 0, 9, 0x81, static_cast<uint8_t>(port), static_cast<uint8_t>(port >> 8), 0, 0};
    sendDatagram(s.controlSock, from, accept, sizeof accept);
    if (s.connected) return;  // a retry: its accept was lost
    s.connected = true;
    s.proxy = from;
    s.level = 1;
    queueMessage(serverInfoMessage(s.level));
}

void serverTakesDatagram(const uint8_t* d, int length, const sockaddr_in& from) {
    if (!s.connected || !sameAddress(from, s.proxy) || length < HeaderSize || readLength(d) != length) return;
    if (d[1] == FlagAck) takeAck(readSequence(d));
    if (d[1] == FlagReliable || d[1] == FlagLastFragment) takeReliable(d, length);
}

void serverTick(int64_t nowNs) {
    if (s.waitingAck && nowNs - s.sentNs > ResendNs) sendFragment();
    if (s.changeDueNs != 0 && nowNs >= s.changeDueNs) changeLevel();
    if (!s.streaming) return;
    // Frames the loop was late for go at once: the rate holds, and each is timed when it leaves.
    for (; nowNs >= s.nextFrameNs; s.nextFrameNs += NsPerSecond / run.rate) sendGameFrame();
    if (nowNs >= s.nextPrintNs) {
        queueMessage(printMessage(s.nextPrint++));
        s.nextPrintNs += NsPerSecond;
    }
}

void startIntermission(int64_t nowNs) {
    queueMessage(Message{SvcIntermission});
    s.changeDueNs = nowNs + IntermissionNs;
}

void stopStreaming() {
    if (s.streaming) s.levelEnd[s.level] = s.nextIndex;
    s.streaming = false;
}
