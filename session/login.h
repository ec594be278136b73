// The host's password (-P): the client that says it has the host's commands, and an observer that
// says it takes the host's place from a host that has not.
#pragma once

#include <cstdint>

// A wrong password is answered this late, so answers cannot be raced.
constexpr uint32_t WrongPasswordReplyMs = 1000;

void resetLogin();
bool loginNeeded();
// `login password` said by the client in `slot`: the immediate reply, or null when the reply comes
// later (a wrong password) or went to the new host already (an observer moved to the host's place).
const char* logIn(int slot, const char* password);
// The replies to wrong passwords that are due; run on every pass.
void runLoginTimers();
// Milliseconds until a reply is due, -1 when none waits.
int loginWaitMs();
