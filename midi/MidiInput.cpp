#include "midi/MidiInput.h"

#include "platform/OxTime.h"

namespace Lk {

namespace {

constexpr unsigned char SYSEX_START = 0xF0;
constexpr unsigned char SYSEX_END = 0xF7;
constexpr unsigned char TIMING_CLOCK = 0xF8;
constexpr unsigned char ACTIVE_SENSING = 0xFE;

bool isStatus(unsigned char byte) {
    return byte >= 0x80;
}

// Note Off, Note On, Poly Pressure, Control Change, Pitch Bend: the three-byte channel
// messages that a packet usually holds whole.
bool isThreeByteChannelStatus(unsigned char byte) {
    const int kind = byte >> 4;
    return (kind >= 0x8 && kind <= 0xB) || kind == 0xE;
}

} // namespace

TMidiInputBase::TMidiInputBase(MidiDeviceDescriptor* descriptor) : TMidiDeviceBase(descriptor) {
    // Allocated once: the receive path never allocates (a message is at most one chunk).
    buffer.setCapacity(MAX_CHUNK + BUFFER_GROWTH, 0, 0);
}

unsigned long long TMidiInputBase::getTimestamp() {
    return static_cast<unsigned>(getMilliTime() - startTime);
}

void TMidiInputBase::onClose() {
    OxScopedLock hold(receiveLock);
    buffer.count = 0;
    state = Idle;
    runningStatus = 0;
}

int TMidiInputBase::parseAndDispatch(const unsigned char* data, int length) {
    if (dataListener.load(std::memory_order_acquire) == nullptr)
        return -1;
    if (data == nullptr || length <= 0)
        return 0;
    if (length == 1)
        return parseAndDispatch(data[0]);
    // A whole channel message in one packet goes out as it stands. Only with an empty
    // buffer: stray bytes waiting there must be flushed first, in order.
    if (length == 3 && state == Idle && buffer.count == 0 && isThreeByteChannelStatus(data[0]) &&
        !isStatus(data[1]) && !isStatus(data[2])) {
        runningStatus = data[0];
        deliver(data, 3);
        return 3;
    }
    int delivered = 0;
    for (int i = 0; i < length; ++i)
        delivered += parseAndDispatch(data[i]);
    return delivered;
}

int TMidiInputBase::parseAndDispatch(unsigned char byte) {
    return isStatus(byte) ? parseStatusByte(byte) : parseDataByte(byte);
}

int TMidiInputBase::parseStatusByte(unsigned char byte) {
    const int length = ShortMidiMessageLength(byte);
    const bool endsSystemExclusive = byte == SYSEX_END && state == SystemExclusive;
    if (length == 1 || (length == 0 && byte != SYSEX_START && !endsSystemExclusive)) {
        // Real-time, tune request, undefined and stray end bytes stand alone; a message
        // under assembly around them continues.
        if (passesFilter(byte))
            deliver(&byte, 1);
        return 1;
    }
    if (endsSystemExclusive) {
        buffer.append(byte);
        state = Idle;
        return deliverBuffer();
    }
    // A new message: whatever was under assembly goes out unfinished.
    const int flushed = buffer.count > 0 ? deliverBuffer() : 0;
    startMessage(byte);
    return flushed;
}

int TMidiInputBase::parseDataByte(unsigned char byte) {
    if (buffer.count == 0 && runningStatus != 0 && state != SystemExclusive)
        startMessage(runningStatus);
    buffer.append(byte);
    const int n = buffer.count;
    const bool complete =
        (n == 3 && state == ThreeByteMessage) || (n == 2 && state == TwoByteMessage);
    if (!complete && n < MAX_CHUNK)
        return 0;
    // A longer delivery is a System Exclusive chunk (or stray data): the state stays.
    if (n <= 3)
        state = Idle;
    return deliverBuffer();
}

void TMidiInputBase::startMessage(unsigned char status) {
    buffer.append(status);
    switch (ShortMidiMessageLength(status)) {
    case 3:
        state = ThreeByteMessage;
        runningStatus = status;
        break;
    case 2:
        state = TwoByteMessage;
        runningStatus = status;
        break;
    default: // only SYSEX_START comes here
        state = SystemExclusive;
        break;
    }
}

bool TMidiInputBase::passesFilter(unsigned char byte) const {
    if (byte == TIMING_CLOCK)
        return timingClock.load(std::memory_order_relaxed) != 0;
    if (byte == ACTIVE_SENSING)
        return activeSensing.load(std::memory_order_relaxed) != 0;
    return true;
}

void TMidiInputBase::deliver(const unsigned char* data, int length) {
    if (TMidiDeviceDataListener* l = dataListener.load(std::memory_order_acquire))
        l->OnMidiDeviceMessage(this, getTimestamp(), data, length);
}

int TMidiInputBase::deliverBuffer() {
    const int n = buffer.count;
    // Emptied before the call, so that the listener finds the parser consistent.
    buffer.count = 0;
    deliver(buffer.data, n);
    return n;
}

} // namespace Lk
