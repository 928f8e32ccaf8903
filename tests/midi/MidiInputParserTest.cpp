#include "tests/midi/support/MessageRecorder.h"
#include "tests/midi/support/TestMidiFactory.h"
#include "tests/support/MidiBytes.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

using namespace Lk;
using dokatest::Bytes;
using Messages = std::vector<Bytes>;

namespace {

class InputParser : public ::testing::Test {
protected:
    InputParser() {
        keys = factory.addPort(1, "Keys In");
        port = factory.create<TMidiInputBase>();
        port->SetDataListener(&recorder);
        port->Open(nullptr);
    }

    // Feeds the bytes as the backend would, in packets of `packetSize` (0: one packet),
    // and returns what was delivered.
    Messages feed(const Bytes& bytes, int packetSize = 0) {
        factory.feed(keys, bytes, packetSize);
        return recorder.takeBytes();
    }

    TestMidiFactory factory;
    int keys = 0;
    MessageRecorder recorder;
    std::unique_ptr<TMidiInputBase> port;
};

// Packets fed to a fresh port one after another, each with the messages it brings out.
struct Step {
    Bytes packet;
    Messages out;
    int packetSize = 0;
};
struct Stream {
    const char* name;
    std::vector<Step> steps;
};

class ParsedStream : public InputParser, public ::testing::WithParamInterface<Stream> {};

} // namespace

TEST_P(ParsedStream, comesOutAsTheseMessages) {
    for (const Step& step : GetParam().steps)
        EXPECT_EQ(feed(step.packet, step.packetSize), step.out) << dokatest::hex(step.packet);
}

INSTANTIATE_TEST_SUITE_P(
    InputParser, ParsedStream,
    ::testing::Values(
        Stream{"runningStatusCompletesDataBytesWithoutStatus",
               {{{0x90, 0x40, 0x7F, 0x41, 0x00}, {{0x90, 0x40, 0x7F}, {0x90, 0x41, 0x00}}},
                {{0xC0, 0x05}, {{0xC0, 0x05}}},
                {{0x06}, {{0xC0, 0x06}}},
                // Tune request stands alone and keeps the running status.
                {{0xB0, 0x07, 0x64, 0xF6, 0x0A, 0x40},
                 {{0xB0, 0x07, 0x64}, {0xF6}, {0xB0, 0x0A, 0x40}}},
                // System common messages take their own length and the running status too.
                {{0xF2, 0x01, 0x02, 0x03, 0x04}, {{0xF2, 0x01, 0x02}, {0xF2, 0x03, 0x04}}},
                {{0xF1, 0x01, 0x02, 0xF3, 0x05}, {{0xF1, 0x01}, {0xF1, 0x02}, {0xF3, 0x05}}},
                {{0xAF, 0x01, 0x02, 0xD1, 0x10, 0x11},
                 {{0xAF, 0x01, 0x02}, {0xD1, 0x10}, {0xD1, 0x11}}}}},
        Stream{"runningStatusCarriesOverFromAWholeMessagePacket",
               {{{0x90, 0x40, 0x7F}, {{0x90, 0x40, 0x7F}}},
                {{0x41, 0x00}, {{0x90, 0x41, 0x00}}},
                {{0x42, 0x00}, {{0x90, 0x42, 0x00}}, 1},
                {{0xE1, 0x00, 0x40}, {{0xE1, 0x00, 0x40}}},
                {{0x10, 0x40}, {{0xE1, 0x10, 0x40}}}}},
        Stream{
            "realTimeBytesPassAtOnceAndTheMessageAroundThemContinues",
            {{{0x90, 0x40, 0xF8, 0x7F}, {{0xF8}, {0x90, 0x40, 0x7F}}},
             {{0x90, 0xFA, 0x40, 0xFB, 0x7F, 0xFC, 0xFF},
              {{0xFA}, {0xFB}, {0x90, 0x40, 0x7F}, {0xFC}, {0xFF}}},
             {{0xF0, 0x01, 0xFE, 0x02, 0xF8, 0xF7}, {{0xFE}, {0xF8}, {0xF0, 0x01, 0x02, 0xF7}}}}},
        Stream{"aNewStatusFlushesAnUnfinishedMessageUnchanged",
               {{{0xF0, 0x01, 0x02, 0xF7}, {{0xF0, 0x01, 0x02, 0xF7}}},
                {{0xF0, 0x01, 0x02, 0x90, 0x40, 0x7F}, {{0xF0, 0x01, 0x02}, {0x90, 0x40, 0x7F}}},
                {{0xF0, 0x01, 0xF0, 0x02, 0xF7}, {{0xF0, 0x01}, {0xF0, 0x02, 0xF7}}},
                // A cut Control Change stays two bytes: it is never padded into "volume 0".
                {{0xB0, 0x07, 0xC0, 0x05}, {{0xB0, 0x07}, {0xC0, 0x05}}, 1}}},
        Stream{"strayDataBytesAreKeptAndFlushedInOrder",
               {{{0x40, 0x41}, {}},
                // The whole-message packet must not overtake the waiting bytes.
                {{0x90, 0x40, 0x7F}, {{0x40, 0x41}, {0x90, 0x40, 0x7F}}}}},
        Stream{"strayEndOfExclusiveAndUndefinedStatusBytesStandAlone",
               {{{0xF7}, {{0xF7}}},
                {{0x90, 0x40, 0xF7, 0x7F}, {{0xF7}, {0x90, 0x40, 0x7F}}},
                {{0xF0, 0x01, 0xF7, 0xF7}, {{0xF0, 0x01, 0xF7}, {0xF7}}},
                {{0x90, 0xF4, 0x40, 0xF5, 0x7F, 0xF9, 0xFD},
                 {{0xF4}, {0xF5}, {0x90, 0x40, 0x7F}, {0xF9}, {0xFD}}},
                {{0xF0, 0x01, 0xFD, 0x02, 0xF4, 0xF7}, {{0xFD}, {0xF4}, {0xF0, 0x01, 0x02, 0xF7}}},
                {{0x41, 0x00}, {{0x90, 0x41, 0x00}}}}}),
    [](const ::testing::TestParamInfo<Stream>& info) { return std::string(info.param.name); });

