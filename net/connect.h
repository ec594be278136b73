// Control packets and connection set-up: server information, admission of the host client and
// of observers, and the wire side of connecting to a server.
#pragma once

#include <cstdint>

#include "platform/platform.h"

constexpr uint8_t CCREQ_CONNECT = 0x01;
constexpr uint8_t CCREQ_SERVER_INFO = 0x02;
constexpr uint8_t CCREP_ACCEPT = 0x81;
constexpr uint8_t CCREP_REJECT = 0x82;
constexpr uint8_t CCREP_SERVER_INFO = 0x83;

struct ConnectionAddresses {
    platform::NetAddress listening;     // localif:port, the template for every client socket
    platform::NetAddress serverLocal;   // remoteif:0, bound by the server socket
    platform::NetAddress server;        // where everything for the server goes
    platform::NetAddress connectTarget; // where the connect request went: control replies only from here
};
extern ConnectionAddresses addresses;

void resetConnections();

// Binds slot 0's socket to the listening address. False when the bind fails.
bool openListeningSocket();

void handleListeningPort(int length);
void handleServerControl(int length);
// Opens the server socket and sends the connect request to settings.serverAddress:serverPort.
void startServerConnection();
// The 9-byte unreliable clc_disconnect with sequence 0x7FFFFFFF: leaving a server on our own.
void sendLeaveDatagram();
