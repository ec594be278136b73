// The listening port: server information and the admission of the host client and observers.
#pragma once

#include <cstdint>

constexpr uint8_t CCREQ_CONNECT = 0x01;
constexpr uint8_t CCREQ_SERVER_INFO = 0x02;
constexpr uint8_t CCREP_ACCEPT = 0x81;
constexpr uint8_t CCREP_REJECT = 0x82;
constexpr uint8_t CCREP_SERVER_INFO = 0x83;

// While the listening socket cannot be made again, it is tried at least this often.
constexpr int ListenerRetryMs = 1000;
// A connect request from the host's machine on a new port, while the host has been silent this
// long, is the player's game restarted.
constexpr uint32_t HostRestartSilenceSeconds = 10;
// A keep-alive unanswered this long: the client is not there (a reply takes one round trip).
constexpr uint32_t KeepAliveAnswerMs = 1000;
constexpr uint32_t ObserverChatIntervalMs = 2000;

// What belongs to one host client's connection and starts anew with the next.
struct HostConnection {
    bool transparentMode = false;  // proxy commands go on to the next proxy of a chain
    bool loggedIn = false;         // said the password (-P); without one nobody needs to
};
extern HostConnection hostConnection;

void resetAdmission();

// Binds slot 0's socket to the listening address. False when the bind fails.
bool openListeningSocket();
// Start-up: the address text server-information replies give (no lookup per request).
void settleServerInfoAddress();

void handleListeningPort(int length);
// May the client in slot k be the host (-H)?
bool mayHost(int k);
// The host's game is gone without a word: silent over HostRestartSilenceSeconds with a keep-alive
// unanswered for KeepAliveAnswerMs, or its slot already released for silence.
bool hostGoneSilent();
// Observer k takes the host's place where it stands, its socket and numbers with it. Only for a host
// connection without a server (never had one, or it was let go), so nothing of a server's stream is
// on its way to it.
void moveObserverToHost(int k);
// The listening socket's return after it could not be made again; run on every pass.
void runAdmissionTimers();
// Milliseconds until runAdmissionTimers has something due, -1 when nothing is.
int admissionWaitMs();
