// The receive path promises to allocate nothing: this binary counts every allocation.
#include "tests/midi/support/MidiManagerFixture.h"
#include "tests/support/MidiBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
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
using dokatest::Bytes;

namespace {

// Checks what it is given on the fly, as a port object's or as the manager's listener,
// keeping nothing; it never claims a message, so that all of them go on to the thru port.
class CountingListener : public TMidiDeviceDataListener, public MidiManagerDataListener {
public:
    void OnMidiDeviceMessage(TMidiInputBase*, unsigned long long, const unsigned char* data,
                             int length) override {
        count(data, length);
    }
    void OnMidiMessage(int, unsigned long long, const unsigned char* data, int length,
                       int& handled) override {
        count(data, length);
        handled = 0;
    }

    size_t messages = 0;
    size_t bytes = 0;
    int longest = 0;
    int sysexStarts = 0;
    int sysexEnds = 0;

private:
    void count(const unsigned char* data, int length) {
        ++messages;
        bytes += static_cast<size_t>(length);
        longest = std::max(longest, length);
        sysexStarts += data[0] == 0xF0;
        sysexEnds += data[length - 1] == 0xF7;
    }
};

// 100 000 messages of every kind: whole and running-status channel messages, real-time
// bytes inside them, System Exclusive of up to 3000 bytes, undefined and stray bytes.
Bytes mixedStream() {
    const Bytes pieces[] = {{0x90, 0x40, 0x7F},       {0x41, 0x00},
                            {0xC3, 0x05},             {0xB0, 0x07, 0xF8, 0x64},
                            {0xE0, 0x00, 0x40},       {0xD5, 0x10, 0xF6},
                            {0xF4, 0xA0, 0x01},       {0xF9, 0x10, 0xF7, 0xF2, 0x01},
                            {0x80, 0x40, 0x40, 0xF0, 0x01, 0x02}};
    Bytes s;
    for (int i = 0; i < 100000; ++i) {
        const Bytes& piece = pieces[i % 10 < 9 ? i % 10 : 0];
        s.insert(s.end(), piece.begin(), piece.end());
        if (i % 10 == 9) {
            s.push_back(0xF0);
            s.insert(s.end(), static_cast<size_t>(i % 3000), 0x33);
            s.insert(s.end(), {0xFE, 0x01, 0xF7});
        }
    }
    return s;
}

const Bytes warmUp = {0x90, 0x40, 0x7F};

// A port object on Keys, fed as the platform would.
class ReceivePath : public ::testing::Test {
protected:
    void SetUp() override {
        keys = factory.addPort(1, "Keys");
        port = factory.create<TMidiInputBase>();
        port->SetDataListener(&listener);
        port->Open(nullptr);
        factory.feed(keys, warmUp);
    }

    TestMidiFactory factory;
    int keys = 0;
    CountingListener listener;
    std::unique_ptr<TMidiInputBase> port;
};

// The program's thru from Keys to Synth, which only counts what it is sent.
class ThruReceivePath : public MidiManagerFixture {
protected:
    void SetUp() override {
        MidiManagerFixture::SetUp();
        keys = plug(1, "Keys");
        synth = plug(0, "Synth");
        routeThru("Keys", "Synth");
        manager->SetDataListener(&listener);
        factory->keepSentMessages(false);
        factory->feed(keys, warmUp);
    }

    int keys = 0;
    int synth = 0;
    CountingListener listener;
};

} // namespace

TEST_F(ReceivePath, parsesHundredThousandMixedMessagesWithoutAllocating) {
    const long counted = allocations;
    delete new int(1);
    ASSERT_GT(allocations, counted) << "allocations are not counted";

    const Bytes stream = mixedStream();
    const int length = static_cast<int>(stream.size());
    for (const int packetSize : {3, 1, 7, 256, length}) {
        listener.messages = 0;
        const long before = allocations;
        factory.feed(keys, stream.data(), length, packetSize);
        EXPECT_EQ(allocations - before, 0) << "packets of " << packetSize;
        EXPECT_GE(listener.messages, 100000u) << "packets of " << packetSize;
    }
}

TEST_F(ReceivePath, tenMegabyteSystemExclusiveStaysWithinOneChunk) {
    const int length = 10 * 1024 * 1024;
    const Bytes sysex = dokatest::sysex(length);
    listener = CountingListener();

    const long before = allocations;
    factory.feed(keys, sysex.data(), length, 4096);
    EXPECT_EQ(allocations - before, 0);

    EXPECT_EQ(listener.messages, static_cast<size_t>(length / TMidiInputBase::MAX_CHUNK));
    EXPECT_EQ(listener.bytes, static_cast<size_t>(length));
    EXPECT_EQ(listener.longest, TMidiInputBase::MAX_CHUNK);
    EXPECT_EQ(listener.sysexStarts, 1);
    EXPECT_EQ(listener.sysexEnds, 1);
}

TEST_F(ThruReceivePath, forwardsHundredThousandMixedMessagesWithoutAllocating) {
    const Bytes stream = mixedStream();
    const int length = static_cast<int>(stream.size());
    for (const int packetSize : {3, 256, length}) {
        listener = CountingListener();
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
