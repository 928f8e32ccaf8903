#include "tests/core/linux/support/PluggableDevice.h"

#include <alsa/asoundlib.h>

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

namespace {

enum Op { HELLO, PLUG, UNPLUG, SEND, RECEIVE, SUBSCRIBERS_OUT, SUBSCRIBERS_IN, STREAM, STOP };

const int kStreamBits = 18;
const uint32_t kStreamMask = (1u << kStreamBits) - 1;

bool readAll(int fd, void* data, size_t size) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = read(fd, p, size);
        if (n <= 0 && !(n < 0 && errno == EINTR))
            return false;
        if (n > 0) {
            p += n;
            size -= static_cast<size_t>(n);
        }
    }
    return true;
}

bool writeAll(int fd, const void* data, size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, p, size);
        if (n <= 0 && !(n < 0 && errno == EINTR))
            return false;
        if (n > 0) {
            p += n;
            size -= static_cast<size_t>(n);
        }
    }
    return true;
}

unsigned long long nowMicros() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<unsigned long long>(t.tv_sec) * 1000000ull +
           static_cast<unsigned long long>(t.tv_nsec) / 1000;
}

struct Request {
    int op;
    int argument;
    unsigned timeoutMs;
    unsigned unused;
    uint64_t length; // of the payload that follows
};

struct Reply {
    int result;
    int unused;
    uint64_t length;
};

// The child's side: one sequencer client, served from one poll loop.
class DeviceChild {
public:
    DeviceChild(const char* clientName, int requests, int replies)
        : name(clientName), requests(requests), replies(replies) {}

    [[noreturn]] void run() {
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0 ||
            snd_midi_event_new(4096, &encoder) < 0 ||
            snd_midi_event_new(PACED_PIECE, &pacedEncoder) < 0 ||
            snd_midi_event_new(16, &decoder) < 0)
            _exit(1);
        snd_seq_set_client_name(seq, name);
        // Room for what a late queue timer in a loaded guest hands over at once; the
        // kernel's default of 200 events overflows while this process waits for a CPU.
        snd_seq_set_client_pool_input(seq, kInputPool);
        // Hidden, at a number that plugging never uses; failing only makes the stream
        // count no message as sent to a subscriber.
        const int announcements = createPort("announcements", kAnnouncementsPort,
                                             SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT);
        if (announcements >= 0)
            snd_seq_connect_from(seq, announcements, SND_SEQ_CLIENT_SYSTEM,
                                 SND_SEQ_PORT_SYSTEM_ANNOUNCE);
        snd_midi_event_no_status(encoder, 1); // every message with its status byte
        snd_midi_event_no_status(pacedEncoder, 1);
        snd_midi_event_no_status(decoder, 1);
        for (;;) {
            pollfd fds[8];
            fds[0] = {requests, POLLIN, 0};
            const int n = snd_seq_poll_descriptors(seq, fds + 1, 7, POLLIN);
            poll(fds, static_cast<nfds_t>(1 + n), timeoutMs());
            collect();
            if ((fds[0].revents & (POLLIN | POLLHUP)) != 0 && !serve())
                _exit(0);
            finishReceive(false);
            if (streaming)
                sendDueStream();
        }
    }

