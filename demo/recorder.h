// The demo recorder: one file per level, in the game's own demo format. It is a sink of the stream:
// what the capture hands it is declared in observers/stream.h.
#pragma once

#include <cstdint>

#include "core/settings.h"
#include "observers/stream.h"
#include "platform/platform.h"

struct RecorderState {
    char demoFileName[TextStoreSize] = {};
    platform::File demoFile = platform::NoFile;
    // The reconnect order opened the current file for the level now loading: its svc_serverinfo
    // must not open yet another.
    bool fileAwaitsLevel = false;
};
extern RecorderState recorder;

void resetRecorder();
// Opens the next free file (an existing one is never opened) and writes its beginning.
void startRecording();
// Ends the file; "Completed" is said only of a file written whole.
void stopRecording();
// `record stop`: recording off, the file ended.
void endRecording();
// `record NAME` (a name already checked): the file open ends and NAME's first opens now when the
// host is in a level the proxy reads on a connected server (true), else at the next level.
bool recordTo(const char* name);
// One block: N, the angles, the message bytes.
void recordMessage(const uint8_t* message, int length);
// A name typed in the game names a file in the demo folder and nothing else: no folder separators,
// no "..", no leading dot, no drive colon, no control characters.
bool isPlainFileName(const char* name);
// Validates and stores a demo base name; false when "%s%02d.dem" could overrun the name store.
bool setDemoName(const char* name);
