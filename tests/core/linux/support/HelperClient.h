#pragma once

#include "tests/support/MidiBytes.h"

#include <alsa/asoundlib.h>
#include <sys/types.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

// A sequencer client in another process (the library does not list our own process's
// clients): a device, a synth or another program for the tests on the real sequencer. Its
// ports are made and deleted on command, at chosen numbers, so that a replugged device can
// come back at another address. It sends from its latest readable port ("Out" once
// plugged) and keeps what reaches any of its ports. The child is single-threaded: it serves
// one command at a time and meanwhile keeps collecting and, while a stream runs, sending.
// Commands may come from any thread.
class HelperClient {
public:
    using Bytes = dokatest::Bytes;
    // Numbers of a stream's messages that went out while the sending port had a subscriber:
    // runs of [first, last].
    using Runs = std::vector<std::pair<uint32_t, uint32_t>>;
    static constexpr unsigned READABLE = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
    static constexpr unsigned WRITABLE = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    // What a real device sends at most: 31 250 baud, ten bits a byte.
    static constexpr unsigned WIRE_BYTES_PER_SECOND = 3125;

    struct Port {
        std::string name;
        unsigned caps = 0;
        int number = -1; // -1: the next free one
    };
    // A port of the whole sequencer, as another program sees it.
    struct SeenPort {
        int client = -1;
        int port = -1;
        unsigned caps = 0;
        std::string clientName;
        std::string name;
    };

    explicit HelperClient(const char* clientName, const std::vector<Port>& ports = {});
    HelperClient(const HelperClient&) = delete;
    HelperClient& operator=(const HelperClient&) = delete;
    ~HelperClient();

    int clientId() const { return client; } // -1 when the process did not start
    // The process ends: its client and ports vanish at once, as an unplugged device's.
    void stop();

    // The port's number, or a negative error.
    int addPort(const Port& port);
    bool deletePort(int number);
    // Creates "In" (writable) at `firstPort` and "Out" (readable) at the next number.
    bool plug(int firstPort);
    bool unplug();

    // Sends the messages in `bytes` to the subscribers of the sending port, System
    // Exclusive in slices of 256 bytes (a slice may continue one that an earlier send left
    // open), and returns when all went: as fast as the sequencer takes them, or each event
    // once its last byte would have come over a wire of `bytesPerSecond`.
    bool send(const Bytes& bytes, unsigned bytesPerSecond = 0);
    // What arrived since the last call, until `count` bytes came or `timeoutMs` passed.
    Bytes receive(size_t count, unsigned timeoutMs = 10000);
    // Whether as many subscribers read from the sending port (`out`) or write to the latest
    // writable one within the time.
    bool waitForSubscribers(bool out, int count, unsigned timeoutMs);

    // Sends numbered messages, `perSecond` of them, numbers from 0 on, until stopStream;
    // while there is no sending port it waits. Each message is checked for a subscriber just
    // before it goes: one whose subscription the system has announced as complete (the
    // kernel counts a reader a moment before it delivers to it).
    bool startStream(unsigned perSecond);
    // How many went, and which of them while the sending port had a subscriber.
    bool stopStream(uint32_t& sent, Runs& subscribed);
    // Stream message number n: a Pitch Bend carrying the low 18 bits of n.
    static Bytes streamMessage(uint32_t n);
    // Reads the stream messages in `bytes` back into their numbers, continuing from
    // `numbers` (which tells where the 18-bit values wrap); false at a byte that is not one.
    static bool readStream(const Bytes& bytes, std::vector<uint32_t>& numbers);

    // Every port of the sequencer, our own process's too.
    std::vector<SeenPort> ports();
    // The number of the client with that name, -1 when there is none.
    int findClient(const std::string& name);
    // Whether that client receives the system's announcements. Asked at its own ports: the
    // kernel lists a new subscription at the announce port before it delivers anything
    // through it, at the receiving port only once it does.
    bool hearsAnnouncements(const std::string& clientName);

private:
    // The child's result, or -1 when it could not be asked.
    int request(int op, int argument = 0, const Bytes& payload = {}, unsigned extra = 0,
                Bytes* answer = nullptr);

    std::mutex commands;
    snd_seq_t* view = nullptr;
    std::pair<int, int> plugged{-1, -1}; // "In" and "Out"
    pid_t pid = -1;
    int fromChild = -1;
    int toChild = -1;
    int client = -1;
};
