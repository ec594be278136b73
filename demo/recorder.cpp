// The demo recorder: opens, fills and closes the per-level demo files.
#include "demo/recorder.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "core/print.h"
#include "net/framing.h"
#include "net/senders.h"
#include "observers/capture.h"
#include "observers/scanner.h"
#include "observers/slots.h"

RecorderState recorder;

namespace {

constexpr uint8_t SvcDisconnect = 2;
constexpr uint8_t SvcPrint = 8;

const char CreditText[] = "\x02\n" SKOPOS_BAR "\nThis demo file was recorded with\n" SKOPOS_VISIT SKOPOS_BAR "\n";
// svc_print, the text, its zero.
constexpr int CreditMessageLength = 1 + int(sizeof CreditText);

void writeBlockHeader(uint8_t* block, uint32_t length) {
    setRecordLength(block, length);
    for (int i = 0; i < 3; i++) {
        uint32_t bits;
        std::memcpy(&bits, &recorder.demoAngles[i], sizeof bits);
        writeLong(block + 4 + 4 * i, bits);
    }
}

// Built in a store of their own: a reliable message half gathered in the CaptureBuffer survives.
void writeCreditBlock() {
    uint8_t block[RecordHeaderSize + CreditMessageLength];
    writeBlockHeader(block, CreditMessageLength);
    block[RecordHeaderSize] = SvcPrint;
    std::memcpy(block + RecordHeaderSize + 1, CreditText, sizeof CreditText);
    platform::writeFile(recorder.demoFile, block, sizeof block);
}

void writeClosingBlock() {
    uint8_t block[RecordHeaderSize + 1];
    writeBlockHeader(block, 1);
    block[RecordHeaderSize] = SvcDisconnect;
    platform::writeFile(recorder.demoFile, block, sizeof block);
}

// A catch-up record as it stands, its length bounded by the record's store.
void writeStoredRecord(const uint8_t* record, uint32_t capacity) {
    uint32_t length = recordLength(record);
    if (length > capacity) length = capacity;
    platform::writeFile(recorder.demoFile, record, RecordHeaderSize + length);
}

void writeCatchUpRecords() {
    buildStateBlock(stateBlockRecord(), StateBlockCapacity);
    writeStoredRecord(catchUpRecord(1), CaptureMessageCapacity);
    writeStoredRecord(catchUpRecord(2), CaptureMessageCapacity);
    writeStoredRecord(catchUpRecord(3), StateBlockCapacity);
}

PRINTF_FORMAT(1, 2) void tellHostAndConsole(const char* format, ...) {
    char text[TextStoreSize + 32];
    va_list arguments;
    va_start(arguments, format);
    int length = formatTextArgs(text, sizeof text, format, arguments);
    va_end(arguments);
    printToHost(text, length + 1);
    consolePrintf("%s", text);
}

}  // namespace

void resetRecorder() { recorder = RecorderState{}; }

void startRecording() {
    if (!gameState.protocolKnown) return;
    if (recording()) stopRecording();  // never leave a file open behind us
    int n = settings.demoNumber;
    settings.demoNumber = n + 1;
    // A base name set without the length check, or a number past 99, could still make a name too
    // long for the store: such a file is refused rather than opened under a cut name.
    int nameLength = std::snprintf(recorder.demoFileName, TextStoreSize, "%s%02d.dem", settings.demoname, n);
    if (nameLength < TextStoreSize) recorder.demoFile = platform::openFileForWrite(recorder.demoFileName);
    if (!recording()) {
        tellHostAndConsole("Unable to open %s.\n", recorder.demoFileName);
        return;
    }
    tellHostAndConsole("Recording to %s.\n", recorder.demoFileName);
    platform::writeFile(recorder.demoFile, "-1\n", 3);
    writeCreditBlock();
    if (hostSlot().state > 3) writeCatchUpRecords();
}

void stopRecording() {
    if (!recording()) return;
    writeCreditBlock();
    writeClosingBlock();
    platform::closeFile(recorder.demoFile);
    recorder.demoFile = platform::NoFile;
    tellHostAndConsole("Completed %s.\n", recorder.demoFileName);
}

void recordMessage(const uint8_t* message, int length) {
    if (!recording() || length < 0) return;
    uint8_t header[RecordHeaderSize];
    writeBlockHeader(header, uint32_t(length));
    platform::writeFile(recorder.demoFile, header, sizeof header);
    platform::writeFile(recorder.demoFile, message, size_t(length));
}

void setDemoAngles(uint8_t pitch, uint8_t yaw, uint8_t roll) {
    const float DegreesPerUnit = 1.40625f;  // 360 / 256
    recorder.demoAngles[0] = pitch * DegreesPerUnit;
    recorder.demoAngles[1] = yaw * DegreesPerUnit;
    recorder.demoAngles[2] = roll * DegreesPerUnit;
}

bool isReconnectOrder(const uint8_t* message, int length) {
    static const uint8_t Order[12] = {9, 'r', 'e', 'c', 'o', 'n', 'n', 'e', 'c', 't', '\n', 0};
    return length >= int(sizeof Order) && std::memcmp(message, Order, sizeof Order) == 0;
}

bool setDemoName(const char* name) {
    if (name == nullptr) return false;
    size_t length = strnlen(name, TextStoreSize);
    if (length > size_t(MaxDemoBaseName)) return false;
    std::memcpy(settings.demoname, name, length);
    settings.demoname[length] = '\0';
    return true;
}