private:
    int timeoutMs() const {
        if (streaming)
            return 1;
        if (receiving) {
            const long long left = static_cast<long long>(receiveDeadline - nowMicros()) / 1000;
            return static_cast<int>(std::clamp<long long>(left, 0, 100));
        }
        return -1;
    }

    bool serve() {
        Request request{};
        if (!readAll(requests, &request, sizeof request))
            return false;
        PluggableDevice::Bytes payload(request.length);
        if (!payload.empty() && !readAll(requests, payload.data(), payload.size()))
            return false;
        switch (request.op) {
        case PLUG:
            inPort = createPort("In", request.argument,
                                SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
            outPort = createPort("Out", request.argument + 1,
                                 SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
            readySubscriptions = 0;
            return reply(std::min(inPort, outPort));
        case UNPLUG: {
            const int result = std::min(snd_seq_delete_simple_port(seq, inPort),
                                        snd_seq_delete_simple_port(seq, outPort));
            inPort = outPort = -1;
            readySubscriptions = 0;
            return reply(result);
        }
        case SEND:
            return reply(sendMessages(payload.data(), payload.size(),
                                      static_cast<unsigned>(request.argument)));
        case RECEIVE:
            receiving = true;
            wanted = static_cast<size_t>(request.argument);
            receiveDeadline = nowMicros() + 1000ull * request.timeoutMs;
            return finishReceive(true);
        case SUBSCRIBERS_OUT:
            return reply(subscribers(outPort, true));
        case SUBSCRIBERS_IN:
            return reply(subscribers(inPort, false));
        case STREAM:
            streaming = true;
            perSecond = std::max(1, request.argument);
            streamSent = 0;
            runs.clear();
            streamStart = nowMicros();
            return reply(0);
        case STOP: {
            streaming = false;
            PluggableDevice::Bytes answer(runs.size() * 2 * sizeof(uint32_t));
            std::copy_n(reinterpret_cast<const unsigned char*>(runs.data()), answer.size(),
                        answer.data());
            return reply(static_cast<int>(streamSent), answer);
        }
        default:
            return reply(0);
        }
    }

    bool reply(int result, const PluggableDevice::Bytes& payload = {}) {
        const Reply header{result, 0, payload.size()};
        return writeAll(replies, &header, sizeof header) &&
               (payload.empty() || writeAll(replies, payload.data(), payload.size()));
    }

    // Answers a waiting RECEIVE once its bytes came or its time is up.
    bool finishReceive(bool justAsked) {
        if (!receiving || (collected.size() < wanted && nowMicros() < receiveDeadline))
            return true;
        receiving = false;
        const size_t count = std::min(wanted, collected.size());
        PluggableDevice::Bytes answer(collected.begin(), collected.begin() + count);
        collected.erase(collected.begin(), collected.begin() + count);
        if (!reply(0, answer) && !justAsked)
            _exit(0);
        return true;
    }

    int createPort(const char* portName, int number, unsigned caps) {
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        snd_seq_port_info_set_name(info, portName);
        snd_seq_port_info_set_capability(info, caps);
        snd_seq_port_info_set_type(info, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
        snd_seq_port_info_set_port(info, number);
        snd_seq_port_info_set_port_specified(info, 1);
        const int result = snd_seq_create_port(seq, info);
        return result < 0 ? result : number;
    }

    int subscribers(int port, bool readers) {
        if (port < 0)
            return -1;
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        if (snd_seq_get_port_info(seq, port, info) < 0)
            return -1;
        return readers ? snd_seq_port_info_get_read_use(info)
                       : snd_seq_port_info_get_write_use(info);
    }

    // Paced: each event goes once its last byte would have come over a wire of
    // `bytesPerSecond`.
    int sendMessages(const unsigned char* bytes, size_t length, unsigned bytesPerSecond = 0) {
        if (outPort < 0)
            return -ENODEV;
        snd_midi_event_t* const coder = bytesPerSecond > 0 ? pacedEncoder : encoder;
        snd_midi_event_reset_encode(coder);
        const unsigned long long start = nowMicros();
        for (size_t offset = 0; offset < length;) {
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            const long used = snd_midi_event_encode(coder, bytes + offset,
                                                    static_cast<long>(length - offset), &event);
            if (used <= 0)
                return -EINVAL;
            offset += static_cast<size_t>(used);
            if (event.type == SND_SEQ_EVENT_NONE)
                continue;
            if (bytesPerSecond > 0)
                waitUntil(start + offset * 1000000ull / bytesPerSecond);
            snd_seq_ev_set_source(&event, outPort);
            snd_seq_ev_set_subs(&event);
            snd_seq_ev_set_direct(&event);
            int result;
            while ((result = snd_seq_event_output_direct(seq, &event)) == -EAGAIN) {
                collect(); // the other side may be waiting for room on our side
                usleep(500);
            }
            if (result < 0)
                return result;
        }
        return 0;
    }

    // Keeps collecting what arrives on "In" meanwhile.
    void waitUntil(unsigned long long micros) {
        for (unsigned long long now = nowMicros(); now < micros; now = nowMicros()) {
            collect();
            usleep(static_cast<useconds_t>(std::min(micros - now, 10000ull)));
        }
    }

    void sendDueStream() {
        if (outPort < 0)
            return;
        const unsigned long long due =
            (nowMicros() - streamStart) * static_cast<unsigned long long>(perSecond) / 1000000ull;
        // A stall is not made up in one burst larger than a tenth of a second's worth.
        const uint32_t limit = streamSent + std::max(1u, static_cast<uint32_t>(perSecond) / 10);
        while (streamSent < due && streamSent < limit) {
            const bool subscribed = readySubscriptions > 0 && subscribers(outPort, true) > 0;
            const PluggableDevice::Bytes message = PluggableDevice::streamMessage(streamSent);
            if (sendMessages(message.data(), message.size()) < 0)
                return;
            if (subscribed) {
                if (!runs.empty() && runs.back().second + 1 == streamSent)
                    runs.back().second = streamSent;
                else
                    runs.emplace_back(streamSent, streamSent);
            }
            ++streamSent;
        }
        if (streamSent < due && streamSent >= limit)
            streamStart = nowMicros() - streamSent * 1000000ull / perSecond;
    }

    void collect() {
        for (;;) {
            snd_seq_event_t* event = nullptr;
            const int result = snd_seq_event_input(seq, &event);
            if (result == -EAGAIN)
                return;
            if (result == -ENOSPC) {
                std::fprintf(stderr, "PluggableDevice %s: input overrun\n", name);
                continue;
            }
            if (result < 0 || event == nullptr)
                return;
            if (event->source.client == SND_SEQ_CLIENT_SYSTEM) {
                noteAnnouncement(*event);
                continue;
            }
            const bool variable = snd_seq_ev_is_variable(event);
            decoded.resize(std::max<size_t>(variable ? event->data.ext.len : 0, 16));
            snd_midi_event_reset_decode(decoder);
            const long n = snd_midi_event_decode(decoder, decoded.data(),
                                                 static_cast<long>(decoded.size()), event);
            if (n > 0)
                collected.insert(collected.end(), decoded.begin(), decoded.begin() + n);
        }
    }

    // The kernel counts a reader of "Out" a moment before it delivers to it; the system
    // announces the subscription once it is complete. Only then is a message sent "to a
    // subscriber".
    void noteAnnouncement(const snd_seq_event_t& event) {
        if (event.dest.port != kAnnouncementsPort || outPort < 0 ||
            event.data.connect.sender.client != snd_seq_client_id(seq) ||
            event.data.connect.sender.port != outPort)
            return;
        if (event.type == SND_SEQ_EVENT_PORT_SUBSCRIBED)
            ++readySubscriptions;
        else if (event.type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED)
            readySubscriptions = std::max(0, readySubscriptions - 1);
    }

    const char* name;
    int requests;
    int replies;
    snd_seq_t* seq = nullptr;
    static constexpr int PACED_PIECE = 256;
    static constexpr size_t kInputPool = 2000; // the kernel's upper limit per client
    static constexpr int kAnnouncementsPort = 100;
    snd_midi_event_t* encoder = nullptr;
    snd_midi_event_t* pacedEncoder = nullptr;
    snd_midi_event_t* decoder = nullptr;
    int inPort = -1;
    int outPort = -1;
    int readySubscriptions = 0; // of "Out", announced complete
    PluggableDevice::Bytes collected;
    PluggableDevice::Bytes decoded;
    bool receiving = false;
    size_t wanted = 0;
    unsigned long long receiveDeadline = 0;
    bool streaming = false;
    int perSecond = 1;
    uint32_t streamSent = 0;
    unsigned long long streamStart = 0;
    std::vector<std::pair<uint32_t, uint32_t>> runs;
};

} // namespace

PluggableDevice::PluggableDevice(const char* clientName) {
    int replies[2];
    int requests[2];
    if (pipe(replies) != 0 || pipe(requests) != 0)
        return;
    pid = fork();
    if (pid == 0) {
        close(replies[0]);
        close(requests[1]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        DeviceChild(clientName, requests[0], replies[1]).run();
    }
    close(replies[1]);
    close(requests[0]);
    fromChild = replies[0];
    toChild = requests[1];
    started = pid > 0 && command(HELLO);
}

PluggableDevice::~PluggableDevice() {
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    close(fromChild);
    close(toChild);
}

bool PluggableDevice::plug(int firstPort) {
    return command(PLUG, firstPort);
}

bool PluggableDevice::unplug() {
    return command(UNPLUG);
}

bool PluggableDevice::send(const Bytes& bytes, unsigned bytesPerSecond) {
    return command(SEND, static_cast<int>(bytesPerSecond), bytes);
}

PluggableDevice::Bytes PluggableDevice::receive(size_t count, unsigned timeoutMs) {
    int result = 0;
    Bytes answer;
    if (!ask(RECEIVE, static_cast<int>(count), {}, result, &answer, timeoutMs))
        return {};
    return answer;
}

int PluggableDevice::outSubscribers() {
    int result = -1;
    return ask(SUBSCRIBERS_OUT, 0, {}, result) ? result : -1;
}

int PluggableDevice::inSubscribers() {
    int result = -1;
    return ask(SUBSCRIBERS_IN, 0, {}, result) ? result : -1;
}

bool PluggableDevice::startStream(unsigned perSecond) {
    return command(STREAM, static_cast<int>(perSecond));
}

bool PluggableDevice::stopStream(uint32_t& sent, Runs& subscribed) {
    int result = 0;
    Bytes answer;
    if (!ask(STOP, 0, {}, result, &answer))
        return false;
    sent = static_cast<uint32_t>(result);
    subscribed.resize(answer.size() / (2 * sizeof(uint32_t)));
    std::copy_n(answer.data(), subscribed.size() * 2 * sizeof(uint32_t),
                reinterpret_cast<unsigned char*>(subscribed.data()));
    return true;
}

PluggableDevice::Bytes PluggableDevice::streamMessage(uint32_t n) {
    const uint32_t value = n & kStreamMask;
    return {static_cast<unsigned char>(0xE0 | (value >> 14)),
            static_cast<unsigned char>(value & 0x7F),
            static_cast<unsigned char>((value >> 7) & 0x7F)};
}

bool PluggableDevice::readStream(const Bytes& bytes, std::vector<uint32_t>& numbers) {
    for (size_t i = 0; i + 3 <= bytes.size(); i += 3) {
        if ((bytes[i] & 0xF0) != 0xE0 || bytes[i + 1] >= 0x80 || bytes[i + 2] >= 0x80)
            return false;
        const uint32_t value = (static_cast<uint32_t>(bytes[i] & 0x0F) << 14) |
                               (static_cast<uint32_t>(bytes[i + 2]) << 7) | bytes[i + 1];
        // The first number at or after the last one with these low bits: the stream only
        // moves on, and never by a whole wrap between two messages that arrive.
        const uint32_t last = numbers.empty() ? 0 : numbers.back();
        uint32_t n = (last & ~kStreamMask) | value;
        if (n < last)
            n += kStreamMask + 1;
        numbers.push_back(n);
    }
    return bytes.size() % 3 == 0;
}

bool PluggableDevice::ask(int op, int argument, const Bytes& payload, int& result, Bytes* answer,
                          unsigned timeoutMs) {
    const Request request{op, argument, timeoutMs, 0, payload.size()};
    Reply reply{};
    if (!writeAll(toChild, &request, sizeof request) ||
        (!payload.empty() && !writeAll(toChild, payload.data(), payload.size())) ||
        !readAll(fromChild, &reply, sizeof reply))
        return false;
    Bytes received(reply.length);
    if (!received.empty() && !readAll(fromChild, received.data(), received.size()))
        return false;
    result = reply.result;
    if (answer != nullptr)
        *answer = std::move(received);
    return true;
}

bool PluggableDevice::command(int op, int argument, const Bytes& payload) {
    int result = -1;
    return ask(op, argument, payload, result) && result >= 0;
}
