#include "core/linux/AlsaSequencer.h"

#include "core/linux/AlsaMidiInput.h"
#include "midi/MidiDeviceFactory.h"
#include "platform/ErrorHandler.h"
#include "platform/OxThread.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <vector>

namespace Lk {

namespace {

// Room in the kernel for bursts: a whole paced System Exclusive of some kilobytes is
// queued at once, and a fast sender does not overrun our input.
constexpr int POOL_CELLS = 2000;
constexpr size_t BUFFER_BYTES = 64 * 1024;
constexpr int DECODE_BUFFER = 16; // the longest event but System Exclusive is 3 bytes
// Overruns closer together than this are one burst, reported once.
constexpr unsigned long long OVERRUN_BURST_NANOS = 1000000000ull;

// The receive thread cannot wait for itself to read a marker.
thread_local bool onReceiveThread = false;

// True once `reached` is at or past `token`, across the wrap of the counters.
bool isReached(unsigned reached, unsigned token) {
    return static_cast<int>(reached - token) >= 0;
}

void ignoreLibraryError(const char*, int, const char*, int, const char*, ...) {}

std::mutex sharedMutex;
std::weak_ptr<AlsaSequencer> sharedSequencer;

} // namespace

unsigned long long alsaNanoTime() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<unsigned long long>(ts.tv_sec) * 1000000000ull +
           static_cast<unsigned long long>(ts.tv_nsec);
}

// Waits on the sequencer's descriptors and an eventfd, so that a stop ends the wait at
// once; reads whatever arrived and hands it to the sequencer.
class AlsaSequencer::ReceiveThread : public OxThread {
public:
    explicit ReceiveThread(AlsaSequencer& owner)
        : OxThread(0, "AlsaMidiReceive"), owner(owner), wake(eventfd(0, EFD_CLOEXEC)) {}
    ~ReceiveThread() override {
        stop();
        if (wake >= 0)
            close(wake);
    }
    bool usable() const { return wake >= 0; }

    void Terminate() override {
        OxThread::Terminate();
        const uint64_t one = 1;
        // Fails only with the counter near overflow, which one write per stop never is.
        if (::write(wake, &one, sizeof one) != sizeof one)
            return;
    }

    void Execute() override {
        onReceiveThread = true;
        const int count = snd_seq_poll_descriptors_count(owner.seq, POLLIN);
        std::vector<pollfd> fds(static_cast<size_t>(count) + 1);
        snd_seq_poll_descriptors(owner.seq, fds.data(), static_cast<unsigned>(count), POLLIN);
        fds[count] = {wake, POLLIN, 0};
        while (!isTerminated()) {
            if (poll(fds.data(), fds.size(), -1) < 0) {
                if (errno == EINTR)
                    continue;
                owner.receiveFailed(std::strerror(errno));
                return;
            }
            if (fds[count].revents != 0)
                break;
            // A broken sequencer handle would wake us at once for ever.
            for (int i = 0; i < count; ++i)
                if ((fds[i].revents & (POLLERR | POLLNVAL)) != 0) {
                    owner.receiveFailed((fds[i].revents & POLLNVAL) != 0
                                            ? "its descriptor was closed"
                                            : "it reported an error");
                    return;
                }
            owner.receiveEvents();
        }
    }

private:
    AlsaSequencer& owner;
    const int wake;
};

std::shared_ptr<AlsaSequencer> AlsaSequencer::shared(int* error) {
    std::lock_guard<std::mutex> hold(sharedMutex);
    std::shared_ptr<AlsaSequencer> sequencer = sharedSequencer.lock();
    int result = 0;
    if (!sequencer || sequencer->isBroken()) {
        sequencer.reset(new AlsaSequencer());
        result = sequencer->open();
        if (result < 0)
            sequencer.reset();
        sharedSequencer = sequencer;
    }
    if (error != nullptr)
        *error = result;
    return sequencer;
}

