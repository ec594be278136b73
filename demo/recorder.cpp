// The demo recorder: opens, fills and closes the per-level demo files.
#include "demo/recorder.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/print.h"
#include "net/framing.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/scanner.h"
#include "observers/view.h"

RecorderState recorder;

namespace {

constexpr uint8_t SvcDisconnect = 2;
constexpr uint8_t SvcPrint = 8;

const char CreditText[] = "\x02\n" SKOPOS_BAR "\nThis demo file was recorded with\n" SKOPOS_VISIT SKOPOS_BAR "\n";
// svc_print, the text, its zero.
constexpr int CreditMessageLength = 1 + int(sizeof CreditText);

// At most this many numbers are tried past files already there at one opening: a folder full of
// old demos costs a level change no more than that many refused creations.
constexpr int MaxNameTries = 1000;

void writeBlockHeader(uint8_t* block, uint32_t length) {
    setRecordLength(block, length);
    writeDemoView(block);
}

PRINTF_FORMAT(1, 2) void tellHostAndConsole(const char* format, ...) {
    char text[2 * TextStoreSize + 96];
    va_list arguments;
    va_start(arguments, format);
    int length = formatTextArgs(text, sizeof text, format, arguments);
    va_end(arguments);
    printToHost(text, length + 1);
    consolePrintf("%s", text);
}

// Closes the file and says how it ended: whole, or cut short (`whole` false or a failed close) for
// `why` or the file error. Either way recording stays armed for the next level.
void closeDemoFile(bool whole, const char* why = nullptr) {
    char reason[96];
    // Before the close touches the file error.
    formatText(reason, sizeof reason, "%s", why != nullptr ? why : platform::lastFileError());
    if (!platform::closeFile(recorder.demoFile) && whole) {
        whole = false;
        formatText(reason, sizeof reason, "%s", platform::lastFileError());
    }
    recorder.demoFile = platform::NoFile;
    if (whole)
        tellHostAndConsole("Completed %s.\n", recorder.demoFileName);
    else
        tellHostAndConsole("Unable to write %s: %s.\n", recorder.demoFileName, reason);
}

bool writeOrFail(const void* data, size_t length) {
    if (!recording()) return false;
    if (platform::writeFile(recorder.demoFile, data, length)) return true;
    closeDemoFile(false);
    return false;
}

// Built in a store of their own: a reliable message half gathered in the CaptureBuffer survives.
bool writeCreditBlock() {
    uint8_t block[RecordHeaderSize + CreditMessageLength];
    writeBlockHeader(block, CreditMessageLength);
    block[RecordHeaderSize] = SvcPrint;
    std::memcpy(block + RecordHeaderSize + 1, CreditText, sizeof CreditText);
    return writeOrFail(block, sizeof block);
}

bool writeClosingBlock() {
    uint8_t block[RecordHeaderSize + 1];
    writeBlockHeader(block, 1);
    block[RecordHeaderSize] = SvcDisconnect;
    return writeOrFail(block, sizeof block);
}

bool writeRecord(const uint8_t* record) { return writeOrFail(record, RecordHeaderSize + recordLength(record)); }

// The level so far: its server information, each stage-2 message as a block of its own, the state block.
void writeCatchUpRecords() {
    if (!writeRecord(catchUpRecord(1))) return;
    for (int part = 0; part < stage2MessageCount(); part++)
        if (!writeRecord(stage2Message(part))) return;
    if (buildStateBlock(stateBlockRecord(), MaxStateBlockSize)) writeRecord(stateBlockRecord());
}

// Creates the first free "%s%02d.dem" from demoNumber on and leaves demoNumber after it. Never
// opens an existing file: another run's demo, or another proxy's in the same folder, is kept.
bool createNextFile() {
    for (int tries = 0; tries < MaxNameTries; tries++) {
        int n = settings.demoNumber++;
        // A base name set without the length check, or a number past 99, could still make a name
        // too long for the store: such a file is refused rather than opened under a cut name.
        int nameLength = std::snprintf(recorder.demoFileName, TextStoreSize, "%s%02d.dem", settings.demoname, n);
        if (nameLength >= TextStoreSize) return false;
        bool exists = false;
        recorder.demoFile = platform::createNewFile(recorder.demoFileName, exists);
        if (recording()) return true;
        if (!exists) return false;
    }
    return false;
}

}  // namespace

