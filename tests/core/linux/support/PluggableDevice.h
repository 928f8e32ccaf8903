#pragma once

#include <sys/types.h>

#include <cstdint>
#include <utility>
#include <vector>

// A MIDI device in another process (our own process's sequencer clients are hidden from
// the library): a sequencer client whose port "Out" sends to its subscribers and whose port
// "In" receives. Both ports are created and deleted on command, at chosen port numbers, so
// that a replugged device can come back at another address. The child is single-threaded:
// it serves one command at a time and meanwhile keeps collecting what arrives on "In" and,
// while a stream runs, sends it.
class PluggableDevice {
public:
    using Bytes = std::vector<unsigned char>;
    // Numbers of a stream's messages that went out while "Out" had a subscriber: runs of
    // [first, last].
    using Runs = std::vector<std::pair<uint32_t, uint32_t>>;
    // What a real device sends at most: 31 250 baud, ten bits a byte.
    static constexpr unsigned WIRE_BYTES_PER_SECOND = 3125;

    explicit PluggableDevice(const char* clientName);
    PluggableDevice(const PluggableDevice&) = delete;
    PluggableDevice& operator=(const PluggableDevice&) = delete;
    ~PluggableDevice();

    bool isStarted() const { return started; }
    // Creates "In" at `firstPort` and "Out" at the next number.
    bool plug(int firstPort);
    bool unplug();
    // Sends the messages in `bytes` from "Out", each as one event (a long System Exclusive
    // in pieces), and returns when all went: as fast as the sequencer takes them, or at
    // most `bytesPerSecond` (in pieces of 256 bytes then, as a device sends what came
    // from its wire).
    bool send(const Bytes& bytes, unsigned bytesPerSecond = 0);
    // What arrived on "In" since the last call, until `count` bytes came or `timeoutMs`
    // passed.
    Bytes receive(size_t count, unsigned timeoutMs = 10000);
    // How many subscribers read from "Out" and write to "In"; -1 while unplugged.
    int outSubscribers();
    int inSubscribers();

    // Sends numbered messages from "Out", `perSecond` of them, numbers from 0 on, until
    // stopStream; while unplugged it waits. Each message is checked for a subscriber just
    // before it goes: one whose subscription the system has announced as complete.
    bool startStream(unsigned perSecond);
    // How many went, and which of them while "Out" had a subscriber.
    bool stopStream(uint32_t& sent, Runs& subscribed);
    // Stream message number n: a Pitch Bend carrying the low 18 bits of n.
    static Bytes streamMessage(uint32_t n);
    // Reads the stream messages in `bytes` back into their numbers, continuing from
    // `numbers` (which tells where the 18-bit values wrap); false at a byte that is not one.
    static bool readStream(const Bytes& bytes, std::vector<uint32_t>& numbers);

private:
    bool ask(int op, int argument, const Bytes& payload, int& result, Bytes* answer = nullptr,
             unsigned timeoutMs = 0);
    bool command(int op, int argument = 0, const Bytes& payload = {});

    pid_t pid = -1;
    int fromChild = -1;
    int toChild = -1;
    bool started = false;
};
