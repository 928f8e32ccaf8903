#include "core/linux/AlsaMidiOutput.h"

#include "core/linux/AlsaOpen.h"
#include "midi/MidiDeviceFactory.h"
#include "platform/OxThread.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

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

// Hands the port's queued messages to the sequencer, waiting for room as long as it has to.
class AlsaMidiOutput::Sender : public OxThread {
public:
    explicit Sender(AlsaMidiOutput& owner) : OxThread(0, "AlsaMidiSend"), owner(owner) {}
    ~Sender() override { stop(); }
    void Execute() override {
        while (!isTerminated())
            if (!owner.sendNextPiece())
                getEvent().WaitMs(owner.endDroppingWhenDrained()); // a queued message notifies
    }

private:
    AlsaMidiOutput& owner;
};

// A SendLongWait waiting for its message to leave the queue.
struct AlsaMidiOutput::Waiter {
    unsigned long long sequence = 0;
    bool done = false;
    int error = NO_ERROR;
    Waiter* next = nullptr;
};

AlsaMidiOutput::AlsaMidiOutput(MidiDeviceDescriptor* descriptor)
    : TMidiOutputBase(descriptor), sender(std::make_unique<Sender>(*this)) {
    // Encodes one message at a time; its buffer never holds System Exclusive.
    if (snd_midi_event_new(16, &encoder) < 0)
        encoder = nullptr;
}

AlsaMidiOutput::~AlsaMidiOutput() {
    Close();
    sender.reset();
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
    if (result >= 0) {
        sequencer = shared;
        port = result;
        if (!sender->Start()) {
            shared->closeOutput(port);
            port = -1;
            result = -EAGAIN;
        }
    }
    if (result >= 0) {
        failureReported = false;
        // Open before the subscription: once the destination sees us subscribed, what is
        // passed on to it must find the port open.
        setHandle(sequencer.get());
        if ((result = sequencer->subscribeOutput(port)) >= 0)
            return 1;
        setHandle(nullptr);
        CloseImpl(nullptr);
    }
    if (errors != nullptr)
        errors->list.add(alsaOpenErrorText(*GetDescriptor(), result));
    return 0;
}

int AlsaMidiOutput::CloseImpl(void*) {
    // Sends that start from now on find the port closed; those under way end first. The
    // scope is left before the sequencer's port table is locked: the receive thread takes
    // that lock before a thru send's scope.
    { SendScope noSendInFlight(*this); }
    // A write waiting for room sees the port closed within its next slice.
    sender->stop();
    {
        std::unique_lock<std::mutex> hold(queueMutex);
        dropQueuedMessages(-ECANCELED);
        messageDone.wait(hold, [&] { return waiters == nullptr; });
        // The wire time of what was dropped is free again.
        nextFreeTime = 0;
        limit = AlsaSendLimit(AlsaSendLimit::limitFor(byteNanos));
        dropping = false;
    }
    sending = Sending();
    lastQueuedTime = 0;
    lastQueueTime = 0;
    queuedSinceEmpty = false;
    if (sequencer && port >= 0)
        sequencer->closeOutput(port);
    port = -1;
    return 1;
}

int AlsaMidiOutput::SendShort(unsigned char status, unsigned char data1, unsigned char data2) {
    const unsigned char bytes[3] = {status, data1, data2};
    const int length = ShortMidiMessageLength(status);
    int error = -ENODEV;
    {
        SendScope scope(*this);
        if (!scope.portIsOpen() || length == 0)
            return 0;
        if (!destinationLost) {
            std::lock_guard<std::mutex> hold(queueMutex);
            // Not before what is still leaving, which it would cut into (real-time bytes
            // may go between); but it reserves no wire time of its own.
            const unsigned long long now = alsaNanoTime();
            const bool realTime = status >= 0xF8;
            error = !admit(bytes, length, now)
                        ? DROPPED
                        : sendOrQueue(bytes, length,
                                      nextFreeTime > now && !realTime ? nextFreeTime : now, false,
                                      nullptr);
        }
    }
    if (error == DROPPED)
        return droppedMessage();
    return failed(error) ? 0 : 1;
}