const char* AlsaSequencer::devicePath() {
    const char* path = std::getenv("DOKA_SEQUENCER_DEVICE");
    return path != nullptr && path[0] != '\0' ? path : "/dev/snd/seq";
}

void AlsaSequencer::silenceLibraryErrors() {
    static std::once_flag once;
    std::call_once(once, [] { snd_lib_error_set_handler(&ignoreLibraryError); });
}

int AlsaSequencer::open() {
    silenceLibraryErrors();
    // Spares every refresh on a machine without a sequencer a failing open.
    if (access(devicePath(), F_OK) != 0)
        return -ENOENT;
    int result = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
    if (result < 0) {
        seq = nullptr;
        return result;
    }
    snd_seq_set_client_name(seq, CLIENT_NAME);
    ownClient = snd_seq_client_id(seq);
    // Larger pools are a comfort, not a need: the kernel may refuse them. The input pool
    // holds what arrived and was not read yet; what does not fit is lost.
    snd_seq_set_client_pool_output(seq, POOL_CELLS);
    if ((result = snd_seq_set_client_pool_input(seq, POOL_CELLS)) < 0)
        EH_out(EH_OUTPUT_ERROR, "MIDI input pool of %d events refused: %s", POOL_CELLS,
               snd_strerror(result));
    snd_seq_set_output_buffer_size(seq, BUFFER_BYTES);
    snd_seq_set_input_buffer_size(seq, BUFFER_BYTES);
    if ((result = snd_seq_alloc_named_queue(seq, "Orvo MIDI output")) < 0)
        return result;
    queue = result;
    if ((result = snd_seq_start_queue(seq, queue, nullptr)) < 0 ||
        (result = snd_seq_drain_output(seq)) < 0)
        return result;
    if ((result = snd_midi_event_new(DECODE_BUFFER, &decoder)) < 0)
        return result;
    // Channel messages are decoded whole, each with its status byte.
    snd_midi_event_no_status(decoder, 1);
    // Announcements tell when a destination goes away; without them a vanished
    // destination just swallows what is sent, so a failure here is not fatal.
    const int announcements = createPort("Announcements", SND_SEQ_PORT_CAP_WRITE);
    if (announcements >= 0)
        snd_seq_connect_from(seq, announcements, SND_SEQ_CLIENT_SYSTEM,
                             SND_SEQ_PORT_SYSTEM_ANNOUNCE);
    receiver = std::make_unique<ReceiveThread>(*this);
    if (!receiver->usable() || !receiver->Start())
        return errno != 0 ? -errno : -EAGAIN;
    return 0;
}

AlsaSequencer::~AlsaSequencer() {
    receiver.reset(); // joined before the handle goes
    if (decoder != nullptr)
        snd_midi_event_free(decoder);
    if (seq != nullptr)
        snd_seq_close(seq);
}

