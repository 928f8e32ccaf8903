// The receive path promises to allocate nothing: this binary counts every allocation.
#include "tests/midi/support/MidiManagerFixture.h"
#include "tests/support/MidiBytes.h"

#include <gtest/gtest.h>

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

// Counts what the manager gives it, keeping nothing; all of it goes on to the thru port.
class CountingListener : public MidiManagerDataListener {
public:
    void OnMidiMessage(int, unsigned long long, const unsigned char*, int length, int&) override {
        ++messages;
        bytes += static_cast<size_t>(length);
    }

    size_t messages = 0;
    size_t bytes = 0;
};

// 100 000 messages of every kind: whole and running-status channel messages, real-time
// bytes inside them, System Exclusive of up to 3000 bytes (more than a chunk), undefined and
// stray bytes.
Bytes mixedStream() {
    const Bytes pieces[] = {{0x90, 0x40, 0x7F},
                            {0x41, 0x00},
                            {0xC3, 0x05},
                            {0xB0, 0x07, 0xF8, 0x64},
                            {0xE0, 0x00, 0x40},
                            {0xD5, 0x10, 0xF6},
                            {0xF4, 0xA0, 0x01},
                            {0xF9, 0x10, 0xF7, 0xF2, 0x01},
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

// The program's thru from Keys to Synth, which only counts what it is sent: the whole
// receive path from the platform's packet to the thru port's send.
class ReceivePath : public MidiManagerFixture {
protected:
    void SetUp() override {
        MidiManagerFixture::SetUp();
        routeThru();
        manager->SetDataListener(&listener);
        factory->keepSentMessages(false);
        factory->feed(keys, Bytes{0x90, 0x40, 0x7F}); // warms up
    }

    // Feeds the bytes in packets of `packetSize` and returns how often that allocated.
    long allocationsFeeding(const Bytes& bytes, int packetSize) {
        listener = CountingListener();
        factory->clearSent(synth);
        const long before = allocations;
        factory->feed(keys, bytes.data(), static_cast<int>(bytes.size()), packetSize);
        return allocations - before;
    }

    CountingListener listener;
};

} // namespace

TEST_F(ReceivePath, parsesAndForwardsHundredThousandMixedMessagesWithoutAllocating) {
    const long counted = allocations;
    delete new int(1);
    ASSERT_GT(allocations, counted) << "allocations are not counted";

    const Bytes stream = mixedStream();
    for (const int packetSize : {3, 1, 7, 256, static_cast<int>(stream.size())}) {
        SCOPED_TRACE(packetSize);
        EXPECT_EQ(allocationsFeeding(stream, packetSize), 0);
        EXPECT_GE(listener.messages, 100000u);
        const SentMidiTotals sent = factory->sentTotals(synth);
        EXPECT_EQ(sent.messages, listener.messages);
        EXPECT_EQ(sent.bytes, listener.bytes);
    }
}
