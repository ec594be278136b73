// Byte rates that get through the proxy's bandwidth caps: server datagrams under s2cbps and client
// moves under c2sbps, against what the cap's rule predicts for the same sending schedule.
//
// Usage: limiter_bench PROXY_BINARY [seconds_per_run]
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

#include "bench/loopback.h"

namespace {

struct Schedule {
    int datagramBytes;
    int perSecond;
    int count;
    int toggleFireEvery;  // moves only: 0, or every nth move flips the fire button
};

struct RateFigures {
    int sent = 0;
    int received = 0;
    int64_t receivedBytes = 0;
    int predicted = 0;
};

// The cap's rule: a datagram passes when the clock is past the window its predecessor opened (or,
// for moves, when the buttons changed); the window lasts the time its bytes plus 28 take at `rate`.
int predictPassed(const Schedule& schedule, int rate) {
    if (rate <= 0) return schedule.count;
    int64_t nextMs = -1000000;
    int lastButtons = 0, passed = 0;
    for (int i = 0; i < schedule.count; ++i) {
        int64_t nowMs = int64_t{i} * 1000 / schedule.perSecond;
        int buttons = schedule.toggleFireEvery > 0 ? (i / schedule.toggleFireEvery) % 2 : 0;
        if (nowMs > nextMs || buttons != lastButtons) {
            ++passed;
            nextMs = nowMs + 1000 * (schedule.datagramBytes + 28) / rate;
            lastButtons = buttons;
        }
    }
    return passed;
}

// A fresh proxy with the cap set by the host's own command, then connected to the fake server.
bool startCappedProxy(const char* binary, const char* command, int rate, ProxyProcess* proxy, Session* session) {
    int port = freeLoopbackPort();
    if (port < 0 || !startProxy(proxy, binary, port, nullptr)) return false;
    bool ready = admitClient(session, port);
    if (ready && rate != 0) {
        char text[64];
        snprintf(text, sizeof text, "proxy:%s %d", command, rate);
        ready = sayToProxy(session, text);
        if (ready && strstr(session->lastPrint, "set to") == nullptr) {
            fprintf(stderr, "unexpected reply to \"%s\": \"%s\"\n", text, session->lastPrint);
        }
    }
    ready = ready && connectThroughProxy(session);
    if (ready) drainSocket(session->clientSocket, 50);
    if (!ready) stopProxy(proxy, true);
    return ready;
}

// Sends on `fromSocket` by the schedule while counting what arrives on `toSocket`.
template <typename Build, typename Accept>
void streamAndCount(const Schedule& schedule, int fromSocket, const sockaddr_in& to, int toSocket, Build build,
                    Accept accept, RateFigures* figures) {
    static uint8_t Datagram[MaxBenchDatagram];
    static uint8_t Received[MaxBenchDatagram];
    int64_t startNs = monotonicNs();
    int64_t endNs = startNs + int64_t{schedule.count} * 1000000000 / schedule.perSecond + 200000000;
    while (monotonicNs() < endNs) {
        int64_t nextSendNs = startNs + int64_t{figures->sent} * 1000000000 / schedule.perSecond;
        if (figures->sent < schedule.count && monotonicNs() >= nextSendNs) {
            build(Datagram, figures->sent);
            sendDatagram(fromSocket, to, Datagram, schedule.datagramBytes);
            ++figures->sent;
            continue;
        }
        int64_t deadlineNs = figures->sent < schedule.count ? nextSendNs : endNs;
        int length = receiveBefore(toSocket, Received, sizeof Received, deadlineNs, nullptr);
        if (length >= HeaderSize && accept(Received, length)) {
            ++figures->received;
            figures->receivedBytes += length;
        }
    }
}

// Server side: svc_time then svc_nop filler, unreliable, 20 a second.
void runServerToClient(const Session& session, const Schedule& schedule, RateFigures* figures) {
    uint32_t sequence = 0;
    auto build = [&](uint8_t* datagram, int) {
        putHeader(datagram, FlagUnreliable, schedule.datagramBytes, sequence++);
        datagram[HeaderSize] = 7;
        memset(datagram + HeaderSize + 1, 0, 4);
        memset(datagram + HeaderSize + 5, 1, static_cast<size_t>(schedule.datagramBytes - HeaderSize - 5));
    };
    auto accept = [](const uint8_t* datagram, int length) {
        return length > HeaderSize && datagram[1] == FlagUnreliable && datagram[HeaderSize] == 7;
    };
    streamAndCount(schedule, session.serverDataSocket, session.serverPeer, session.clientSocket, build, accept,
                   figures);
}

// Client side: clc_move (16-byte payload), unreliable, 72 a second.
void runClientToServer(const Session& session, const Schedule& schedule, RateFigures* figures) {
    uint32_t sequence = 0;
    auto build = [&](uint8_t* datagram, int index) {
        putHeader(datagram, FlagUnreliable, schedule.datagramBytes, sequence++);
        uint8_t* move = datagram + HeaderSize;
        memset(move, 0, 16);
        move[0] = 3;
        float time = static_cast<float>(index) / static_cast<float>(schedule.perSecond);
        memcpy(move + 1, &time, 4);
        move[6] = static_cast<uint8_t>(index);  // yaw turns slowly
        move[8] = 200;                          // forward speed
        if (schedule.toggleFireEvery > 0) move[14] = static_cast<uint8_t>((index / schedule.toggleFireEvery) % 2);
    };
    auto accept = [](const uint8_t* datagram, int length) {
        return length == HeaderSize + 16 && datagram[1] == FlagUnreliable && datagram[HeaderSize] == 3;
    };
    streamAndCount(schedule, session.clientSocket, session.clientPeer, session.serverDataSocket, build, accept,
                   figures);
}

void printRow(const char* direction, int rate, const Schedule& schedule, const RateFigures& figures,
              const char* note) {
    double seconds = static_cast<double>(schedule.count) / schedule.perSecond;
    char rateText[16];
    snprintf(rateText, sizeof rateText, rate > 0 ? "%d" : "off", rate);
    printf("%-4s %6s %9d %10.0f %10.0f %6d/%-6d %8d   %s\n", direction, rateText,
           schedule.datagramBytes * schedule.perSecond, static_cast<double>(figures.receivedBytes) / seconds,
           static_cast<double>(figures.predicted) * schedule.datagramBytes / seconds, figures.received, figures.sent,
           figures.predicted, note);
    fflush(stdout);
}

bool measure(const char* binary, bool serverToClient, int rate, const Schedule& schedule, const char* note) {
    ProxyProcess proxy{};
    Session session;
    if (!startCappedProxy(binary, serverToClient ? "s2cbps" : "c2sbps", rate, &proxy, &session)) return false;
    RateFigures figures;
    if (serverToClient) {
        runServerToClient(session, schedule, &figures);
    } else {
        runClientToServer(session, schedule, &figures);
    }
    figures.predicted = predictPassed(schedule, rate);
    stopProxy(&proxy, false);
    closeSession(&session);
    printRow(serverToClient ? "s2c" : "c2s", rate, schedule, figures, note);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        fprintf(stderr, "usage: %s PROXY_BINARY [seconds_per_run]\n", argv[0]);
        return 2;
    }
    double seconds = argc > 2 ? atof(argv[2]) : 2.5;
    seconds = std::min(std::max(seconds, 0.5), 10.0);
    alarm(static_cast<unsigned>(seconds * 12 + 30));  // a hung run ends; the proxies die with the bench
    Schedule server{300, 20, static_cast<int>(seconds * 20), 0};
    Schedule moves{24, 72, static_cast<int>(seconds * 72), 0};
    Schedule firingMoves{24, 72, static_cast<int>(seconds * 72), 9};
    printf("%.1f s per row; bytes are whole datagrams (8-byte header included); rates in bytes/s;\n"
           "rule = what the cap's rule lets through for the same schedule\n", seconds);
    printLoad();
    printf("%-4s %6s %9s %10s %10s %13s %8s\n", "dir", "cap", "sent B/s", "recv B/s", "rule B/s", "recv/sent",
           "rule");
    const int serverCaps[] = {0, 2000, 4000, 8000};
    for (int rate : serverCaps) {
        if (!measure(argv[1], true, rate, server, "300-byte unreliable at 20/s")) return 1;
    }
    const int moveCaps[] = {0, 1000, 500};
    for (int rate : moveCaps) {
        if (!measure(argv[1], false, rate, moves, "clc_move at 72/s")) return 1;
    }
    if (!measure(argv[1], false, 1000, firingMoves, "clc_move at 72/s, fire flips every 9th")) return 1;
    return 0;
}