int AlsaSequencer::createPort(const char* name, unsigned caps, bool exported) {
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    snd_seq_port_info_set_name(info, name);
    snd_seq_port_info_set_capability(info, exported ? caps : caps | SND_SEQ_PORT_CAP_NO_EXPORT);
    snd_seq_port_info_set_type(info,
                               SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    snd_seq_port_info_set_port_specified(info, 1);
    int result = -EBUSY;
    for (int attempt = FIRST_PORT; attempt <= LAST_PORT && result == -EBUSY; ++attempt) {
        int port;
        {
            std::lock_guard<std::mutex> hold(portsMutex);
            port = nextPort;
            nextPort = port == LAST_PORT ? FIRST_PORT : port + 1;
        }
        snd_seq_port_info_set_port(info, port);
        result = snd_seq_create_port(seq, info);
        if (result >= 0)
            return port;
    }
    return result;
}

int AlsaSequencer::openInput(AlsaMidiInput* input, long long address, std::atomic<bool>* lost) {
    const int port = createPort("Input port", SND_SEQ_PORT_CAP_WRITE);
    if (port < 0)
        return port;
    InputEntry entry;
    entry.input = input;
    entry.lost = lost;
    entry.source.client = static_cast<unsigned char>(seqAddressClient(address));
    entry.source.port = static_cast<unsigned char>(seqAddressPort(address));
    std::lock_guard<std::mutex> hold(portsMutex);
    inputs[port] = entry;
    return port;
}

int AlsaSequencer::subscribeInput(int port) {
    snd_seq_addr_t source;
    {
        std::lock_guard<std::mutex> hold(portsMutex);
        const auto found = inputs.find(port);
        if (found == inputs.end())
            return -ENOENT;
        source = found->second.source;
    }
    return snd_seq_connect_from(seq, port, source.client, source.port);
}

int AlsaSequencer::openVirtualInput(AlsaMidiInput* input, const char* name) {
    const int port = createPort(name, SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE, true);
    if (port < 0)
        return port;
    InputEntry entry;
    entry.input = input;
    entry.source = {};
    entry.anySource = true;
    std::lock_guard<std::mutex> hold(portsMutex);
    inputs[port] = entry;
    return port;
}

void AlsaSequencer::deliverPendingInput(int port) {
    snd_seq_addr_t source{};
    bool subscribed = false;
    {
        std::lock_guard<std::mutex> hold(portsMutex);
        const auto found = inputs.find(port);
        if (found == inputs.end())
            return;
        source = found->second.source;
        subscribed = !found->second.anySource;
    }
    // Fails when the source has gone, which ended the subscription already.
    if (subscribed)
        snd_seq_disconnect_from(seq, port, source.client, source.port);
    if (onReceiveThread || broken)
        return;
    unsigned token;
    {
        std::lock_guard<std::mutex> hold(markerMutex);
        token = ++markersSent;
    }
    snd_seq_event_t marker;
    snd_seq_ev_clear(&marker);
    marker.type = SND_SEQ_EVENT_USR0;
    snd_seq_ev_set_source(&marker, port);
    snd_seq_ev_set_dest(&marker, ownClient, port);
    snd_seq_ev_set_direct(&marker);
    marker.data.raw32.d[0] = token;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(DELIVERY_LIMIT_MS);
    if (write(marker, [&] { return std::chrono::steady_clock::now() < deadline; }) < 0)
        return;
    // The receive thread takes no lock that a closer may hold while it hands events on.
    std::unique_lock<std::mutex> hold(markerMutex);
    markerArrived.wait_until(hold, deadline, [&] { return isReached(markersReached, token); });
}

void AlsaSequencer::markerReached(unsigned token) {
    {
        std::lock_guard<std::mutex> hold(markerMutex);
        // Markers of concurrent closes may arrive in another order than they were numbered.
        if (!isReached(markersReached, token))
            markersReached = token;
    }
    markerArrived.notify_all();
}

void AlsaSequencer::closeInput(int port) {
    {
        std::lock_guard<std::mutex> hold(portsMutex);
        inputs.erase(port);
    }
    // Deleting the port also ends its subscription.
    snd_seq_delete_simple_port(seq, port);
}

int AlsaSequencer::openOutput(long long address, std::atomic<bool>* lost) {
    const int port = createPort("Output port", SND_SEQ_PORT_CAP_READ);
    if (port < 0)
        return port;
    OutputEntry entry;
    entry.destination.client = static_cast<unsigned char>(seqAddressClient(address));
    entry.destination.port = static_cast<unsigned char>(seqAddressPort(address));
    entry.lost = lost;
    std::lock_guard<std::mutex> hold(portsMutex);
    outputs[port] = entry;
    return port;
}

int AlsaSequencer::subscribeOutput(int port) {
    snd_seq_addr_t destination;
    {
        std::lock_guard<std::mutex> hold(portsMutex);
        const auto found = outputs.find(port);
        if (found == outputs.end())
            return -ENOENT;
        destination = found->second.destination;
    }
    return snd_seq_connect_to(seq, port, destination.client, destination.port);
}

void AlsaSequencer::closeOutput(int port) {
    {
        std::lock_guard<std::mutex> hold(portsMutex);
        outputs.erase(port);
    }
    dropQueued(port);
    snd_seq_delete_simple_port(seq, port);
}

void AlsaSequencer::dropQueued(int port) {
    // Paced events of this port would otherwise hold pool cells until their time came.
    snd_seq_remove_events_t* remove;
    snd_seq_remove_events_alloca(&remove);
    snd_seq_remove_events_set_condition(remove, SND_SEQ_REMOVE_OUTPUT | SND_SEQ_REMOVE_TAG_MATCH);
    snd_seq_remove_events_set_queue(remove, queue);
    snd_seq_remove_events_set_tag(remove, eventTag(port));
    std::lock_guard<std::mutex> hold(outputMutex);
    snd_seq_remove_events(seq, remove);
}

long long AlsaSequencer::queueClockOffset() {
    // The reading whose query took least time: a thread put aside between the clock and
    // the query would move events early or late by as much.
    constexpr int READINGS = 3;
    snd_seq_queue_status_t* status;
    snd_seq_queue_status_alloca(&status);
    long long offset = 0;
    unsigned long long shortest = ~0ull;
    for (int i = 0; i < READINGS; ++i) {
        const unsigned long long before = alsaNanoTime();
        if (snd_seq_get_queue_status(seq, queue, status) < 0)
            break;
        const unsigned long long after = alsaNanoTime();
        if (after - before >= shortest)
            continue;
        shortest = after - before;
        const snd_seq_real_time_t* time = snd_seq_queue_status_get_real_time(status);
        const long long queueNow =
            static_cast<long long>(time->tv_sec) * 1000000000ll + time->tv_nsec;
        offset = queueNow - static_cast<long long>(before + (after - before) / 2);
    }
    return offset;
}

int AlsaSequencer::waitForRoom() {
    constexpr int SLICE_MS = 10;
    const int count = snd_seq_poll_descriptors_count(seq, POLLOUT);
    std::vector<pollfd> fds(static_cast<size_t>(count));
    snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned>(count), POLLOUT);
    // A full destination (not our pool) does not show in POLLOUT: the slice bounds the
    // wait then.
    poll(fds.data(), fds.size(), SLICE_MS);
    return SLICE_MS;
}