// Reserves the wire time of a long message after what was sent before and hands it on;
// NOT_OPEN when there is nothing to send to, else 0 or an ALSA error code.
int AlsaMidiOutput::queueLong(const unsigned char* data, int length, Waiter* waiter) {
    SendScope scope(*this);
    if (!scope.portIsOpen() || data == nullptr || length < 1)
        return NOT_OPEN;
    if (destinationLost)
        return -ENODEV;
    std::lock_guard<std::mutex> hold(queueMutex);
    const unsigned long long now = alsaNanoTime();
    if (!admit(data, length, now))
        return DROPPED;
    const unsigned long long start = nextFreeTime > now ? nextFreeTime : now;
    nextFreeTime = start + static_cast<unsigned long long>(length) * byteNanos;
    return sendOrQueue(data, length, start, true, waiter);
}

int AlsaMidiOutput::SendLong(const unsigned char* data, int length) {
    const int error = queueLong(data, length, nullptr);
    if (error == NOT_OPEN)
        return 0;
    if (error == DROPPED)
        return droppedMessage();
    return failed(error) ? 0 : length;
}

int AlsaMidiOutput::SendLongWait(const unsigned char* data, int length,
                                 TMidiOutWaitCallback* callback) {
    constexpr int ASK_EVERY_MS = 10;
    Waiter waiter;
    const int error = queueLong(data, length, &waiter);
    if (error == NOT_OPEN)
        return 0;
    if (error == DROPPED)
        return droppedMessage();
    if (error != NO_ERROR) {
        failed(error);
        return 0;
    }
    // Not in the send scope: Close drops the message and releases the wait.
    std::unique_lock<std::mutex> hold(queueMutex);
    int keepWaiting = 1;
    while (!waiter.done) {
        if (messageDone.wait_for(hold, std::chrono::milliseconds(ASK_EVERY_MS),
                                 [&] { return waiter.done; }))
            break;
        if (callback != nullptr) {
            hold.unlock();
            callback->OnMidiOutWait(this, &keepWaiting);
            hold.lock();
            if (!keepWaiting)
                break;
        }
    }
    for (Waiter** w = &waiters; *w != nullptr; w = &(*w)->next)
        if (*w == &waiter) {
            *w = waiter.next;
            break;
        }
    messageDone.notify_all();
    // A failure has been reported by the sender thread.
    return waiter.done && waiter.error != NO_ERROR ? 0 : length;
}

int AlsaMidiOutput::QueuedLongMessages() {
    std::lock_guard<std::mutex> hold(queueMutex);
    return queuedLong;
}

void AlsaMidiOutput::setByteNanos(unsigned long long nanos) {
    std::lock_guard<std::mutex> hold(queueMutex);
    byteNanos = nanos;
    limit = AlsaSendLimit(AlsaSendLimit::limitFor(nanos));
}

int AlsaMidiOutput::sendOrQueue(const unsigned char* data, int length, unsigned long long start,
                                bool isLong, Waiter* waiter) {
    if (!isLong && messages.empty() && !pieceInFlight) {
        int pieces = 0;
        forEachMidiPacket(data, length, MAX_PIECE, [&](int, int) { ++pieces; });
        if (pieces == 1) {
            QueueClock clock;
            const int error = writePiece(data, length, start, clock, false);
            // A full sequencer takes it later, from the queue.
            if (error != -EAGAIN && error != -ENOMEM)
                return error;
        }
    }
    const unsigned long long sequence = nextSequence;
    const int error = queue(data, length, start, isLong);
    if (error != NO_ERROR)
        return error;
    if (waiter != nullptr) {
        waiter->sequence = sequence;
        waiter->next = waiters;
        waiters = waiter;
    }
    sender->Notify();
    return NO_ERROR;
}