TEST_F(InputParser, clearedFlagsDropTimingClockAndActiveSensing) {
    port->SetTimingClock(0);
    port->SetActiveSensing(0);
    for (const int packetSize : {0, 1})
        EXPECT_EQ(feed({0x90, 0x40, 0xF8, 0xFE, 0x7F, 0xF0, 0x01, 0xFE, 0x02, 0xF8, 0xF7, 0xFA},
                       packetSize),
                  (Messages{{0x90, 0x40, 0x7F}, {0xF0, 0x01, 0x02, 0xF7}, {0xFA}}));
    port->SetTimingClock(1);
    EXPECT_EQ(feed({0xF8, 0xFE}), (Messages{{0xF8}}));
}

TEST_F(InputParser, longSystemExclusiveComesInChunksWithoutRunningStatus) {
    feed({0x90, 0x40, 0x7F});
    const Bytes sysex = dokatest::sysex(5000);
    const Messages chunks = feed(sysex, 1000);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0].size(), 2048u);
    EXPECT_EQ(chunks[1].size(), 2048u);
    EXPECT_TRUE(dokatest::sameBytes(dokatest::joined(chunks), sysex));
    // Cut at the same places when chunk borders fall inside one packet.
    EXPECT_EQ(feed(sysex), chunks);
    // The running status survives the System Exclusive.
    EXPECT_EQ(feed({0x41, 0x00}), (Messages{{0x90, 0x41, 0x00}}));
}

TEST_F(InputParser, aFullChunkOfStrayDataIsFlushedWhole) {
    const Bytes stray(TMidiInputBase::MAX_CHUNK, 0x33);
    EXPECT_EQ(feed(stray, 500), Messages{stray});
}

TEST_F(InputParser, emptyPacketsAndPacketsWithoutAListenerChangeNothing) {
    feed({0x90, 0x40});
    port->parseAndDispatch(nullptr, 3);
    feed({});
    EXPECT_EQ(feed({0x7F}), (Messages{{0x90, 0x40, 0x7F}}));

    port->SetDataListener(nullptr);
    factory.feed(keys, {0x90, 0x41});
    port->SetDataListener(&recorder);
    // 90 41 was not parsed: 7F, after the running status, stays unfinished.
    EXPECT_EQ(feed({0x7F, 0x90, 0x40, 0x7F}), (Messages{{0x90, 0x7F}, {0x90, 0x40, 0x7F}}));
}

namespace {

// Closes the port from inside its second delivery.
class ClosingRecorder : public MessageRecorder {
public:
    void OnMidiDeviceMessage(TMidiInputBase* port, unsigned long long time,
                             const unsigned char* data, int length) override {
        MessageRecorder::OnMidiDeviceMessage(port, time, data, length);
        if (++calls == 2)
            port->Close();
    }
    int calls = 0;
};

} // namespace

TEST_F(InputParser, closingEndsThePacketAndForgetsTheUnfinishedMessageAndRunningStatus) {
    ClosingRecorder closing;
    port->SetDataListener(&closing);
    // Closed by the clock byte inside 90 41 7F: the rest of the packet is not parsed.
    factory.feed(keys, {0x90, 0x40, 0x7F, 0x90, 0x41, 0xF8, 0x7F, 0x42, 0x7F});
    EXPECT_EQ(closing.takeBytes(), (Messages{{0x90, 0x40, 0x7F}, {0xF8}}));
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(factory.feed(keys, Bytes{0x7F}), 0);

    ASSERT_EQ(port->Open(nullptr), 1);
    factory.feed(keys, {0x7F, 0x90, 0x44, 0x7F});
    EXPECT_EQ(closing.takeBytes(), (Messages{{0x7F}, {0x90, 0x44, 0x7F}}));
}

TEST_F(InputParser, everyMessageOfAPacketCarriesThePacketTime) {
    const Bytes packet = {0x90, 0x40, 0x7F, 0xF0, 0x01, 0xF7};
    factory.feed(keys, packet.data(), static_cast<int>(packet.size()), 0, 1234);
    const auto received = recorder.take();
    ASSERT_EQ(received.size(), 2u);
    for (const ReceivedMessage& message : received)
        EXPECT_EQ(message.time, 1234u);
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
