#include "midi/MidiInput.h"
#include "tests/midi/support/MessageRecorder.h"
#include "tests/midi/support/TestMidiFactory.h"

#include <gtest/gtest.h>

#include <memory>

using namespace Lk;

namespace {

class InputParser : public ::testing::Test {
protected:
    InputParser() {
        portId = factory.addPort(1, "Keys In");
        OxOwnedList<MidiDeviceDescriptor*> inputs;
        factory.GetDeviceList(1, inputs);
        port.reset(static_cast<TMidiInputBase*>(inputs[0]->CreateInputDevice()));
        port->SetDataListener(&recorder);
        port->Open(nullptr);
    }

    // Feeds the bytes as the backend would, in packets of `packetSize` (0: one packet),
    // and returns what was delivered.
    std::vector<Bytes> feed(const Bytes& bytes, int packetSize = 0) {
        factory.feed(portId, bytes, packetSize);
        return recorder.take();
    }
    int parse(const Bytes& packet) {
        return port->parseAndDispatch(packet.data(), static_cast<int>(packet.size()));
    }

    TestMidiFactory factory;
    int portId = 0;
    MessageRecorder recorder;
    std::unique_ptr<TMidiInputBase> port;
};

using Messages = std::vector<Bytes>;

} // namespace

TEST(ShortMidiMessageLength, givesTheLengthOfEveryStatusByte) {
    EXPECT_EQ(ShortMidiMessageLength(0x45), 0);
    EXPECT_EQ(ShortMidiMessageLength(0x80), 3);
    EXPECT_EQ(ShortMidiMessageLength(0xAF), 3);
    EXPECT_EQ(ShortMidiMessageLength(0xBF), 3);
    EXPECT_EQ(ShortMidiMessageLength(0xC0), 2);
    EXPECT_EQ(ShortMidiMessageLength(0xD1), 2);
    EXPECT_EQ(ShortMidiMessageLength(0xE3), 3);
    const int system[16] = {0, 2, 3, 2, 0, 0, 1, 0, 1, 0, 1, 1, 1, 0, 1, 1};
    for (int low = 0; low < 16; ++low)
        EXPECT_EQ(ShortMidiMessageLength(0xF0 + low), system[low]) << std::hex << 0xF0 + low;
    EXPECT_EQ(ShortMidiMessageLength(-1), 0);
    EXPECT_EQ(ShortMidiMessageLength(0x190), 0);
}

TEST_F(InputParser, runningStatusCompletesDataBytesWithoutStatus) {
    EXPECT_EQ(feed({0x90, 0x40, 0x7F, 0x41, 0x00}),
              (Messages{{0x90, 0x40, 0x7F}, {0x90, 0x41, 0x00}}));
    EXPECT_EQ(feed({0xC0, 0x05}), (Messages{{0xC0, 0x05}}));
    EXPECT_EQ(feed({0x06}), (Messages{{0xC0, 0x06}}));
    // Tune request stands alone and keeps the running status.
    EXPECT_EQ(feed({0xB0, 0x07, 0x64, 0xF6, 0x0A, 0x40}),
              (Messages{{0xB0, 0x07, 0x64}, {0xF6}, {0xB0, 0x0A, 0x40}}));
    // System common messages take the running status too.
    EXPECT_EQ(feed({0xF2, 0x01, 0x02, 0x03, 0x04}),
              (Messages{{0xF2, 0x01, 0x02}, {0xF2, 0x03, 0x04}}));
}

TEST_F(InputParser, runningStatusCarriesOverFromAWholeMessagePacket) {
    EXPECT_EQ(feed({0x90, 0x40, 0x7F}), (Messages{{0x90, 0x40, 0x7F}}));
    EXPECT_EQ(feed({0x41, 0x00}), (Messages{{0x90, 0x41, 0x00}}));
    EXPECT_EQ(feed({0x42, 0x00}, 1), (Messages{{0x90, 0x42, 0x00}}));
    EXPECT_EQ(feed({0xE1, 0x00, 0x40}), (Messages{{0xE1, 0x00, 0x40}}));
    EXPECT_EQ(feed({0x10, 0x40}), (Messages{{0xE1, 0x10, 0x40}}));
}

TEST_F(InputParser, realTimeBytesPassAtOnceAndTheMessageAroundThemContinues) {
    EXPECT_EQ(feed({0x90, 0x40, 0xF8, 0x7F}), (Messages{{0xF8}, {0x90, 0x40, 0x7F}}));
    EXPECT_EQ(feed({0x90, 0xFA, 0x40, 0xFB, 0x7F, 0xFC, 0xFF}),
              (Messages{{0xFA}, {0xFB}, {0x90, 0x40, 0x7F}, {0xFC}, {0xFF}}));
    EXPECT_EQ(feed({0xF0, 0x01, 0xFE, 0x02, 0xF8, 0xF7}),
              (Messages{{0xFE}, {0xF8}, {0xF0, 0x01, 0x02, 0xF7}}));
}