void resetRecorder() { recorder = RecorderState{}; }

bool recording() { return recorder.demoFile != platform::NoFile; }

void startRecording() {
    if (!gameState.protocolKnown) return;
    if (recording()) stopRecording();  // never leave a file open behind us
    if (!createNextFile()) {
        tellHostAndConsole("Unable to open %s.\n", recorder.demoFileName);
        return;
    }
    tellHostAndConsole("Recording to %s.\n", recorder.demoFileName);
    if (!writeOrFail("-1\n", 3) || !writeCreditBlock()) return;
    // Without the whole of the level's signon the file waits for the next level's own.
    if (hostSlot().state > 3 && catchUpRecordsValid()) writeCatchUpRecords();
}

void stopRecording() {
    if (recording() && writeCreditBlock() && writeClosingBlock()) closeDemoFile(true);
}

void cutRecording(const char* why) {
    // Ended as a file that plays; a write that fails has closed it and said so already.
    if (recording() && writeCreditBlock() && writeClosingBlock()) closeDemoFile(false, why);
}

void endRecording() {
    settings.demoNumber = 0;
    if (recording()) stopRecording();
}

bool recordTo(const char* name) {
    if (recording()) stopRecording();
    if (!setDemoName(name)) return false;
    settings.demoNumber = 1;
    bool inLevel = slotTable.serverConnected && hostSlot().state >= SlotInGame;
    if (!inLevel || !gameState.protocolKnown || !catchUpRecordsValid()) return false;
    startRecording();
    return true;
}

void recordMessage(const uint8_t* message, int length) {
    if (!recording() || length < 0) return;
    uint8_t header[RecordHeaderSize];
    writeBlockHeader(header, uint32_t(length));
    if (writeOrFail(header, sizeof header)) writeOrFail(message, size_t(length));
}

// Level changes end one file and open the next; recording armed while no file is open begins with
// the next level it can read.
void recordStreamMessage(const uint8_t* message, int length, bool newLevel, bool wasInLevel) {
    if (!recording()) {
        if (newLevel && settings.demoNumber != 0 && gameState.protocolKnown && slotTable.serverConnected) {
            startRecording();
            recordMessage(message, length);
        }
        return;
    }
    if (newLevel) {
        if (!gameState.protocolKnown) {
            stopRecording();
            recorder.fileAwaitsLevel = false;
            return;
        }
        if (wasInLevel && !recorder.fileAwaitsLevel) {
            stopRecording();
            startRecording();
        }
        recorder.fileAwaitsLevel = false;
    }
    if (gameState.protocolKnown) recordMessage(message, length);
}

void recordReconnect() {
    consolePrintf("Received reconnect.\n");
    stopRecording();
    startRecording();
    recorder.fileAwaitsLevel = true;
}

void recordUnreliable(const uint8_t* payload, int length) {
    if (recording() && gameState.protocolKnown) recordMessage(payload, length);
}

void playRecordCommand(const char* name) {
    if (name == nullptr)
        endRecording();
    else
        recordTo(name);
}

bool isPlainFileName(const char* name) {
    if (name == nullptr || name[0] == '\0' || name[0] == '.' || std::strstr(name, "..") != nullptr) return false;
    for (const char* p = name; *p != '\0'; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 || c == 0x7F || c == '/' || c == '\\' || c == ':') return false;
    }
    return true;
}

bool setDemoName(const char* name) {
    if (name == nullptr) return false;
    size_t length = strnlen(name, TextStoreSize);
    if (length > size_t(MaxDemoBaseName)) return false;
    std::memcpy(settings.demoname, name, length);
    settings.demoname[length] = '\0';
    return true;
}