void AlsaSequencer::receiveEvents() {
    for (;;) {
        snd_seq_event_t* event = nullptr;
        const int result = snd_seq_event_input(seq, &event);
        if (result == -ENOSPC) {
            reportOverrun();
            continue;
        }
        if (result < 0)
            return;
        if (event != nullptr)
            dispatch(*event, alsaNanoTime());
    }
}

void AlsaSequencer::receiveFailed(const char* why) {
    broken = true;
    const OxString text = OxString::format(
        "MIDI input stopped: the sequencer client failed (%s); its ports are opened again", why);
    EH_output(EH_OUTPUT_ERROR, text.c_str());
    // Every port of this client is lost: the MIDI manager's refresh closes the open ones and
    // opens them again on a new client, as it does with a port that was unplugged.
    std::unique_lock<std::mutex> hold(portsMutex);
    for (auto& entry : outputs)
        entry.second.lost->store(true);
    AlsaMidiInput* told = nullptr;
    for (auto& entry : inputs)
        if (entry.second.lost != nullptr) {
            entry.second.lost->store(true);
            told = entry.second.input;
        }
    if (told == nullptr)
        return;
    // Told through one input: one refresh sees to all of them.
    TMidiInputBase::ReceiveScope scope(*told);
    hold.unlock();
    const MidiDeviceFactory* factory = told->GetDescriptor()->factory;
    if (MidiDeviceFactory::Listener* l = factory != nullptr ? factory->getListener() : nullptr)
        if (scope.portIsOpen())
            l->onMidiDeviceError(told, text);
}

