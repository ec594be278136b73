// Observer commands and chat, and the fixed texts for observers.
#pragma once

#include <cstdint>

// The ObserverBanner payload with the host's name; returns its length, the zero included.
int formatObserverBanner(uint8_t* buffer, int capacity);
// Rebuilds the WelcomeBlock with the host's new name.
void rebuildWelcomeBlock();
void answerStatus(int slot);
void renameSlot(int slot, const char* command);
void observerChat(int slot, const char* text);
void observerProxyCommand(int slot, const char* text);
