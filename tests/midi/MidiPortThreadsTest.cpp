#include "midi/MidiDevice.h"
#include "midi/MidiInput.h"
#include "tests/midi/support/TestMidiFactory.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

using namespace Lk;

namespace {

using Bytes = std::vector<unsigned char>;

const Bytes note = {0x90, 0x40, 0x7F};
const Bytes control = {0xB0, 0x07, 0x64};
const Bytes sysex = {0xF0, 0x7D, 0x01, 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0xF7};

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
    OxOwnedList<MidiDeviceDescriptor*> inputs;
    factory.GetDeviceList(1, inputs);
    std::unique_ptr<TMidiDeviceBase> device(inputs[0]->CreateInputDevice());
    auto* port = static_cast<TMidiInputBase*>(device.get());
    WatchingListener listener;
    port->SetDataListener(&listener);

    Bytes stream;
    for (const Bytes* m : {&note, &sysex, &control, &note})
        stream.insert(stream.end(), m->begin(), m->end());
    std::atomic<bool> stop{false};
    std::thread receiveThread([&] {
        for (int packetSize = 1; !stop; packetSize = packetSize % 11 + 1)
            factory.feed(id, stream, packetSize);
    });

    for (int round = 0; round < 200; ++round) {
        const long before = listener.delivered.load();
        listener.portClosed = false;
        ASSERT_EQ(port->Open(nullptr), 1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (listener.delivered.load() < before + 3 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
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
    OxOwnedList<MidiDeviceDescriptor*> list;
    factory.advanceClock(MidiDeviceFactory::CACHE_LIFETIME_MS);
    factory.GetDeviceList(1, list);
    EXPECT_EQ(list.getCount(), 201);
}

TEST(MidiOutputThreads, closeWaitsForASendInProgressAndLaterSendsFail) {
    TestMidiFactory factory;
    const int id = factory.addPort(0, "Synth");
    OxOwnedList<MidiDeviceDescriptor*> outputs;
    factory.GetDeviceList(0, outputs);
    std::unique_ptr<TMidiDeviceBase> device(outputs[0]->CreateOutputDevice());
    auto* port = static_cast<TMidiOutputBase*>(device.get());

    // A long message keeps the send busy, so that a Close that does not wait shows.
    Bytes longSysex(64 * 1024, 0x11);
    longSysex.front() = 0xF0;
    longSysex.back() = 0xF7;
    std::atomic<bool> stop{false};
    std::thread thruThread([&] {
        while (!stop) {
            port->SendShort(0x007F4090u);
            port->SendLong(longSysex.data(), static_cast<int>(longSysex.size()));
        }
    });
    for (int round = 0; round < 200; ++round) {
        const size_t before = factory.sentCount(id);
        ASSERT_EQ(port->Open(nullptr), 1);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (factory.sentCount(id) < before + 2 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::yield();
        port->Close();
        const size_t sentWhenClosed = factory.sentCount(id);
        std::this_thread::yield();
        EXPECT_EQ(factory.sentCount(id), sentWhenClosed);
    }
    stop = true;
    thruThread.join();
    EXPECT_GE(factory.sentCount(id), 2u * 200);
}