void AlsaSequencer::reportOverrun() {
    // We were too slow: the kernel dropped what was waiting for us, and tells once per
    // read that found its pool full.
    const unsigned long long now = alsaNanoTime();
    if (lastOverrun == 0 || now - lastOverrun > OVERRUN_BURST_NANOS)
        EH_output(EH_OUTPUT_ERROR,
                  "MIDI input overrun: events arrived faster than they were read and were lost");
    lastOverrun = now;
}

void AlsaSequencer::dispatch(const snd_seq_event_t& event, unsigned long long receiptTime) {
    if (event.source.client == ownClient && event.type == SND_SEQ_EVENT_USR0) {
        markerReached(event.data.raw32.d[0]);
        return;
    }
    if (event.source.client == SND_SEQ_CLIENT_SYSTEM) {
        if (event.type == SND_SEQ_EVENT_PORT_EXIT)
            peerGone(event.data.addr, false);
        else if (event.type == SND_SEQ_EVENT_CLIENT_EXIT)
            peerGone(event.data.addr, true);
        else if (event.type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED)
            subscriptionGone(event.data.connect);
        return; // queue and timer events carry no MIDI
    }
    unsigned char decoded[DECODE_BUFFER];
    const unsigned char* bytes = decoded;
    long length;
    if (event.type == SND_SEQ_EVENT_SYSEX) {
        // System Exclusive comes in the pieces the sender made, of any size.
        bytes = static_cast<const unsigned char*>(event.data.ext.ptr);
        length = static_cast<long>(event.data.ext.len);
    } else {
        length = snd_midi_event_decode(decoder, decoded, sizeof decoded, &event);
    }
    if (length <= 0)
        return; // not a MIDI event

    std::unique_lock<std::mutex> hold(portsMutex);
    const auto found = inputs.find(event.dest.port);
    if (found == inputs.end() ||
        (!found->second.anySource && (found->second.source.client != event.source.client ||
                                      found->second.source.port != event.source.port)))
        return;
    AlsaMidiInput* input = found->second.input;
    // Entered while the table keeps the port object: Close waits for the scope to end.
    TMidiInputBase::ReceiveScope scope(*input);
    hold.unlock();
    if (scope.portIsOpen())
        input->receive(bytes, static_cast<int>(length), receiptTime);
}

void AlsaSequencer::peerGone(const snd_seq_addr_t& address, bool wholeClient) {
    const auto matches = [&](const snd_seq_addr_t& peer) {
        return peer.client == address.client && (wholeClient || peer.port == address.port);
    };
    std::lock_guard<std::mutex> hold(portsMutex);
    for (auto& entry : outputs)
        if (matches(entry.second.destination))
            entry.second.lost->store(true);
    for (auto& entry : inputs)
        if (entry.second.lost != nullptr && matches(entry.second.source))
            entry.second.lost->store(true);
}

void AlsaSequencer::subscriptionGone(const snd_seq_connect_t& connection) {
    const auto same = [](const snd_seq_addr_t& a, const snd_seq_addr_t& b) {
        return a.client == b.client && a.port == b.port;
    };
    std::lock_guard<std::mutex> hold(portsMutex);
    if (connection.sender.client == ownClient) {
        const auto found = outputs.find(connection.sender.port);
        if (found != outputs.end() && same(found->second.destination, connection.dest))
            found->second.lost->store(true);
    }
    if (connection.dest.client == ownClient) {
        // Also our own unsubscription when the input closes; the port is not reused soon.
        const auto found = inputs.find(connection.dest.port);
        if (found != inputs.end() && found->second.lost != nullptr &&
            same(found->second.source, connection.sender))
            found->second.lost->store(true);
    }
}

} // namespace Lk
