#include "tests/midi/support/TestMidiFactory.h"
#include "tests/support/MidiBytes.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

using namespace Lk;
using dokatest::Bytes;

namespace {

const Bytes note = {0x90, 0x40, 0x7F};
const Bytes control = {0xB0, 0x07, 0x64};
const Bytes sysex = dokatest::sysex(10, 0x7D);

// Watches, on the receive thread, that nothing arrives while the port is closed and that
// every message is one that was sent, or the unfinished tail a reopened port sees first.
class WatchingListener : public TMidiDeviceDataListener {
public:
    void OnMidiDeviceMessage(TMidiInputBase*, unsigned long long, const unsigned char* data,
                             int length) override {
        ++inside;
        if (portClosed)
            ++deliveredWhileClosed;
        const Bytes message(data, data + length);
        const bool allData =
            std::all_of(message.begin(), message.end(), [](unsigned char b) { return b < 0x80; });
        if (message != note && message != control && message != sysex && !allData &&
            message != Bytes{0xF7})
            ++malformed;
        ++delivered;
        std::this_thread::yield(); // widen the window in which Close could interfere
        --inside;
    }

    std::atomic<int> inside{0};
    std::atomic<bool> portClosed{true};
    std::atomic<long> delivered{0};
    std::atomic<long> deliveredWhileClosed{0};
    std::atomic<long> malformed{0};
};

} // namespace

TEST(MidiInputThreads, closeWaitsForTheReceiveThreadAndNothingArrivesAfterIt) {
    TestMidiFactory factory;
    const int id = factory.addPort(1, "Keys");
    auto port = factory.create<TMidiInputBase>();
    WatchingListener listener;
    port->SetDataListener(&listener);

    const Bytes stream = dokatest::joined({note, sysex, control, note});
    std::atomic<bool> stop{false};
    std::thread receiveThread([&] {
        for (int packetSize = 1; !stop; packetSize = packetSize % 11 + 1)
            factory.feed(id, stream, packetSize);
    });

    for (int round = 0; round < 200; ++round) {
        const long before = listener.delivered.load();
        listener.portClosed = false;
        ASSERT_EQ(port->Open(nullptr), 1);
        dokatest::waitUntil([&] { return listener.delivered.load() >= before + 3; });
        port->Close();
        EXPECT_EQ(listener.inside.load(), 0) << "Close returned during a delivery";
        listener.portClosed = true;
        std::this_thread::yield();
    }
    stop = true;
    receiveThread.join();

    EXPECT_GE(listener.delivered.load(), 200 * 3);
    EXPECT_EQ(listener.deliveredWhileClosed.load(), 0);
    EXPECT_EQ(listener.malformed.load(), 0);
}

TEST(MidiInputThreads, descriptorCacheServesSeveralThreadsWhilePortsChange) {
    TestMidiFactory factory;
    factory.setClock(1);
    factory.addPort(1, "Keys");
    std::atomic<bool> stop{false};
    std::atomic<long> listings{0};
    auto reader = [&] {
        while (!stop) {
            OxOwnedList<MidiDeviceDescriptor*> list;
            factory.GetDeviceList(1, list);
            OxStringList names;
            factory.GetDeviceList(1, names);
            if (list.getCount() > 0 && list[0]->GetName().isNotEmpty())
                ++listings;
        }
    };
    std::thread a(reader);
    std::thread b(reader);
    for (int i = 0; i < 200; ++i) {
        const int id = factory.addPort(1, "Keys");
        factory.renamePort(id, OxString::format("Pad %d", i));
        factory.advanceClock(MidiDeviceFactory::CACHE_LIFETIME_MS);
        std::this_thread::yield();
    }
    stop = true;
    a.join();
    b.join();
    EXPECT_GT(listings.load(), 0);
    factory.advanceClock(MidiDeviceFactory::CACHE_LIFETIME_MS);
    EXPECT_EQ(factory.MidiDeviceFactory::GetNumDevs(1), 201); // as the cache lists them
}

TEST(MidiOutputThreads, closeWaitsForASendInProgressAndLaterSendsFail) {
    TestMidiFactory factory;
    const int id = factory.addPort(0, "Synth");
    auto port = factory.create<TMidiOutputBase>();
    factory.keepSentMessages(false);
    auto sent = [&] { return factory.sentTotals(id).messages; };

    // A long message keeps the send busy, so that a Close that does not wait shows.
    const Bytes longSysex = dokatest::sysex(64 * 1024);
    std::atomic<bool> stop{false};
    std::thread thruThread([&] {
        while (!stop) {
            port->SendShort(0x007F4090u);
            port->SendLong(longSysex.data(), static_cast<int>(longSysex.size()));
        }
    });
    for (int round = 0; round < 200; ++round) {
        const size_t before = sent();
        ASSERT_EQ(port->Open(nullptr), 1);
        dokatest::waitUntil([&] { return sent() >= before + 2; });
        port->Close();
        const size_t sentWhenClosed = sent();
        std::this_thread::yield();
        EXPECT_EQ(sent(), sentWhenClosed);
    }
    stop = true;
    thruThread.join();
    EXPECT_GE(sent(), 2u * 200);
}
