// The demo recorder: one file per level, in the game's own demo format.
#pragma once

#include <cstdint>

#include "core/settings.h"
#include "platform/platform.h"

struct RecorderState {
    char demoFileName[TextStoreSize] = {};
    platform::File demoFile = platform::NoFile;
};
extern RecorderState recorder;

void resetRecorder();
inline bool recording() { return recorder.demoFile != platform::NoFile; }
// Opens the next free file (an existing one is never opened) and writes its beginning.
void startRecording();
// Ends the file; "Completed" is said only of a file written whole.
void stopRecording();
// Something the host received cannot be written: the file ends here, said as not complete ("Unable
// to write NAME: why."); recording stays armed for the next level.
void cutRecording(const char* why);
// `record stop`: recording off, the file ended.
void endRecording();
// `record NAME` (a name already checked): the file open ends and NAME's first opens now when the
// host is in a level the proxy reads on a connected server (true), else at the next level.
bool recordTo(const char* name);
// One block: N, the angles, the message bytes.
void recordMessage(const uint8_t* message, int length);
// Is the complete reliable message the server's order to reload for a new level?
bool isReconnectOrder(const uint8_t* message, int length);
// A name typed in the game names a file in the demo folder and nothing else: no folder separators,
// no "..", no leading dot, no drive colon, no control characters.
bool isPlainFileName(const char* name);
// Validates and stores a demo base name; false when "%s%02d.dem" could overrun the name store.
bool setDemoName(const char* name);
