// The receive path promises to allocate nothing: this binary counts every allocation.
#include "midi/MidiAlias.h"
#include "midi/MidiInput.h"
#include "midi/MidiRouter.h"
#include "tests/midi/support/MidiManagerFixture.h"
#include "tests/midi/support/TestMidiFactory.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <new>

namespace {

// Per thread: the manager's timer and hotplug threads may allocate while the receive path
// runs on the test's thread.
thread_local long allocations = 0;

void* countedAllocation(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

} // namespace

void* operator new(std::size_t size) {
    return countedAllocation(size);
}
void* operator new[](std::size_t size) {
    return countedAllocation(size);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

// malloc itself is counted too where no sanitizer owns it.
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t n, std::size_t size);
void* __libc_realloc(void* p, std::size_t size);
void __libc_free(void* p);

void* malloc(std::size_t size) {
    ++allocations;
    return __libc_malloc(size);
}
void* calloc(std::size_t n, std::size_t size) {
    ++allocations;
    return __libc_calloc(n, size);
}
void* realloc(void* p, std::size_t size) {
    ++allocations;
    return __libc_realloc(p, size);
}
void free(void* p) {
    __libc_free(p);
}
}
#endif

using namespace Lk;

namespace {

// Checks what it is given on the fly, keeping nothing.
class CountingListener : public TMidiDeviceDataListener {
public:
    void OnMidiDeviceMessage(TMidiInputBase*, unsigned long long, const unsigned char* data,
                             int length) override {
        ++messages;
        bytes += length;
        if (length > longest)
            longest = length;
        if (data[0] == 0xF0)
            ++sysexStarts;
        if (data[length - 1] == 0xF7)
            ++sysexEnds;
    }

    long messages = 0;
    long bytes = 0;
    int longest = 0;
    long sysexStarts = 0;
    long sysexEnds = 0;
};

class ReceivePath : public ::testing::Test {
protected:
    ReceivePath() {
        portId = factory.addPort(1, "Keys");
        OxOwnedList<MidiDeviceDescriptor*> inputs;
        factory.GetDeviceList(1, inputs);
        port.reset(static_cast<TMidiInputBase*>(inputs[0]->CreateInputDevice()));
        port->SetDataListener(&listener);
        port->Open(nullptr);
        const unsigned char warmUp[] = {0x90, 0x40, 0x7F};
        factory.feed(portId, warmUp, 3);
    }

    TestMidiFactory factory;
    int portId = 0;
    CountingListener listener;
    std::unique_ptr<TMidiInputBase> port;
};

// 100 000 messages of every kind: whole and running-status channel messages, real-time
// bytes inside them, System Exclusive of up to 3000 bytes, undefined and stray bytes.
std::vector<unsigned char> mixedStream() {
    const std::vector<unsigned char> pieces[] = {{0x90, 0x40, 0x7F},
                                                 {0x41, 0x00},
                                                 {0xC3, 0x05},
                                                 {0xB0, 0x07, 0xF8, 0x64},
                                                 {0xE0, 0x00, 0x40},
                                                 {0xD5, 0x10, 0xF6},
                                                 {0xF4, 0xA0, 0x01},
                                                 {0xF9, 0x10, 0xF7, 0xF2, 0x01},
                                                 {0x80, 0x40, 0x40, 0xF0, 0x01, 0x02}};
    std::vector<unsigned char> s;
    for (int i = 0; i < 100000; ++i) {
        const auto& piece = pieces[i % 10 < 9 ? i % 10 : 0];
        s.insert(s.end(), piece.begin(), piece.end());
        if (i % 10 == 9) {
            s.push_back(0xF0);
            s.insert(s.end(), static_cast<size_t>(i % 3000), 0x33);
            s.insert(s.end(), {0xFE, 0x01, 0xF7});
        }
    }
    return s;
}

} // namespace

