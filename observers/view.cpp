// View offsets and their impulses, the observers' view from the host's moves, and the smoothed
// host view of observing mode.
#include "observers/view.h"

#include <cmath>
#include <cstring>

#include "core/settings.h"
#include "net/batch.h"
#include "net/framing.h"
#include "net/senders.h"
#include "net/slots.h"
#include "observers/scanner.h"
#include "observers/stream.h"

namespace {

constexpr uint8_t ClcMove = 3;
constexpr uint8_t SvcSetAngle = 10;
constexpr int MoveAnglesOffset = 5;  // payload offset of pitch, yaw, roll in a clc_move
constexpr uint32_t SmoothingDelayMs = 100;

// Angles travel as bytes, shorts or float degrees depending on the protocol; they meet here in
// units of 65536 to the circle, where an offset byte is worth 256 units.
constexpr double UnitsPerCircle = 65536.0;

double readAngleUnits(const uint8_t* p, int size) {
    if (size == 1) return p[0] * 256.0;
    if (size == 2) return double(uint16_t(p[0] | p[1] << 8));
    float degrees;
    uint32_t bits = readLong(p);
    std::memcpy(&degrees, &bits, sizeof degrees);
    // The host's own client wrote it, but a NaN or a huge value must not reach an integer conversion.
    if (!std::isfinite(degrees)) return 0.0;
    return std::fmod(double(degrees), 360.0) * (UnitsPerCircle / 360.0);
}

void writeAngleUnits(uint8_t* p, int size, double units) {
    if (size == 1) {
        p[0] = uint8_t(int64_t(std::floor(units / 256.0 + 0.5)));
    } else if (size == 2) {
        uint16_t value = uint16_t(int64_t(std::floor(units + 0.5)));
        p[0] = uint8_t(value);
        p[1] = uint8_t(value >> 8);
    } else {
        float degrees = float(units * (360.0 / UnitsPerCircle));
        uint32_t bits;
        std::memcpy(&bits, &degrees, sizeof bits);
        writeLong(p, bits);
    }
}

bool isMove(const uint8_t* datagram, int length) {
    return length > HeaderSize && isDataDatagram(datagram) && isUnreliableDatagram(datagram) &&
           datagram[HeaderSize] == ClcMove;
}

int lastSlotVisited() { return settings.slotLimit < SlotCount ? settings.slotLimit : SlotCount - 1; }

}  // namespace

ObservingState observing;
DemoView demoView;

void resetView() {
    observing = ObservingState();
    demoView = DemoView();
}

void setDemoView(const uint8_t* angles, int angleBytes) {
    for (int i = 0; i < 3; ++i) {
        const uint8_t* a = angles + i * angleBytes;
        float degrees;
        if (angleBytes == 1) {
            degrees = float(a[0]) * 1.40625f;
        } else if (angleBytes == 2) {
            degrees = float(uint16_t(a[0] | a[1] << 8)) * (360.0f / 65536.0f);
        } else {
            uint32_t bits = readLong(a);
            memcpy(&degrees, &bits, sizeof degrees);
        }
        demoView.angles[i] = degrees;
    }
}

void writeDemoView(uint8_t* record) {
    for (int i = 0; i < 3; i++) {
        uint32_t bits;
        std::memcpy(&bits, &demoView.angles[i], sizeof bits);
        writeLong(record + 4 + 4 * i, bits);
    }
}

bool changeOffsetByImpulse(int8_t offset[3], int impulse) {
    struct Change {
        int axis;
        int step;
    };
    static const Change Changes[12] = {
        {0, -1}, {0, -16}, {0, 16}, {0, 1},    // impulses 1-4: x
        {1, 1},  {1, 16},  {1, -16}, {1, -1},  // 5-8: y
        {2, -1}, {2, -16}, {2, 16}, {2, 1},    // 9-12: z
    };
    if (impulse < 1 || impulse > 12) return false;
    const Change& change = Changes[impulse - 1];
    offset[change.axis] = int8_t(uint8_t(offset[change.axis] + change.step));
    return true;
}

