#pragma once

#include "core/linux/AlsaSendQueue.h"
#include "midi/MidiDevice.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace Lk {

class AlsaSequencer;

// Cuts bytes into what the sequencer carries as one event each: a message of fixed
// length (or what there is of it before the next status byte), a real-time byte, or a run of System
// Exclusive (or other unframed) bytes up to the next status byte (including a closing F7), at most
// `maxPiece` bytes long. Calls packet(offset, length) in order.
template <class Packet>
void forEachMidiPacket(const unsigned char* data, int length, int maxPiece, Packet packet) {
    for (int offset = 0; offset < length;) {
        const int remaining = length - offset;
        const int fixed = ShortMidiMessageLength(data[offset]);
        int size = 1;
        if (fixed > 0) {
            // A message cut short by the next status byte goes alone, as it came.
            while (size < fixed && size < remaining && data[offset + size] < 0x80)
                ++size;
        } else {
            while (size < remaining && size < maxPiece && data[offset + size] < 0x80)
                ++size;
            if (size < remaining && size < maxPiece && data[offset + size] == 0xF7)
                ++size;
        }
        packet(offset, size);
        offset += size;
    }
}

// An output port: a port of the shared sequencer client subscribed to the destination.
// Sends are paced at the MIDI wire rate: what is not due yet waits on the sequencer's
// queue, stamped with the time at which its first byte would go on the wire. Sends never
// wait for the sequencer: their bytes are copied to a queue of the port, which its sender
// thread hands on in order (a short message with nothing before it goes at once). Closing
// the port drops what it still holds, here and on the sequencer's queue. When messages come
// faster than the wire takes them, what would wait longer than AlsaSendLimit allows is
// dropped whole, and the port counts as dropping until what it took has left.
class AlsaMidiOutput : public TMidiOutputBase {
public:
    static constexpr unsigned long long WIRE_BYTE_NANOS = 320000; // 31 250 baud
    // The largest piece of System Exclusive in one event.
    static constexpr int MAX_PIECE = 256;

    explicit AlsaMidiOutput(MidiDeviceDescriptor* descriptor);
    ~AlsaMidiOutput() override;

    int OpenImpl(OxStringList* errors) override;
    int CloseImpl(void* handle) override;

    using TMidiOutputBase::SendShort;
    int SendShort(unsigned char status, unsigned char data1, unsigned char data2) override;
    // Returns `length` at once; the bytes follow what was sent before.
    int SendLong(const unsigned char* data, int length) override;
    // Returns `length` when every byte has been handed to the sequencer, 0 when they could
    // not be; `callback` is asked every few milliseconds meanwhile. Clearing its flag ends
    // the wait, not the send.
    int SendLongWait(const unsigned char* data, int length,
                     TMidiOutWaitCallback* callback) override;
    // Long messages not yet handed to the sequencer.
    int QueuedLongMessages() override;
    bool isConnectionLost() const override { return destinationLost; }
    bool isDropping() const override { return dropping; }

    // Pacing per byte of what is sent next; 0 sends everything at once (for destinations
    // faster than a wire). The backlog's limit follows: two seconds of this pace.
    void setByteNanos(unsigned long long nanos);

private:
    class Sender;
    struct Waiter;
    struct QueueClock {
        bool known = false;
        long long offset = 0; // queue time minus CLOCK_MONOTONIC
    };
    // The message the sender thread is handing on.
    struct Sending {
        AlsaSendQueue::Message message{};
        int offset = 0; // of its next piece
        int error = 0;  // the rest of a message that failed is dropped
        QueueClock clock;
    };

    // Queues the message, or sends it at once when it is one piece, nothing is queued
    // and the sequencer has room. Under queueMutex; 0 or an ALSA error code.
    static constexpr int NOT_OPEN = 1; // not an ALSA error code: those are negative
    static constexpr int DROPPED = 2;  // the output is slower than its input
    int queueLong(const unsigned char* data, int length, Waiter* waiter);
    int sendOrQueue(const unsigned char* data, int length, unsigned long long start, bool isLong,
                    Waiter* waiter);
    int queue(const unsigned char* data, int length, unsigned long long start, bool isLong);
    // Under queueMutex: whether the message is taken, judged by the longer of what is
    // queued and the wire time reserved ahead of `now`.
    bool admit(const unsigned char* data, int length, unsigned long long now);
    int droppedMessage();
    // Tells of the start or the end of a burst of drops.
    void tellDropping(bool on);
    // Run by the sender thread; false when nothing was queued.
    bool sendNextPiece();
    // Run by the sender thread with nothing queued: ends a burst of drops once what was taken
    // has left the wire; the milliseconds to wait until then, 0 when no burst goes on.
    int endDroppingWhenDrained();
    void senderFailed(int error);
    void messageLeft(const AlsaSendQueue::Message& message, int error);
    // Drops every queued message; waiters get `error`. Under queueMutex.
    void dropQueuedMessages(int error);
    // Hands one piece to the sequencer; while `wait`, waits for room as long as the port
    // is open. 0 or an ALSA error code.
    int writePiece(const unsigned char* bytes, int size, unsigned long long due, QueueClock& clock,
                   bool wait);
    // Whether events of ours may still wait on the sequencer's queue, which a direct event
    // would overtake: its timer can fall behind the clock when the machine is busy.
    bool queueMayHoldEvents();
    int failed(int error);
    void reportFailure(int error);

    std::shared_ptr<AlsaSequencer> sequencer; // kept until the object goes
    int port = -1;
    std::atomic<bool> destinationLost{false}; // set by the receive thread
    std::atomic<bool> failureReported{false};
    std::atomic<bool> dropping{false}; // set by a sender, cleared by the sender thread
    std::unique_ptr<Sender> sender;

    // Guards the queue and the fields up to `waiters`.
    std::mutex queueMutex;
    std::condition_variable messageDone; // a message left the queue, or a waiter went
    AlsaSendQueue messages;
    AlsaSendLimit limit;
    bool pieceInFlight = false; // the sender thread is writing a piece it took
    int queuedLong = 0;
    unsigned long long nextSequence = 1;
    unsigned long long byteNanos = WIRE_BYTE_NANOS;
    unsigned long long nextFreeTime = 0; // when all bytes sent so far have left
    Waiter* waiters = nullptr;

    // Used by whoever writes to the sequencer: the sender thread while a piece is in
    // flight, or a sender of a short message under queueMutex while nothing is queued.
    snd_midi_event_t* encoder = nullptr;
    unsigned long long lastQueuedTime = 0; // due time of the last event put on the queue
    long long lastQueueTime = 0;           // its time on the queue's clock
    bool queuedSinceEmpty = false;         // since the queue was last seen empty
    Sending sending;                       // the sender thread's only
};

} // namespace Lk