TEST_F(ReceivePath, parsesHundredThousandMixedMessagesWithoutAllocating) {
    const long counted = allocations;
    delete new int(1);
    ASSERT_GT(allocations, counted) << "allocations are not counted";

    const std::vector<unsigned char> stream = mixedStream();
    const int length = static_cast<int>(stream.size());
    for (const int packetSize : {3, 1, 7, 256, length}) {
        listener.messages = 0;
        const long before = allocations;
        factory.feed(portId, stream.data(), length, packetSize);
        const long allocated = allocations - before;
        EXPECT_EQ(allocated, 0) << "packets of " << packetSize;
        EXPECT_GE(listener.messages, 100000) << "packets of " << packetSize;
    }
}

TEST_F(ReceivePath, tenMegabyteSystemExclusiveStaysWithinOneChunk) {
    const int length = 10 * 1024 * 1024;
    std::vector<unsigned char> sysex(length, 0x55);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    listener = CountingListener();

    const long before = allocations;
    factory.feed(portId, sysex.data(), length, 4096);
    EXPECT_EQ(allocations - before, 0);

    EXPECT_EQ(listener.messages, length / TMidiInputBase::MAX_CHUNK);
    EXPECT_EQ(listener.bytes, length);
    EXPECT_EQ(listener.longest, TMidiInputBase::MAX_CHUNK);
    EXPECT_EQ(listener.sysexStarts, 1);
    EXPECT_EQ(listener.sysexEnds, 1);
}

namespace {

// Takes every message without claiming it, so that all of them go on to the thru port.
class UnclaimingListener : public MidiManagerDataListener {
public:
    void OnMidiMessage(int, unsigned long long, const unsigned char*, int length,
                       int& handled) override {
        ++messages;
        bytes += length;
        handled = 0;
    }

    size_t messages = 0;
    size_t bytes = 0;
};

// "MIDI Input" on Keys routed to "MIDI Thru" on Synth, both open; Synth only counts what
// it is sent.
class ThruReceivePath : public MidiManagerTestBase {
protected:
    void SetUp() override {
        MidiManagerTestBase::SetUp();
        keys = plug(1, "Keys");
        synth = plug(0, "Synth");
        TMidiAliasManager* aliases = TMidiAliasManager::instance();
        TMidiAlias* input = aliases->GetAliasByName("MIDI Input", atIn, 1, -1);
        TMidiAlias* thru = aliases->GetAliasByName("MIDI Thru", atOut, 1, -1);
        aliases->SetAliasDevice(input, "Keys");
        aliases->SetAliasDevice(thru, "Synth");
        ASSERT_GE(TMidiRouter::instance()->AddRoute(input, thru), 0);
        ASSERT_EQ(manager->Open(input->userID, 1, nullptr), 1);
        ASSERT_EQ(manager->Open(thru->userID, 0, nullptr), 1);
        manager->SetDataListener(&listener);
        factory->keepSentMessages(false);
        const unsigned char warmUp[] = {0x90, 0x40, 0x7F};
        factory->feed(keys, warmUp, 3);
    }

    int keys = 0;
    int synth = 0;
    UnclaimingListener listener;
};

} // namespace

TEST_F(ThruReceivePath, forwardsHundredThousandMixedMessagesWithoutAllocating) {
    const std::vector<unsigned char> stream = mixedStream();
    const int length = static_cast<int>(stream.size());
    for (const int packetSize : {3, 256, length}) {
        listener = UnclaimingListener();
        factory->clearSent(synth);
        const MidiThruStats counted = manager->GetThruStats();
        const long before = allocations;
        factory->feed(keys, stream.data(), length, packetSize);
        EXPECT_EQ(allocations - before, 0) << "packets of " << packetSize;
        const MidiThruStats now = manager->GetThruStats();
        EXPECT_EQ(now.receivedMessages - counted.receivedMessages, listener.messages);
        EXPECT_EQ(now.forwardedBytes - counted.forwardedBytes, listener.bytes);
        EXPECT_EQ(now.notForwardedMessages, counted.notForwardedMessages);

        EXPECT_GE(listener.messages, 100000u) << "packets of " << packetSize;
        const SentMidiTotals sent = factory->sentTotals(synth);
        EXPECT_EQ(sent.messages, listener.messages) << "packets of " << packetSize;
        EXPECT_EQ(sent.bytes, listener.bytes) << "packets of " << packetSize;
        EXPECT_GT(sent.viaLong, 10000u) << "System Exclusive chunks, packets of " << packetSize;
    }
}
