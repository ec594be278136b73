// Who may be answered and admitted: the answers the listening port may send, the observers per
// address, the kicked addresses, and the console lines about clients refused.
#pragma once

#include <cstdint>

#include "platform/platform.h"

// Answers to requests (server information, accepts, rejects): per source address and in all.
constexpr int AnswersPerSecond = 10;
constexpr int AnswerBurst = 10;
constexpr int AnswersPerSecondInAll = 100;
constexpr uint32_t KickBanSeconds = 10 * 60;

enum class Refusal { TooManyRequests, ObserversFull, NotHostAddress, PerAddress, Kicked, Login, Count };

void resetGate();
// Takes one answer from the address's allowance and the proxy's; false when either is spent.
bool mayAnswer(uint32_t ip);
// One password try a second per address.
bool mayTryLogin(uint32_t ip);
int observersFrom(uint32_t ip);
void banAddress(uint32_t ip);
// Seconds the address is still refused after a kick; 0 when it is not.
uint32_t banSecondsLeft(uint32_t ip);
// One console line per cause and second at most: "Refused a.b.c.d:port: why." The lines held back
// are counted into the next.
void tellRefused(Refusal cause, const platform::NetAddress& who, const char* why);
