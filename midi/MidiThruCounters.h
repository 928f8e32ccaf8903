#pragma once

#include <atomic>
#include <cstdint>

namespace Lk {

// What the thru has done since the manager was made, counted per message (a System
// Exclusive chunk and a single real-time byte are one message each) and in bytes:
// - received: delivered by the parsers of the manager's inputs while it runs (bytes an
//   input filters out, such as Active Sensing, are not delivered);
// - forwarded: received, not claimed by the data listener, and taken by at least one open
//   thru output (counted once however many outputs took it);
// - not forwarded: received, not claimed, from an input with a thru route, but taken by
//   no output: the thru port is closed, absent, not chosen, or its send failed.
// Messages of an input without any route, and messages the data listener claims, are in
// neither of the last two.
struct MidiThruStats {
    uint64_t receivedMessages = 0;
    uint64_t receivedBytes = 0;
    uint64_t forwardedMessages = 0;
    uint64_t forwardedBytes = 0;
    uint64_t notForwardedMessages = 0;
    uint64_t notForwardedBytes = 0;
};

// The counters behind MidiThruStats: bumped on the receive threads without a lock or an
// allocation, read at any time. A snapshot taken while messages flow may miss the last
// message in some counters, but never shows more forwarded or not forwarded than received.
class MidiThruCounters {
public:
    void countReceived(int length) {
        receivedBytes.fetch_add(static_cast<uint64_t>(length), std::memory_order_relaxed);
        receivedMessages.fetch_add(1, std::memory_order_relaxed);
    }
    void countForwarded(int length) { bump(forwardedMessages, forwardedBytes, length); }
    void countNotForwarded(int length) { bump(notForwardedMessages, notForwardedBytes, length); }

    MidiThruStats snapshot() const {
        MidiThruStats s;
        // The outcomes first: whatever they count was received before (release / acquire).
        s.forwardedMessages = forwardedMessages.load(std::memory_order_acquire);
        s.forwardedBytes = forwardedBytes.load(std::memory_order_relaxed);
        s.notForwardedMessages = notForwardedMessages.load(std::memory_order_acquire);
        s.notForwardedBytes = notForwardedBytes.load(std::memory_order_relaxed);
        s.receivedMessages = receivedMessages.load(std::memory_order_relaxed);
        s.receivedBytes = receivedBytes.load(std::memory_order_relaxed);
        return s;
    }

private:
    static void bump(std::atomic<uint64_t>& messages, std::atomic<uint64_t>& bytes, int length) {
        bytes.fetch_add(static_cast<uint64_t>(length), std::memory_order_relaxed);
        messages.fetch_add(1, std::memory_order_release);
    }

    std::atomic<uint64_t> receivedMessages{0};
    std::atomic<uint64_t> receivedBytes{0};
    std::atomic<uint64_t> forwardedMessages{0};
    std::atomic<uint64_t> forwardedBytes{0};
    std::atomic<uint64_t> notForwardedMessages{0};
    std::atomic<uint64_t> notForwardedBytes{0};
};

} // namespace Lk