int AlsaMidiOutput::queue(const unsigned char* data, int length, unsigned long long start,
                          bool isLong) {
    const AlsaSendQueue::Message message{nextSequence, start, isLong ? byteNanos : 0, length,
                                         isLong};
    const AlsaSendQueue::Mark mark = messages.mark();
    bool appended = messages.appendMessage(message);
    forEachMidiPacket(data, length, MAX_PIECE, [&](int offset, int size) {
        appended = appended && messages.appendPiece(data + offset, size);
    });
    if (!appended) {
        messages.rollBack(mark);
        return -ENOMEM;
    }
    ++nextSequence;
    if (isLong)
        ++queuedLong;
    return NO_ERROR;
}

bool AlsaMidiOutput::admit(const unsigned char* data, int length, unsigned long long now) {
    const size_t wireAhead =
        byteNanos > 0 && nextFreeTime > now ? (nextFreeTime - now) / byteNanos : 0;
    return limit.admit(data, length, std::max(messages.bytes(), wireAhead));
}

// A dropped message counts as not sent: 0.
int AlsaMidiOutput::droppedMessage() {
    if (!dropping.exchange(true)) {
        tellDropping(true);
        sender->Notify(); // to see when the burst ends
    }
    return 0;
}

void AlsaMidiOutput::tellDropping(bool on) {
    const std::shared_ptr<const MidiDeviceDescriptor> d = GetDescriptor();
    if (on)
        std::fprintf(stderr, "MIDI output \"%s\": dropping: the output is slower than the input\n",
                     d->GetName().c_str());
    if (MidiDeviceFactory::Listener* l =
            d->factory != nullptr ? d->factory->getListener() : nullptr)
        l->onMidiDeviceStateChanged(this);
}

int AlsaMidiOutput::endDroppingWhenDrained() {
    if (!dropping)
        return 0;
    {
        std::lock_guard<std::mutex> hold(queueMutex);
        const unsigned long long now = alsaNanoTime();
        if (nextFreeTime > now)
            return static_cast<int>((nextFreeTime - now) / 1000000) + 1;
        if (!messages.empty() || pieceInFlight)
            return 1; // the sender thread was notified
    }
    if (dropping.exchange(false))
        tellDropping(false);
    return 0;
}

bool AlsaMidiOutput::sendNextPiece() {
    unsigned char piece[MAX_PIECE];
    int size;
    {
        std::lock_guard<std::mutex> hold(queueMutex);
        if (messages.empty())
            return false;
        if (sending.offset == sending.message.length) {
            sending = Sending();
            sending.message = messages.takeMessage();
        }
        size = messages.takePiece(piece);
        pieceInFlight = true;
    }
    const AlsaSendQueue::Message& message = sending.message;
    int error = NO_ERROR;
    if (sending.error == NO_ERROR) {
        // A paced piece is handed on once the wire would have carried it.
        const unsigned long long due =
            message.start +
            static_cast<unsigned long long>(sending.offset + size) * message.byteNanos;
        error = writePiece(piece, size, due, sending.clock, true);
        sending.error = error;
    }
    sending.offset += size;
    {
        std::lock_guard<std::mutex> hold(queueMutex);
        pieceInFlight = false;
        if (sending.offset == message.length)
            messageLeft(message, sending.error);
    }
    if (error != NO_ERROR)
        senderFailed(error);
    return true;
}

void AlsaMidiOutput::senderFailed(int error) {
    if (!IsOpen() || sender->isTerminated())
        return; // stopped by Close, which drops the rest
    if (!destinationLost) {
        reportFailure(error); // the rest of this message is dropped
        return;
    }
    // Nothing more can arrive: free the queues of what was left for it.
    {
        std::lock_guard<std::mutex> hold(queueMutex);
        dropQueuedMessages(-ENODEV);
    }
    sending.offset = sending.message.length;
    sequencer->dropQueued(port);
    reportFailure(-ENODEV);
}

