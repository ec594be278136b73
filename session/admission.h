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

// What belongs to one host client's connection and starts anew with the next.
struct HostConnection {
    bool transparentMode = false;  // proxy commands go on to the next proxy of a chain
};
extern HostConnection hostConnection;

void resetAdmission();

// Binds slot 0's socket to the listening address. False when the bind fails.
bool openListeningSocket();
// Start-up: the address text server-information replies give (no lookup per request).
void settleServerInfoAddress();

void handleListeningPort(int length);
// The listening socket's return after it could not be made again; run on every pass.
void runAdmissionTimers();
// Milliseconds until runAdmissionTimers has something due, -1 when nothing is.
int admissionWaitMs();