TEST_F(InputParser, clearedFlagsDropTimingClockAndActiveSensing) {
    port->SetTimingClock(0);
    port->SetActiveSensing(0);
    EXPECT_EQ(port->parseAndDispatch(0x90), 0);
    EXPECT_EQ(port->parseAndDispatch(0x40), 0);
    EXPECT_EQ(port->parseAndDispatch(0xF8), 1);
    EXPECT_EQ(port->parseAndDispatch(0xFE), 1);
    EXPECT_EQ(port->parseAndDispatch(0x7F), 3);
    EXPECT_EQ(recorder.take(), (Messages{{0x90, 0x40, 0x7F}}));
    EXPECT_EQ(feed({0xF0, 0x01, 0xFE, 0x02, 0xF8, 0xF7, 0xFA}),
              (Messages{{0xF0, 0x01, 0x02, 0xF7}, {0xFA}}));

    port->SetTimingClock(1);
    EXPECT_EQ(feed({0xF8, 0xFE}), (Messages{{0xF8}}));
}

TEST_F(InputParser, aNewStatusFlushesAnUnfinishedMessageUnchanged) {
    EXPECT_EQ(feed({0xF0, 0x01, 0x02, 0xF7}), (Messages{{0xF0, 0x01, 0x02, 0xF7}}));
    EXPECT_EQ(feed({0xF0, 0x01, 0x02, 0x90, 0x40, 0x7F}),
              (Messages{{0xF0, 0x01, 0x02}, {0x90, 0x40, 0x7F}}));
    EXPECT_EQ(feed({0xF0, 0x01, 0xF0, 0x02, 0xF7}), (Messages{{0xF0, 0x01}, {0xF0, 0x02, 0xF7}}));
    // A cut Control Change stays two bytes: it is never padded into "volume 0".
    EXPECT_EQ(port->parseAndDispatch(0xB0), 0);
    EXPECT_EQ(port->parseAndDispatch(0x07), 0);
    EXPECT_EQ(port->parseAndDispatch(0xC0), 2);
    EXPECT_EQ(port->parseAndDispatch(0x05), 2);
    EXPECT_EQ(recorder.take(), (Messages{{0xB0, 0x07}, {0xC0, 0x05}}));
}

TEST_F(InputParser, longSystemExclusiveComesInChunksWithoutRunningStatus) {
    feed({0x90, 0x40, 0x7F});
    Bytes sysex(5000, 0x11);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    const Messages chunks = feed(sysex, 1000);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].size(), 2048u);
    EXPECT_EQ(chunks[1].size(), 2048u);
    EXPECT_EQ(chunks[2].size(), 904u);
    EXPECT_EQ(chunks[0].front(), 0xF0);
    EXPECT_EQ(chunks[1].front(), 0x11);
    EXPECT_EQ(chunks[2].front(), 0x11);
    EXPECT_EQ(chunks[2].back(), 0xF7);
    // Cut at the same places when chunk borders fall inside one packet.
    EXPECT_EQ(feed(sysex), chunks);
    // The running status survives the System Exclusive.
    EXPECT_EQ(feed({0x41, 0x00}), (Messages{{0x90, 0x41, 0x00}}));
}

TEST_F(InputParser, strayDataBytesAreKeptAndFlushedInOrder) {
    EXPECT_EQ(feed({0x40, 0x41}), Messages{});
    // The whole-message packet must not overtake the waiting bytes.
    EXPECT_EQ(feed({0x90, 0x40, 0x7F}), (Messages{{0x40, 0x41}, {0x90, 0x40, 0x7F}}));

    port->Close();
    port->Open(nullptr);
    const Bytes stray(TMidiInputBase::MAX_CHUNK, 0x33);
    const Messages flushed = feed(stray, 500);
    ASSERT_EQ(flushed.size(), 1u);
    EXPECT_EQ(flushed[0], stray);
}

TEST_F(InputParser, strayEndOfExclusiveAndUndefinedStatusBytesStandAlone) {
    EXPECT_EQ(feed({0xF7}), (Messages{{0xF7}}));
    EXPECT_EQ(feed({0x90, 0x40, 0xF7, 0x7F}), (Messages{{0xF7}, {0x90, 0x40, 0x7F}}));
    EXPECT_EQ(feed({0xF0, 0x01, 0xF7, 0xF7}), (Messages{{0xF0, 0x01, 0xF7}, {0xF7}}));
    EXPECT_EQ(feed({0x90, 0xF4, 0x40, 0xF5, 0x7F, 0xF9, 0xFD}),
              (Messages{{0xF4}, {0xF5}, {0x90, 0x40, 0x7F}, {0xF9}, {0xFD}}));
    EXPECT_EQ(feed({0xF0, 0x01, 0xFD, 0x02, 0xF4, 0xF7}),
              (Messages{{0xFD}, {0xF4}, {0xF0, 0x01, 0x02, 0xF7}}));
    EXPECT_EQ(feed({0x41, 0x00}), (Messages{{0x90, 0x41, 0x00}}));
}

