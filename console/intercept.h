// String-command interception: the proxy's in-game console and the chain of proxies.
#pragma once

#include <cstdint>

enum class MessageMode { Global, Local };

struct ConsoleState {
    MessageMode messageMode = MessageMode::Global;
    const char* commandReply = nullptr;  // the answer to the proxy command being executed
};
extern ConsoleState consoleState;

void resetConsole();

// Walks the clc_stringcmd messages at the head of the payload of the datagram in the PacketBuffer
// from slot `slot`; may cut messages out (the datagram's length field and *length change).
// Returns 1 for "prespawn", 2 for "spawn...", else 0.
int interceptStringCommands(int slot, int* length);
// Cuts the clc_stringcmd at `cursor` (its code byte) out of the datagram; returns the new length.
// The walk goes on at `cursor`, where the next message now stands.
int removeStringCommand(uint8_t* datagram, int length, int cursor);

// Prints a text of any length to a slot: pieces that fit one print, cut after a line break where
// possible. An empty text is sent as an empty print.
void printTextToSlot(const char* text, int slot);
