// Descriptors, the factory's port list and the port objects, on the test backend.
#include "midi/MidiDeviceDescriptor.h"
#include "tests/midi/support/TestMidiFactory.h"
#include "tests/support/MidiBytes.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Lk;
using dokatest::Bytes;
using Lines = std::vector<std::string>;

namespace {

MidiDeviceDescriptor port(int isInput, const char* name, int dupNumber = 0, const char* serial = "",
                          const char* interface = "", const char* qualifier = "") {
    MidiDeviceDescriptor d(nullptr, isInput, 0, name, interface, serial, "");
    d.dupNumber = dupNumber;
    d.qualifier = qualifier;
    return d;
}

// The names the factory lists, each with its duplicate number, e.g. "keys (2)#2".
Lines listed(MidiDeviceFactory& factory, int isInput) {
    OxOwnedList<MidiDeviceDescriptor*> list;
    factory.GetDeviceList(isInput, list);
    Lines names;
    for (const MidiDeviceDescriptor* d : list)
        names.push_back(std::string(d->GetName().c_str()) + "#" + std::to_string(d->dupNumber));
    return names;
}

} // namespace

TEST(MidiDeviceDescriptor, matchesByIdentityOrElseByExactNameAndDuplicateNumber) {
    const MidiDeviceDescriptor keys2 = port(1, "Keys", 2);
    const MidiDeviceDescriptor identified = port(1, "Keys", 1, "0000ABCD", "00000001");
    const struct {
        const MidiDeviceDescriptor& a;
        MidiDeviceDescriptor b;
        bool matches;
    } cases[] = {
        {keys2, port(1, "Keys", 2), true},
        {keys2, port(1, "Keys", 3), false},
        {keys2, port(1, "keys", 2), false},
        {keys2, port(0, "Keys", 2), false},
        {keys2, port(1, "Keys", 2, "", "", "usb"), false},
        {identified, port(1, "Keys", 3, "0000abcd", "00000001"), true}, // moved
        {identified, port(1, "Keys", 1, "0000ABCE", "00000001"), false},
        {identified, port(1, "Keys", 1, "0000ABCD", "00000002"), false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.a.Matches(&c.b), c.matches) << c.b.GetName().c_str() << c.b.serial.c_str();
    EXPECT_FALSE(keys2.Matches(nullptr));
}

TEST(MidiDeviceFactory, equallyNamedPortsAreNumberedPerDirectionIgnoringCase) {
    TestMidiFactory factory;
    for (const char* name : {"Keys", "keys", "Synth", "Keys"})
        factory.addPort(1, name);
    factory.addPort(0, "Keys");
    EXPECT_EQ(listed(factory, 1), (Lines{"Keys#1", "keys (2)#2", "Synth#0", "Keys (3)#3"}));
    EXPECT_EQ(listed(factory, 0), Lines{"Keys#0"});

    // Ports of one device (one serial and interface) get numbered names instead.
    TestMidiFactory device;
    device.addPort(0, "Keys", "0000ABCD", "00000001");
    device.addPort(0, "Keys", "0000ABCD", "00000001");
    device.addPort(0, "Pad", "0000ABCD", "00000002");
    device.addPort(1, "Keys", "0000ABCD", "00000001");
    EXPECT_EQ(listed(device, 0), (Lines{"Keys 1#0", "Keys 2#0", "Pad#0"}));
    EXPECT_EQ(listed(device, 1), Lines{"Keys#0"});
}

TEST(MidiDeviceFactory, cacheIsEnumeratedAgainOnlyAfterOneAndAHalfSecondsUnused) {
    TestMidiFactory factory;
    factory.setClock(10000);
    factory.addPort(1, "Keys");
    EXPECT_EQ(listed(factory, 1).size(), 1u);
    factory.addPort(1, "Synth");
    for (int i = 0; i < 3; ++i) {
        factory.advanceClock(1000);
        EXPECT_EQ(listed(factory, 1).size(), 1u) << "a cache in use every second stays";
    }
    factory.advanceClock(1499);
    EXPECT_EQ(factory.MidiDeviceFactory::GetNumDevs(1), 1);
    factory.advanceClock(1500);
    EXPECT_EQ(listed(factory, 1).size(), 2u);
    factory.addPort(1, "Pads");
    factory.setClock(5000); // a clock that went back rebuilds at once
    EXPECT_EQ(listed(factory, 1).size(), 3u);
}

TEST(MidiPort, opensAndClosesOnceAndStaysClosedWhenTheOpenFails) {
    TestMidiFactory factory;
    const int id = factory.addPort(1, "Keys");
    auto port = factory.create<TMidiInputBase>();
    for (int twice = 0; twice < 2; ++twice)
        EXPECT_EQ(port->Open(nullptr), 1);
    EXPECT_EQ(factory.openPortObjects(id), 1);
    port->Close();
    port->Close();
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(factory.openPortObjects(id), 0);

    // A failed open leaves the port closed; its reason and the retry are the manager's cases.
    factory.failOpen(id, "Keys are busy");
    EXPECT_EQ(port->Open(nullptr), 0);
    EXPECT_FALSE(port->IsOpen());
}

// A refresh hands port objects descriptors that compare equal unless some field changed.
TEST(MidiPort, keepsItsOwnCopyOfANewDescriptorThatDiffersInAnyField) {
    TestMidiFactory factory;
    factory.addPort(1, "Keys", "0000ABCD", "00000001");
    auto port = factory.create<TMidiInputBase>();
    const auto before = port->GetDescriptor();
    std::unique_ptr<MidiDeviceDescriptor> same(before->Clone());
    port->SetDescriptor(same.get());
    EXPECT_EQ(port->GetDescriptor(), before);

    const std::function<void(MidiDeviceDescriptor&)> changes[] = {
        [](MidiDeviceDescriptor& d) { d.factory = nullptr; },
        [](MidiDeviceDescriptor& d) { d.isInput = 0; },
        [](MidiDeviceDescriptor& d) { d.index = 5; },
        [](MidiDeviceDescriptor& d) { d.dupNumber = 2; },
        [](MidiDeviceDescriptor& d) { d.name = "keys"; },
        [](MidiDeviceDescriptor& d) { d.qualifier = "q"; },
        [](MidiDeviceDescriptor& d) { d.serial = "0000abcd"; },
        [](MidiDeviceDescriptor& d) { d.interface = "00000002"; },
        [](MidiDeviceDescriptor& d) { d.publicName = "Public"; },
        [](MidiDeviceDescriptor& d) { d.address = 18; },
    };
    for (const auto& change : changes) {
        const auto was = port->GetDescriptor();
        std::unique_ptr<MidiDeviceDescriptor> changed(was->Clone());
        change(*changed);
        port->SetDescriptor(changed.get());
        EXPECT_NE(port->GetDescriptor(), was)
            << "kept after a change of " << changed->GetName().c_str();
        EXPECT_NE(port->GetDescriptor().get(), changed.get());
    }
    port->SetDescriptor(nullptr);
    EXPECT_EQ(port->GetDescriptor()->address, 18);
}

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
    auto reader = [&] {
        while (!stop) {
            OxOwnedList<MidiDeviceDescriptor*> list;
            factory.GetDeviceList(1, list);
            for (const MidiDeviceDescriptor* d : list)
                EXPECT_TRUE(d->GetName().isNotEmpty());
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