void applyViewImpulse(int slot, int length, const MoveLayout& move) {
    int impulseAt = HeaderSize + move.impulseOffset;
    if (slot < 0 || slot >= SlotCount || !isMove(PacketBuffer, length) || length <= impulseAt) return;
    Slot& s = slotTable.slot[slot];
    if (s.state != SlotInGame || !changeOffsetByImpulse(s.viewOffset, PacketBuffer[impulseAt])) return;
    printfToSlot(slot, "View offset: x=%d y=%d z=%d\n", s.viewOffset[0], s.viewOffset[1], s.viewOffset[2]);
}

void feedObserverViews(int length) {
    MoveLayout move = moveLayout();
    const uint8_t* hostAngles = PacketBuffer + HeaderSize + MoveAnglesOffset;
    if (!isMove(PacketBuffer, length) || length < HeaderSize + MoveAnglesOffset + 3 * move.angleBytes) return;
    double hostUnits[3];
    for (int i = 0; i < 3; i++) hostUnits[i] = readAngleUnits(hostAngles + i * move.angleBytes, move.angleBytes);

    int angleBytes = serverAngleBytes();
    int setAngleLength = HeaderSize + 1 + 3 * angleBytes;
    static_assert(HeaderSize + 1 + 3 * 4 <= platform::MaxBatchHead, "a setangle is a batch's head");
    uint8_t view[platform::MaxBatchHead] = {0, FlagUnreliable};
    setLengthField(view, setAngleLength);
    view[HeaderSize] = SvcSetAngle;
    gatherCopies();  // one call for all of them
    for (int i = FirstObserverSlot; i <= lastSlotVisited(); i++) {
        Slot& s = slotTable.slot[i];
        // An observer holding fire looks around on its own.
        if (s.state != SlotInGame || (s.moveButtons & 1) != 0) continue;
        for (int a = 0; a < 3; a++)
            writeAngleUnits(view + HeaderSize + 1 + a * angleBytes, angleBytes, hostUnits[a] + s.viewOffset[a] * 256.0);
        stampNext(view, s.unreliableSeq);
        sendCopy(i, view, setAngleLength, nullptr, 0);
    }
    sendGatheredCopies();
}

void takeHostMove(int length, bool toObservers) {
    if (recording()) setDemoView(PacketBuffer + HeaderSize + MoveAnglesOffset, moveLayout().angleBytes);
    if (toObservers && slotTable.observerCount != 0) feedObserverViews(length);
}

bool smoothHostView(uint32_t nowMs, uint8_t angles[3]) {
    ObservingState& o = observing;
    while (o.readIndex != o.writeIndex && nowMs - o.ring[o.readIndex].timeMs > SmoothingDelayMs)
        o.readIndex = (o.readIndex + 1) % AngleRingSize;
    if (o.readIndex == o.writeIndex) return false;

    const ObservingState::Sample& next = o.ring[o.readIndex];
    const ObservingState::Sample& prev = o.ring[(o.readIndex + AngleRingSize - 1) % AngleRingSize];
    uint32_t spanMs = next.timeMs - prev.timeMs;
    double f = spanMs == 0 ? 0.0 : (double(uint32_t(nowMs - prev.timeMs)) - SmoothingDelayMs) / double(spanMs);
    const int8_t* offset = hostSlot().viewOffset;
    for (int i = 0; i < 3; i++) {
        int d = int8_t(uint8_t(next.setangle[i + 1] - prev.setangle[i + 1]));  // the shorter way round
        // f is unbounded for stale samples: only the low 8 bits of the step matter, and int64 holds it.
        int64_t step = int64_t(std::floor(d * f + 0.5));
        angles[i] = uint8_t(offset[i] + prev.setangle[i + 1] + step);
    }
    return true;
}

void storeAngleSample(const uint8_t setangle[4], uint32_t nowMs) {
    ObservingState& o = observing;
    // A full ring would wrap onto the sample before the read index, which interpolation still
    // needs, and then read as empty: drop the oldest sample instead.
    if (o.writeIndex == (o.readIndex + AngleRingSize - 1) % AngleRingSize)
        o.readIndex = (o.readIndex + 1) % AngleRingSize;
    ObservingState::Sample& sample = o.ring[o.writeIndex];
    std::memcpy(sample.setangle, setangle, sizeof sample.setangle);
    sample.timeMs = nowMs;
    o.writeIndex = (o.writeIndex + 1) % AngleRingSize;
}
