#include "core/linux/AlsaMidiOutput.h"

#include "core/linux/AlsaOpen.h"
#include "midi/MidiDeviceFactory.h"

namespace Lk {

namespace {

// Events due within this time after queued ones of the same port go on the queue too,
// so that they cannot overtake those that the queue's timer has not sent yet.
constexpr unsigned long long QUEUE_SETTLE_NANOS = 20000000;
// The queue's timer may run a little ahead of CLOCK_MONOTONIC: bytes are never handed on
// before the wire would have carried them.
constexpr long long QUEUE_MARGIN_NANOS = 1000000;
constexpr int NO_ERROR = 0;

} // namespace

struct AlsaMidiOutput::Send {
    SendScope& scope;
    TMidiOutWaitCallback* callback;
    bool paced;
    int keepWaiting = 1;
    bool queueClockKnown = false;
    long long queueClockOffset = 0; // queue time minus CLOCK_MONOTONIC
};

AlsaMidiOutput::AlsaMidiOutput(MidiDeviceDescriptor* descriptor) : TMidiOutputBase(descriptor) {
    // Encodes one message at a time; its buffer never holds System Exclusive.
    if (snd_midi_event_new(16, &encoder) < 0)
        encoder = nullptr;
}

AlsaMidiOutput::~AlsaMidiOutput() {
    Close();
    if (encoder != nullptr)
        snd_midi_event_free(encoder);
}

int AlsaMidiOutput::OpenImpl(OxStringList* errors) {
    std::shared_ptr<AlsaSequencer> shared = alsaPrepareOpen(*GetDescriptor(), errors);
    if (!shared)
        return 0;
    int result = encoder != nullptr ? NO_ERROR : -ENOMEM;
    if (result == NO_ERROR) {
        destinationLost = false;
        result = shared->openOutput(GetDescriptor()->address, &destinationLost);
    }
    if (result < 0) {
        if (errors != nullptr)
            errors->list.add(alsaOpenErrorText(*GetDescriptor(), result));
        return 0;
    }
    sequencer = shared;
    port = result;
    failureReported = false;
    setHandle(sequencer.get());
    return 1;
}

int AlsaMidiOutput::CloseImpl(void*) {
    // A send in progress sees the port closing and stops; the port goes after it. Sends
    // that start later find the port closed. The scope is left before the sequencer's
    // port table is locked: the receive thread takes that lock before a thru send's scope.
    { SendScope noSendInFlight(*this); }
    if (sequencer && port >= 0)
        sequencer->closeOutput(port);
    port = -1;
    return 1;
}

int AlsaMidiOutput::SendShort(unsigned char status, unsigned char data1, unsigned char data2) {
    const unsigned char bytes[3] = {status, data1, data2};
    const int length = ShortMidiMessageLength(status);
    int error;
    {
        SendScope scope(*this);
        if (!scope.portIsOpen() || length == 0)
            return 0;
        Send send{scope, nullptr, false};
        // Not before what is still leaving, which it would cut into (real-time bytes may
        // go between); but it reserves no wire time of its own.
        const unsigned long long now = alsaNanoTime();
        const bool realTime = status >= 0xF8;
        error =
            sendPackets(send, bytes, length, nextFreeTime > now && !realTime ? nextFreeTime : now);
    }
    return failed(error) ? 0 : 1;
}

int AlsaMidiOutput::SendLongWait(const unsigned char* data, int length,
                                 TMidiOutWaitCallback* callback) {
    int error;
    {
        SendScope scope(*this);
        if (!scope.portIsOpen() || data == nullptr || length < 1)
            return 0;
        const unsigned long long now = alsaNanoTime();
        const unsigned long long start = nextFreeTime > now ? nextFreeTime : now;
        nextFreeTime = start + static_cast<unsigned long long>(length) * byteNanos;
        Send send{scope, callback, true};
        error = sendPackets(send, data, length, start);
    }
    return failed(error) ? 0 : length;
}

int AlsaMidiOutput::sendPackets(Send& send, const unsigned char* data, int length,
                                unsigned long long start) {
    if (destinationLost)
        return -ENODEV;
    int error = NO_ERROR;
    forEachMidiPacket(data, length, MAX_PIECE, [&](int offset, int size) {
        if (error != NO_ERROR)
            return;
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        const unsigned char* bytes = data + offset;
        bool encoded = false;
        if (size == ShortMidiMessageLength(bytes[0])) {
            snd_midi_event_reset_encode(encoder);
            encoded = snd_midi_event_encode(encoder, bytes, size, &event) == size &&
                      event.type != SND_SEQ_EVENT_NONE;
        }
        if (!encoded) {
            // System Exclusive, and bytes that no event type stands for, travel as they
            // are: the sequencer passes them to the wire unchanged.
            snd_seq_ev_clear(&event);
            snd_seq_ev_set_sysex(&event, static_cast<unsigned>(size),
                                 const_cast<unsigned char*>(bytes));
        }
        // A paced piece is handed on once the wire would have carried it.
        const unsigned long long due =
            send.paced ? start + static_cast<unsigned long long>(offset + size) * byteNanos : start;
        error = sendEvent(send, event, due);
    });
    return error;
}

int AlsaMidiOutput::sendEvent(Send& send, snd_seq_event_t& event, unsigned long long due) {
    snd_seq_ev_set_source(&event, port);
    snd_seq_ev_set_subs(&event);
    event.tag = AlsaSequencer::eventTag(port);
    const unsigned long long now = alsaNanoTime();
    if (due <= now && lastQueuedTime + QUEUE_SETTLE_NANOS <= now) {
        snd_seq_ev_set_direct(&event);
    } else {
        if (!send.queueClockKnown) {
            send.queueClockOffset = sequencer->queueClockOffset();
            send.queueClockKnown = true;
        }
        // Absolute queue times that never go back: events of this port leave in the order
        // in which they were sent, also when two are due at the same time.
        long long queueTime = static_cast<long long>(due > now ? due : now) +
                              send.queueClockOffset + QUEUE_MARGIN_NANOS;
        if (queueTime < lastQueueTime)
            queueTime = lastQueueTime;
        lastQueueTime = queueTime;
        lastQueuedTime = due > now ? due : now;
        snd_seq_real_time_t at;
        at.tv_sec = static_cast<unsigned>(queueTime / 1000000000ll);
        at.tv_nsec = static_cast<unsigned>(queueTime % 1000000000ll);
        snd_seq_ev_schedule_real(&event, sequencer->queueId(), 0, &at);
    }
    return sequencer->write(event, [&] {
        if (!send.scope.portIsOpen() || destinationLost)
            return false;
        if (send.callback != nullptr && send.keepWaiting)
            send.callback->OnMidiOutWait(this, &send.keepWaiting);
        return true;
    });
}

int AlsaMidiOutput::failed(int error) {
    if (error == NO_ERROR && !destinationLost)
        return 0;
    if (!IsOpen())
        return 1; // stopped by Close: nothing to report
    if (destinationLost) {
        // Nothing more can arrive: free the queue of what was left for it.
        SendScope scope(*this);
        if (scope.portIsOpen() && sequencer)
            sequencer->dropQueued(port);
        error = -ENODEV;
    }
    reportFailure(error);
    return 1;
}

void AlsaMidiOutput::reportFailure(int error) {
    // Once per open: a gone destination would otherwise report every message sent to it.
    if (failureReported.exchange(true))
        return;
    const MidiDeviceDescriptor* d = GetDescriptor();
    if (d->factory == nullptr)
        return;
    if (MidiDeviceFactory::Listener* l = d->factory->getListener())
        l->onMidiDeviceError(this, OxString::format("Cannot send to MIDI output device \"%s\": %s",
                                                    d->GetName().c_str(), snd_strerror(error)));
}

} // namespace Lk
