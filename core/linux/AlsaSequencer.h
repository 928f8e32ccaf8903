#pragma once

#include <alsa/asoundlib.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

namespace Lk {

class AlsaMidiInput;

// CLOCK_MONOTONIC in nanoseconds: the time base of receipt stamps and send pacing.
unsigned long long alsaNanoTime();

// A sequencer address packed into the descriptor's `address` field.
inline long long packSeqAddress(int client, int port) {
    return (static_cast<long long>(client) << 8) | (port & 0xFF);
}
inline int seqAddressClient(long long address) {
    return static_cast<int>(address >> 8);
}
inline int seqAddressPort(long long address) {
    return static_cast<int>(address & 0xFF);
}

// The one sequencer client of the process ("Orvo MIDI subsystem"), shared by the factory
// and every port object: the ports of the MIDI objects, one queue for paced output and one
// receive thread that feeds the inputs. The client lives while anybody holds it.
class AlsaSequencer {
public:
    static constexpr const char* CLIENT_NAME = "Orvo MIDI subsystem";

    // The process's client, opened on first use; null when there is no sequencer, with
    // ALSA's error code in `error`. A failed open is tried again by the next call.
    static std::shared_ptr<AlsaSequencer> shared(int* error = nullptr);
    // Where the kernel offers the sequencer: /dev/snd/seq, or $DOKA_SEQUENCER_DEVICE (a
    // test's path that does not exist stands for a kernel without the module). Without it
    // the open fails at once with -ENOENT.
    static const char* devicePath();
    // Keeps libasound's own error printing off the terminal: our callers report failures.
    static void silenceLibraryErrors();
    ~AlsaSequencer();
    AlsaSequencer(const AlsaSequencer&) = delete;
    AlsaSequencer& operator=(const AlsaSequencer&) = delete;

    // For queries that keep no state in the handle (client and port information).
    snd_seq_t* handle() const { return seq; }
    int clientId() const { return ownClient; }
    int queueId() const { return queue; }
    // True once the receive thread stopped on a failure of the client: its ports are lost,
    // and shared() opens a new client.
    bool isBroken() const { return broken; }
    // The queue's real time minus CLOCK_MONOTONIC, in nanoseconds, read now.
    long long queueClockOffset();

    // A port of ours for the source at `address`, feeding `input`; its port number, or an
    // ALSA error code. Nothing arrives before subscribeInput. `lost` is set when the source
    // or the subscription goes away.
    int openInput(AlsaMidiInput* input, long long address, std::atomic<bool>* lost);
    // Subscribes the port from its source; 0 or an ALSA error code.
    int subscribeInput(int port);
    // A port of ours that other programs find by `name`, subscribe to and send to; whatever
    // any of them sends there feeds `input`. Its port number, or an ALSA error code; closed
    // with closeInput.
    int openVirtualInput(AlsaMidiInput* input, const char* name);
    // Unsubscribes the port from its source, then returns once the receive thread has
    // handed on everything that arrived for it before, or after DELIVERY_LIMIT_MS. On the
    // receive thread itself (a listener closing its port) it does not wait.
    void deliverPendingInput(int port);
    // Unsubscribes and deletes the port; when it returns, the receive thread no longer
    // finds `input` (it may still be inside its receive scope).
    void closeInput(int port);
    // A port of ours for the destination at `address`; its port number, or an ALSA error
    // code. Nothing leaves before subscribeOutput. `lost` is set when the destination or the
    // subscription goes away.
    int openOutput(long long address, std::atomic<bool>* lost);
    // Subscribes the destination to the port; 0 or an ALSA error code.
    int subscribeOutput(int port);
    // Drops what the port still has queued, then deletes it.
    void closeOutput(int port);
    // Forgets the events of an output port still waiting on the queue.
    void dropQueued(int port);
    // Marks the events of an output port, so that they can be dropped from the queue.
    static unsigned char eventTag(int port) { return static_cast<unsigned char>(port); }

    // Writes one event to the kernel. While the kernel has no room it waits, as long as
    // `keepGoing` says so and the kernel takes something within a few seconds; returns 0
    // or an ALSA error code.
    template <class KeepGoing> int write(snd_seq_event_t& event, KeepGoing keepGoing) {
        for (int waitedMs = 0;;) {
            int result;
            {
                std::lock_guard<std::mutex> hold(outputMutex);
                result = snd_seq_event_output_direct(seq, &event);
            }
            if (result >= 0)
                return 0;
            if (!isRetryable(result) || !keepGoing() || waitedMs >= WRITE_STALL_LIMIT_MS)
                return result;
            waitedMs += waitForRoom();
        }
    }

private:
    class ReceiveThread;
    static constexpr int WRITE_STALL_LIMIT_MS = 5000;
    static constexpr int DELIVERY_LIMIT_MS = 2000;
    // Port numbers 1 to 253 are handed out in turn rather than reused at once, so that
    // an announcement about a closed port is not taken for its successor.
    static constexpr int FIRST_PORT = 1;
    static constexpr int LAST_PORT = 253;

    AlsaSequencer() = default;
    int open();
    static bool isRetryable(int error) { return error == -EAGAIN || error == -ENOMEM; }
    // Waits a little for room in the output pool; the milliseconds waited.
    int waitForRoom();
    // Private to the connections we make ourselves unless `exported`.
    int createPort(const char* name, unsigned caps, bool exported = false);
    void receiveEvents();
    void dispatch(const snd_seq_event_t& event, unsigned long long receiptTime);
    void markerReached(unsigned token);
    // Run by the receive thread when it cannot go on: reports and marks every port lost.
    void receiveFailed(const char* why);
    void reportOverrun();
    // Marks the inputs and outputs connected to the port (or any port of its client) lost.
    void peerGone(const snd_seq_addr_t& address, bool wholeClient);
    void subscriptionGone(const snd_seq_connect_t& connection);

    snd_seq_t* seq = nullptr;
    int ownClient = -1;
    int queue = -1;
    std::atomic<bool> broken{false};     // set by the receive thread
    int nextPort = FIRST_PORT;           // guarded by portsMutex
    snd_midi_event_t* decoder = nullptr; // used by the receive thread only
    unsigned long long lastOverrun = 0;  // used by the receive thread only
    std::unique_ptr<ReceiveThread> receiver;
    std::mutex outputMutex; // the handle's output side (its scratch buffer)

    struct InputEntry {
        AlsaMidiInput* input;
        snd_seq_addr_t source;
        bool anySource = false; // a port other programs send to
        std::atomic<bool>* lost = nullptr;
    };
    struct OutputEntry {
        snd_seq_addr_t destination;
        std::atomic<bool>* lost;
    };
    // Guards both tables; the receive thread enters an input's receive scope under it.
    std::mutex portsMutex;
    std::map<int, InputEntry> inputs;
    std::map<int, OutputEntry> outputs;

    // Markers that deliverPendingInput sends to our own input ports: the receive thread
    // reads them after everything that arrived before them.
    std::mutex markerMutex;
    std::condition_variable markerArrived;
    unsigned markersSent = 0;    // guarded by markerMutex
    unsigned markersReached = 0; // guarded by markerMutex
};

} // namespace Lk
