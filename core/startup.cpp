// Start-up in its fixed order, the shutdown on a console break, and the reset of all state.
#include "core/startup.h"

#include "console/intercept.h"
#include "core/clock.h"
#include "core/loop.h"
#include "core/print.h"
#include "core/settings.h"
#include "demo/recorder.h"
#include "net/batch.h"
#include "net/framing.h"
#include "net/limiter.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/capture.h"
#include "observers/delay.h"
#include "observers/prints.h"
#include "observers/scanner.h"
#include "observers/view.h"
#include "platform/platform.h"
#include "relay/relay.h"
#include "session/admission.h"
#include "session/gate.h"
#include "session/login.h"
#include "session/server_link.h"
#include "session/teardown.h"

void resetProxyState() {
    resetSettings();
    resetClock();
    resetFraming();
    resetBatches();
    resetSenders();
    resetObserverPrints();
    resetConnections();
    resetAdmission();
    resetGate();
    resetLogin();
    resetSlotTable();
    resetCapture();
    resetGameState();
    resetConsole();
    resetRecorder();
    resetLimiter();
    resetRelays();
    resetView();
    resetDelayLine();
}

int startUp(int argc, const char* const* argv) {
    resetProxyState();
    platform::installBreakHandler();
    CommandLineResult commandLine = readCommandLine(argc, argv);
    if (commandLine != CommandLineResult::Run) return commandLine == CommandLineResult::Exit ? 1 : 0;
    platform::raiseThreadPriority();
    primeBurstBuffers();
    settings.slotLimit = settings.observers + 1;
    checkTimer();
    if (settings.delaySeconds > 0 && !timerAvailable()) {
        consolePrintf("WARNING: Timer not available. Observer delay disabled!!!\n");
    } else if (!setDelaySeconds(settings.delaySeconds)) {
        consolePrintf("ERROR: Not enough memory for a delay of %d seconds.\n", settings.delaySeconds);
        return 1;
    }
    if (!platform::startNetwork()) {
        consolePrintf("ERROR: Unable to initialize Winsock.\n");
        return 1;
    }
    addresses.serverLocal = platform::NetAddress{parseDottedQuad(settings.remoteif), 0};
    if (addresses.serverLocal.ip == 0xFFFFFFFF) {
        consolePrintf("ERROR: -r %s is not an IPv4 address.\n", settings.remoteif);
        return 1;
    }
    // An interface this machine does not have would fail every connect without a word: said now.
    platform::Socket probe = platform::openUdpSocket();
    platform::NetAddress remote = addresses.serverLocal;
    bool remoteUsable = platform::bindSocket(probe, remote);
    platform::closeSocket(probe);
    if (!remoteUsable) {
        consolePrintf("ERROR: Unable to bind to %s:0\n", settings.remoteif);
        return 1;
    }
    addresses.server = platform::NetAddress{settings.serverAddress, uint16_t(settings.serverPort)};
    if (!openListeningSocket()) {
        char dotted[16];
        formatDottedQuad(parseDottedQuad(settings.localif), dotted);
        consolePrintf("ERROR: Unable to bind to %s:%d\n", dotted, settings.port);
        return 1;
    }
    if (settings.port == 0) {
        // The port the system chose is kept for the socket made again after each admission.
        settings.port = addresses.listening.port;
        consolePrintf("Listening on port %d.\n", settings.port);
    }
    settleServerInfoAddress();
    consolePrintf("Waiting for client...\n");
    slotTable.slot[0].state = SlotWaiting;
    readLoopClocks();
    return -1;
}

int shutDown() {
    consolePrintf("\nReceived break - terminating...\n");
    playDelayLineThrough();
    settleEnds();
    if (recording()) stopRecording();
    platform::stopNetwork();
    return 0;
}