TEST_F(InputParser, emptyAndSingleBytePacketsAndMissingListener) {
    const unsigned char note[3] = {0x90, 0x40, 0x7F};
    EXPECT_EQ(port->parseAndDispatch(note, 0), 0);
    EXPECT_EQ(port->parseAndDispatch(nullptr, 3), 0);
    EXPECT_EQ(port->parseAndDispatch(note, 1), 0);
    EXPECT_EQ(port->parseAndDispatch(note + 1, 1), 0);
    EXPECT_EQ(port->parseAndDispatch(note + 2, 1), 3);
    EXPECT_EQ(recorder.take(), (Messages{{0x90, 0x40, 0x7F}}));

    port->Close();
    port->Open(nullptr);
    port->SetDataListener(nullptr);
    EXPECT_EQ(parse({0x90, 0x40}), -1);
    port->SetDataListener(&recorder);
    // 90 40 was not parsed: 7F finds no message to finish.
    EXPECT_EQ(parse({0x7F}), 0);
    EXPECT_EQ(parse({0x90, 0x40, 0x7F}), 4);
    EXPECT_EQ(recorder.take(), (Messages{{0x7F}, {0x90, 0x40, 0x7F}}));
}

TEST_F(InputParser, closingForgetsTheMessageUnderAssemblyAndTheRunningStatus) {
    feed({0x90, 0x40, 0x7F, 0x90, 0x41});
    recorder.take();
    port->Close();
    EXPECT_EQ(factory.feed(portId, Bytes{0x7F}), 0);
    port->Open(nullptr);
    EXPECT_EQ(feed({0x7F}), Messages{});
    EXPECT_EQ(feed({0x90, 0x42, 0x7F}), (Messages{{0x7F}, {0x90, 0x42, 0x7F}}));
}

namespace {

// Closes the port from inside its second delivery.
class ClosingRecorder : public MessageRecorder {
public:
    void OnMidiDeviceMessage(TMidiInputBase* port, unsigned long long timestamp,
                             const unsigned char* data, int length) override {
        MessageRecorder::OnMidiDeviceMessage(port, timestamp, data, length);
        if (++calls == 2)
            port->Close();
    }
    int calls = 0;
};

} // namespace

TEST_F(InputParser, listenerClosingThePortEndsThePacket) {
    ClosingRecorder closing;
    port->SetDataListener(&closing);
    factory.feed(portId, {0x90, 0x40, 0x7F, 0x41, 0x7F, 0x42, 0x7F, 0xF8});
    EXPECT_EQ(closing.take(), (Messages{{0x90, 0x40, 0x7F}, {0x90, 0x41, 0x7F}}));
    EXPECT_FALSE(port->IsOpen());

    ASSERT_EQ(port->Open(nullptr), 1);
    factory.feed(portId, {0x43, 0x7F, 0x90, 0x44, 0x7F}); // the running status is gone
    EXPECT_EQ(closing.take(), (Messages{{0x43, 0x7F}, {0x90, 0x44, 0x7F}}));
}

TEST_F(InputParser, everyMessageOfAPacketCarriesThePacketTime) {
    const Bytes packet = {0x90, 0x40, 0x7F, 0xF0, 0x01, 0xF7};
    factory.feed(portId, packet.data(), static_cast<int>(packet.size()), 0, 1234);
    EXPECT_EQ(recorder.takeTimestamps(), (std::vector<unsigned long long>{1234, 1234}));
}

TEST_F(InputParser, packetBoundariesDoNotChangeTheMessages) {
    const Bytes stream = {0x40, 0x90, 0x40, 0x7F, 0x41, 0x00, 0xC0, 0x05, 0xF8, 0x06, 0xB0,
                          0x07, 0xF0, 0x01, 0xFE, 0x02, 0xF7, 0x42, 0x00, 0x7F, 0xF6, 0x90,
                          0x40, 0x00, 0xE0, 0x00, 0x40, 0x01, 0xF7, 0x02, 0x03, 0xF4, 0xA0,
                          0x01, 0x02, 0x90, 0x43, 0x7F, 0x44, 0x7F, 0x45, 0x7F, 0xB0};
    const Messages whole = feed(stream);
    ASSERT_FALSE(whole.empty());
    for (int packetSize = 1; packetSize <= 7; ++packetSize) {
        port->Close();
        port->Open(nullptr);
        EXPECT_EQ(feed(stream, packetSize), whole) << "packets of " << packetSize;
    }
}
