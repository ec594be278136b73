// The program: start up, run the event loop until the console break, shut down.
#include "core/loop.h"
#include "core/startup.h"

int main(int argc, char** argv) {
    int exitCode = startUp(argc, argv);
    if (exitCode >= 0) return exitCode;
    while (runLoopPass()) {
    }
    return shutDown();
}
