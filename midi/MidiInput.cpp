#include "midi/MidiInput.h"

#include "platform/OxTime.h"

#include <cstring>

namespace Lk {

namespace {

constexpr unsigned char SYSEX_START = 0xF0;
constexpr unsigned char SYSEX_END = 0xF7;
constexpr unsigned char TIMING_CLOCK = 0xF8;
constexpr unsigned char ACTIVE_SENSING = 0xFE;

bool isStatus(unsigned char byte) {
    return byte >= 0x80;
}

// The length of a channel message with this status (Program Change and Channel Pressure
// have one data byte, the others two); 0 for any other byte. The packet loop's own test,
// cheaper than the general table.
int channelMessageLength(unsigned char byte) {
    if (byte < 0x80 || byte >= 0xF0)
        return 0;
    return (byte & 0xE0) == 0xC0 ? 2 : 3;
}

// Whether the data bytes of a message, one or two from `p` on, are all data bytes; the one
// byte of a short message is checked twice rather than branching on the length.
bool areDataBytes(const unsigned char* p, int count) {
    return !isStatus(p[0] | p[count - 1]);
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
    OxScopedLock hold(useLock);
    buffer.count = 0;
    state = Idle;
    runningStatus = 0;
}

int TMidiInputBase::parseAndDispatch(const unsigned char* data, int length) {
    if (dataListener.load(std::memory_order_acquire) == nullptr)
        return -1;
    if (data == nullptr || length <= 0)
        return 0;
    deliveryTime = getTimestamp();
    // A listener that closes this port stops the packet: Close cannot wait for its own
    // caller, and nothing may arrive from a closed port.
    void* const openHandle = GetHandle();
    // The common cases skip the byte parser with the same result: channel messages that
    // lie whole in the packet (with or without running status) go out at once, and System
    // Exclusive data is appended a run at a time. Only with an empty buffer: stray bytes
    // waiting there must be flushed first, in order.
    const unsigned char* p = data;
    const unsigned char* const end = data + length;
    int delivered = 0;
    while (p < end && GetHandle() == openHandle) {
        int taken = 0;
        if (state == SystemExclusive)
            taken = appendSystemExclusiveData(p, static_cast<int>(end - p), delivered);
        else if (state == Idle && buffer.count == 0)
            taken = deliverWholeChannelMessage(p, static_cast<int>(end - p), delivered);
        if (taken > 0) {
            p += taken;
            continue;
        }
        delivered += parseByte(*p++);
    }
    return delivered;
}

inline int TMidiInputBase::deliverWholeChannelMessage(const unsigned char* p, int available,
                                                      int& delivered) {
    const int length = channelMessageLength(*p);
    if (length > 0) {
        if (length > available || !areDataBytes(p + 1, length - 1))
            return 0;
        runningStatus = *p;
        deliver(p, length);
        delivered += length;
        return length;
    }
    const int withRunningStatus = channelMessageLength(runningStatus);
    if (withRunningStatus == 0 || withRunningStatus - 1 > available ||
        !areDataBytes(p, withRunningStatus - 1))
        return 0;
    const unsigned char message[3] = {
        runningStatus, p[0], static_cast<unsigned char>(withRunningStatus == 3 ? p[1] : 0)};
    deliver(message, withRunningStatus);
    delivered += withRunningStatus;
    // The bytes taken from the packet: the status came from the running status.
    return withRunningStatus - 1;
}

int TMidiInputBase::appendSystemExclusiveData(const unsigned char* p, int available,
                                              int& delivered) {
    const int room = MAX_CHUNK - buffer.count;
    int run = 0;
    while (run < available && run < room && !isStatus(p[run]))
        ++run;
    if (run == 0)
        return 0;
    std::memcpy(buffer.data + buffer.count, p, static_cast<size_t>(run));
    buffer.count += run;
    if (buffer.count == MAX_CHUNK)
        delivered += deliverBuffer();
    return run;
}

int TMidiInputBase::parseAndDispatch(unsigned char byte) {
    deliveryTime = getTimestamp();
    return parseByte(byte);
}

int TMidiInputBase::parseByte(unsigned char byte) {
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
        l->OnMidiDeviceMessage(this, deliveryTime, data, length);
}

int TMidiInputBase::deliverBuffer() {
    const int n = buffer.count;
    // Emptied before the call, so that the listener finds the parser consistent.
    buffer.count = 0;
    deliver(buffer.data, n);
    return n;
}

} // namespace Lk
