#pragma once

#include "midi/MidiDevice.h"

#include <alsa/asoundlib.h>

#include <atomic>
#include <memory>

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
// queue, stamped with the time at which its first byte would go on the wire.
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
    // Returns when every byte has been handed to the sequencer; `callback` is asked while
    // the sequencer has no room. Clearing its flag ends the questions, not the send.
    int SendLongWait(const unsigned char* data, int length,
                     TMidiOutWaitCallback* callback) override;

    // Pacing per byte; 0 sends everything at once (for destinations faster than a wire).
    void setByteNanos(unsigned long long nanos) { byteNanos = nanos; }

private:
    struct Send;
    // Sends the bytes as events, the first at `start`; 0 or an ALSA error code.
    int sendPackets(Send& send, const unsigned char* data, int length, unsigned long long start);
    int sendEvent(Send& send, snd_seq_event_t& event, unsigned long long due);
    int failed(int error);
    void reportFailure(int error);

    std::shared_ptr<AlsaSequencer> sequencer; // kept until the object goes
    int port = -1;
    std::atomic<bool> destinationLost{false}; // set by the receive thread
    std::atomic<bool> failureReported{false};
    snd_midi_event_t* encoder = nullptr;
    // Used under the send scope only.
    unsigned long long byteNanos = WIRE_BYTE_NANOS;
    unsigned long long nextFreeTime = 0;   // when all bytes sent so far have left
    unsigned long long lastQueuedTime = 0; // due time of the last event put on the queue
    long long lastQueueTime = 0;           // its time on the queue's clock
};

} // namespace Lk
