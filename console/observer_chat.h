// Observer commands and chat, and the fixed texts for observers.
#pragma once

#include <cstdint>

// Rebuilds the WelcomeBlock with the host's new name.
void rebuildWelcomeBlock();
// The host and the used observer slots, to the observer `slot`.
void answerStatus(int slot);
// "name ..." from any slot: the new name is cleaned and cut; the host's rebuilds the WelcomeBlock,
// an observer's change is announced.
void renameSlot(int slot, const char* command);
void observerChat(int slot, const char* text);
// An observer's text that begins "proxy:": only "voffset 0 [x] [y] [z]" is answered.
void observerProxyCommand(int slot, const char* text);
