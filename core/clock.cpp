// The clocks of the pass.
#include "core/clock.h"

LoopState loop;

void resetClock() { loop = LoopState(); }
