// Fuzzes the MIDI input parser. The first input byte chooses the real-time filters and
// the packet sizes, the rest is the byte stream. Checked on every input:
// - the messages do not depend on how the stream is cut into packets, and each carries
//   the time of the packet whose parsing delivered it;
// - every message is well formed: single status bytes stand alone, a channel or system
//   common message is complete unless a new status cut it short, System Exclusive comes
//   in chunks of at most one buffer;
// - every byte arrives exactly once, in order, except the filtered real-time bytes; the
//   only byte added is the running status in front of data bytes that lack one.
#include "midi/MidiInput.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

using namespace Lk;

namespace {

using Bytes = std::vector<unsigned char>;

// Every delivered message, stored back to back so that recording allocates rarely.
struct Recording {
    Bytes bytes;
    std::vector<size_t> ends;      // where each message ends in `bytes`
    std::vector<size_t> positions; // the input byte whose parsing delivered it

    size_t count() const { return ends.size(); }
    bool messageIs(size_t k, const unsigned char* data, size_t length) const {
        const size_t begin = k == 0 ? 0 : ends[k - 1];
        return ends[k] - begin == length && std::equal(data, data + length, bytes.begin() + begin);
    }
    bool messageIs(size_t k, const Bytes& m) const { return messageIs(k, m.data(), m.size()); }
};

// A parser whose packets are numbered: the number stands in for the packet time, so the
// listener can tell which packet each message was stamped with.
class NumberedInput : public TMidiInputBase, public TMidiDeviceDataListener {
public:
    NumberedInput(bool timingClock, bool activeSensing) : TMidiInputBase(nullptr) {
        SetTimingClock(timingClock);
        SetActiveSensing(activeSensing);
        SetDataListener(this);
    }
    int OpenImpl(OxStringList*) override { return 0; }
    int CloseImpl(void*) override { return 1; }
    unsigned long long getTimestamp() override { return packet; }

    int parsePacket(const unsigned char* data, size_t length) {
        const int delivered = parseAndDispatch(data, static_cast<int>(length));
        ++packet;
        packetStart += length;
        return delivered;
    }

protected:
    size_t packet = 0;
    size_t packetStart = 0; // the input byte the packet being parsed starts at
};

[[noreturn]] void fail(const char* what, size_t position) {
    std::fprintf(stderr, "parser fault at input byte %zu: %s\n", position, what);
    std::abort();
}

// Feeds the stream a byte at a time and records what comes out. The recording's storage
// is kept from one input to the next, so a run allocates only when a longer input comes.
class RecordingInput : public NumberedInput {
public:
    RecordingInput(bool timingClock, bool activeSensing, Recording& recording)
        : NumberedInput(timingClock, activeSensing), recording(recording) {
        recording.bytes.clear();
        recording.ends.clear();
        recording.positions.clear();
    }
    void OnMidiDeviceMessage(TMidiInputBase*, unsigned long long time, const unsigned char* data,
                             int length) override {
        if (time != packet)
            fail("message stamped with the time of another packet", packet);
        recording.bytes.insert(recording.bytes.end(), data, data + length);
        recording.ends.push_back(recording.bytes.size());
        recording.positions.push_back(packet);
    }

private:
    Recording& recording;
};

// Feeds the stream in packets and compares each message with the recorded one as it
// arrives: the messages must match one for one, in order, with none left over.
class ComparingInput : public NumberedInput {
public:
    ComparingInput(bool timingClock, bool activeSensing, const Recording& expected)
        : NumberedInput(timingClock, activeSensing), expected(expected) {}
    void OnMidiDeviceMessage(TMidiInputBase*, unsigned long long time, const unsigned char* data,
                             int length) override {
        if (time != packet)
            fail("message stamped with the time of another packet", packetStart);
        if (count >= expected.count() ||
            !expected.messageIs(count, data, static_cast<size_t>(length)))
            fail("packet boundaries changed the messages", packetStart);
        ++count;
    }
    bool gotAll() const { return count == expected.count(); }

private:
    const Recording& expected;
    size_t count = 0;
};

bool isStatus(unsigned char b) {
    return b >= 0x80;
}

bool allData(const Bytes& m, size_t from, size_t to) {
    for (size_t k = from; k < to; ++k)
        if (isStatus(m[k]))
            return false;
    return true;
}

// Status bytes that are delivered alone, whatever is under assembly.
bool standsAlone(unsigned char b) {
    const int length = ShortMidiMessageLength(b);
    return length == 1 || (isStatus(b) && length == 0 && b != 0xF0 && b != 0xF7);
}

bool startsMessage(unsigned char b) {
    const int length = ShortMidiMessageLength(b);
    return b == 0xF0 || length == 2 || length == 3;
}

void checkPacketsGiveSameMessages(const Bytes& stream, bool clock, bool sensing,
                                  const std::vector<int>& sizes, const Recording& expected) {
    ComparingInput input(clock, sensing, expected);
    size_t offset = 0;
    for (size_t k = 0; offset < stream.size(); ++k) {
        const size_t size = static_cast<size_t>(sizes[k % sizes.size()]);
        const size_t n = size < stream.size() - offset ? size : stream.size() - offset;
        input.parsePacket(stream.data() + offset, n);
        offset += n;
    }
    if (!input.gotAll())
        fail("packet boundaries changed the messages", stream.size());
}

// The structure of a message that came out of the parser's buffer.
void checkBufferedMessage(const Bytes& m, unsigned char cause, size_t position) {
    const size_t n = m.size();
    if (n == 0 || n > static_cast<size_t>(TMidiInputBase::MAX_CHUNK))
        fail("message of impossible length", position);
    const bool cutByStatus = isStatus(cause) && startsMessage(cause);
    const int expected = ShortMidiMessageLength(m[0]);
    if (expected == 2 || expected == 3) {
        if (!allData(m, 1, n) || n > static_cast<size_t>(expected))
            fail("malformed short message", position);
        if (n < static_cast<size_t>(expected) && !cutByStatus)
            fail("short message delivered unfinished without a cause", position);
        return;
    }
    if (m[0] != 0xF0 && isStatus(m[0]) && m != Bytes{0xF7})
        fail("message starts with a status that stands alone", position);
    const bool terminated = m.back() == 0xF7 && (n > 1 || m[0] == 0xF7);
    if (!allData(m, m[0] == 0xF0 ? 1 : 0, terminated ? n - 1 : n))
        fail("status byte inside System Exclusive or stray data", position);
    if (!terminated && n < static_cast<size_t>(TMidiInputBase::MAX_CHUNK) && !cutByStatus)
        fail("chunk delivered before the buffer was full", position);
}

// Walks the input and the messages delivered at each byte: every byte must reach the
// listener once, alone or through the buffer, in order, and nothing may be held back.
class StreamChecker {
public:
    StreamChecker(bool clock, bool sensing) : clock(clock), sensing(sensing) {}