void AlsaMidiOutput::messageLeft(const AlsaSendQueue::Message& message, int error) {
    if (message.isLong)
        --queuedLong;
    for (Waiter* w = waiters; w != nullptr; w = w->next)
        if (w->sequence == message.sequence) {
            w->done = true;
            w->error = error;
            messageDone.notify_all();
        }
}

void AlsaMidiOutput::dropQueuedMessages(int error) {
    messages.clear();
    queuedLong = 0;
    for (Waiter* w = waiters; w != nullptr; w = w->next)
        if (!w->done) {
            w->done = true;
            w->error = error;
        }
    messageDone.notify_all();
}

int AlsaMidiOutput::writePiece(const unsigned char* bytes, int size, unsigned long long due,
                               QueueClock& clock, bool wait) {
    if (destinationLost)
        return -ENODEV;
    snd_seq_event_t event;
    snd_seq_ev_clear(&event);
    bool encoded = false;
    if (size == ShortMidiMessageLength(bytes[0])) {
        snd_midi_event_reset_encode(encoder);
        encoded = snd_midi_event_encode(encoder, bytes, size, &event) == size &&
                  event.type != SND_SEQ_EVENT_NONE;
    }
    if (!encoded) {
        // System Exclusive, and bytes that no event type stands for, travel as they are:
        // the sequencer passes them to the wire unchanged.
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_sysex(&event, static_cast<unsigned>(size),
                             const_cast<unsigned char*>(bytes));
    }
    snd_seq_ev_set_source(&event, port);
    snd_seq_ev_set_subs(&event);
    event.tag = AlsaSequencer::eventTag(port);
    const unsigned long long now = alsaNanoTime();
    if (due <= now && lastQueuedTime + QUEUE_SETTLE_NANOS <= now && !queueMayHoldEvents()) {
        snd_seq_ev_set_direct(&event);
    } else {
        queuedSinceEmpty = true;
        if (!clock.known) {
            clock.offset = sequencer->queueClockOffset();
            clock.known = true;
        }
        // Absolute queue times that never go back: events of this port leave in the order
        // in which they were sent, also when two are due at the same time.
        long long queueTime =
            static_cast<long long>(due > now ? due : now) + clock.offset + QUEUE_MARGIN_NANOS;
        if (queueTime < lastQueueTime)
            queueTime = lastQueueTime;
        lastQueueTime = queueTime;
        lastQueuedTime = due > now ? due : now;
        snd_seq_real_time_t at;
        at.tv_sec = static_cast<unsigned>(queueTime / 1000000000ll);
        at.tv_nsec = static_cast<unsigned>(queueTime % 1000000000ll);
        snd_seq_ev_schedule_real(&event, sequencer->queueId(), 0, &at);
    }
    return sequencer->write(
        event, [&] { return wait && IsOpen() && !destinationLost && !sender->isTerminated(); });
}

bool AlsaMidiOutput::queueMayHoldEvents() {
    if (!queuedSinceEmpty)
        return false;
    // The queue is ours alone; what other outputs of ours queued counts too, which only
    // delays a message.
    snd_seq_queue_status_t* status;
    snd_seq_queue_status_alloca(&status);
    if (snd_seq_get_queue_status(sequencer->handle(), sequencer->queueId(), status) < 0)
        return true;
    queuedSinceEmpty = snd_seq_queue_status_get_events(status) > 0;
    return queuedSinceEmpty;
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
    const std::shared_ptr<const MidiDeviceDescriptor> d = GetDescriptor();
    if (d->factory == nullptr)
        return;
    if (MidiDeviceFactory::Listener* l = d->factory->getListener())
        l->onMidiDeviceError(this, OxString::format("Cannot send to MIDI output device \"%s\": %s",
                                                    d->GetName().c_str(), snd_strerror(error)));
}

} // namespace Lk
