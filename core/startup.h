// Start-up in its fixed order, the shutdown on a console break, and the reset of all state.
#pragma once

// Returns -1 when the program is to enter the event loop, else the exit code to end with.
int startUp(int argc, const char* const* argv);

// The console break: ends a recording, stops the network library. Returns the exit code (0).
int shutDown();

// Every process-wide structure back to its state before start-up, so one test process can run
// many scenarios.
void resetProxyState();