    void check(const Bytes& stream, const Recording& delivered) {
        recording = &delivered;
        for (size_t i = 0; i < stream.size(); ++i) {
            first = next;
            while (next < delivered.count() && delivered.positions[next] == i)
                ++next;
            step(stream[i], i);
        }
        if (next != delivered.count())
            fail("message delivered after the input ended", stream.size());
    }

private:
    // The messages delivered at input byte i are first ... next-1.
    void step(unsigned char b, size_t i) {
        if ((b == 0xF8 && !clock) || (b == 0xFE && !sensing)) {
            expectNothing(i);
            return;
        }
        if (standsAlone(b) || (b == 0xF7 && !inSysEx)) {
            if (next - first != 1 || !recording->messageIs(first, Bytes{b}))
                fail("single status byte not delivered alone at once", i);
            return;
        }
        if (startsMessage(b)) {
            if (buffer.empty())
                expectNothing(i);
            else
                expectBuffer(b, i);
            buffer.assign(1, b);
            inSysEx = b == 0xF0;
            if (!inSysEx)
                runningStatus = b;
            return;
        }
        if (buffer.empty() && !inSysEx && runningStatus != 0)
            buffer.push_back(runningStatus);
        buffer.push_back(b);
        if (b == 0xF7) {
            inSysEx = false;
            expectBuffer(b, i);
            return;
        }
        const int length = ShortMidiMessageLength(buffer[0]);
        const size_t n = buffer.size();
        const bool complete = (length == 2 || length == 3) && n == static_cast<size_t>(length);
        if (complete || n == static_cast<size_t>(TMidiInputBase::MAX_CHUNK))
            expectBuffer(b, i);
        else
            expectNothing(i);
    }

    void expectNothing(size_t i) {
        if (next != first)
            fail("message delivered too early, or a byte was added", i);
    }

    void expectBuffer(unsigned char cause, size_t i) {
        if (next - first != 1 || !recording->messageIs(first, buffer))
            fail("message held back, or a byte lost, added or moved", i);
        checkBufferedMessage(buffer, cause, i);
        buffer.clear();
    }

    const bool clock;
    const bool sensing;
    const Recording* recording = nullptr;
    size_t first = 0;
    size_t next = 0;
    Bytes buffer; // what the parser should hold, with the running status it added
    bool inSysEx = false;
    unsigned char runningStatus = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1)
        return 0;
    const bool clock = data[0] & 1;
    const bool sensing = data[0] & 2;
    const Bytes stream(data + 1, data + size);

    static Recording expected;
    RecordingInput byBytes(clock, sensing, expected);
    long returned = 0;
    for (size_t i = 0; i < stream.size(); ++i)
        returned += byBytes.parsePacket(&stream[i], 1);
    const long deliveredBytes = static_cast<long>(expected.bytes.size());
    long filtered = 0;
    for (unsigned char b : stream)
        filtered += (b == 0xF8 && !clock) || (b == 0xFE && !sensing);
    if (returned != deliveredBytes + filtered)
        fail("results do not add up to the delivered bytes", stream.size());
    StreamChecker(clock, sensing).check(stream, expected);

    const int seed = data[0] >> 2;
    const std::vector<std::vector<int>> cuts = {
        {static_cast<int>(stream.size()) + 1}, {3}, {2, 3}, {seed % 7 + 1, 3, seed % 5 + 1, 3}};
    for (const std::vector<int>& sizes : cuts)
        checkPacketsGiveSameMessages(stream, clock, sensing, sizes, expected);
    return 0;
}
