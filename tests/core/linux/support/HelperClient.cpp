#include "tests/core/linux/support/HelperClient.h"

#include "tests/support/WaitUntil.h"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <thread>

namespace {

enum Op { HELLO, ADD_PORT, DELETE_PORT, SEND, RECEIVE, SUBSCRIBERS, STREAM, STOP };

const uint32_t kStreamMask = (1u << 18) - 1;

bool transfer(int fd, void* data, size_t size, bool writing) {
    auto* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = writing ? write(fd, p, size) : read(fd, p, size);
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

// A request (an Op) or its reply (the result), and the length of the payload that follows.
struct Header {
    int opOrResult;
    int argument;
    unsigned extra; // a timeout or port capabilities
    uint64_t length;
};

// The child's side: one sequencer client, served from one poll loop.
class Child {
public:
    Child(const char* clientName, int requests, int replies)
        : name(clientName), requests(requests), replies(replies) {}

    [[noreturn]] void run(const std::vector<HelperClient::Port>& initial) {
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0 ||
            snd_midi_event_new(16, &encoder) < 0 || snd_midi_event_new(16, &decoder) < 0)
            _exit(1);
        snd_seq_set_client_name(seq, name);
        // Room for what a late queue timer in a loaded guest hands over at once; the
        // kernel's default of 200 events overflows while this process waits for a CPU.
        snd_seq_set_client_pool_input(seq, kInputPool);
        // Hidden, at a number that tests never use; failing only makes the stream count no
        // message as sent to a subscriber.
        if (createPort({"announcements", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_NO_EXPORT,
                        kAnnouncementsPort}) >= 0)
            snd_seq_connect_from(seq, kAnnouncementsPort, SND_SEQ_CLIENT_SYSTEM,
                                 SND_SEQ_PORT_SYSTEM_ANNOUNCE);
        snd_midi_event_no_status(decoder, 1); // every message with its status byte
        for (const HelperClient::Port& port : initial)
            createPort(port);
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
        if (!receiving)
            return -1;
        const long long left = static_cast<long long>(receiveDeadline - nowMicros()) / 1000;
        return static_cast<int>(std::clamp<long long>(left, 0, 100));
    }

    bool serve() {
        Header request{};
        if (!transfer(requests, &request, sizeof request, false))
            return false;
        std::string payload(request.length, '\0');
        if (!payload.empty() && !transfer(requests, payload.data(), payload.size(), false))
            return false;
        switch (request.opOrResult) {
        case HELLO:
            return reply(snd_seq_client_id(seq));
        case ADD_PORT:
            return reply(createPort({payload, request.extra, request.argument}));
        case DELETE_PORT:
            return reply(deletePort(request.argument));
        case SEND:
            return reply(sendBytes(reinterpret_cast<const unsigned char*>(payload.data()),
                                   payload.size(), static_cast<unsigned>(request.argument)));
        case RECEIVE:
            receiving = true;
            wanted = static_cast<size_t>(request.argument);
            receiveDeadline = nowMicros() + 1000ull * request.extra;
            return finishReceive(true);
        case SUBSCRIBERS:
            return reply(subscribers(request.argument != 0));
        case STREAM:
            streaming = true;
            perSecond = std::max(1, request.argument);
            streamSent = 0;
            runs.clear();
            streamStart = nowMicros();
            return reply(0);
        case STOP:
            streaming = false;
            return reply(static_cast<int>(streamSent),
                         std::string(reinterpret_cast<const char*>(runs.data()),
                                     runs.size() * sizeof runs[0]));
        default:
            return reply(-EINVAL);
        }
    }

    bool reply(int result, const std::string& payload = {}) {
        Header header{result, 0, 0, payload.size()};
        return transfer(replies, &header, sizeof header, true) &&
               (payload.empty() ||
                transfer(replies, const_cast<char*>(payload.data()), payload.size(), true));
    }

    // Answers a waiting RECEIVE once its bytes came or its time is up.
    bool finishReceive(bool justAsked) {
        if (!receiving || (collected.size() < wanted && nowMicros() < receiveDeadline))
            return true;
        receiving = false;
        const size_t count = std::min(wanted, collected.size());
        const std::string answer(collected.begin(), collected.begin() + count);
        collected.erase(collected.begin(), collected.begin() + count);
        if (!reply(0, answer) && !justAsked)
            _exit(0);
        return true;
    }

    int createPort(const HelperClient::Port& port) {
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        snd_seq_port_info_set_name(info, port.name.c_str());
        snd_seq_port_info_set_capability(info, port.caps);
        snd_seq_port_info_set_type(info, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
        snd_seq_port_info_set_port(info, std::max(port.number, 0));
        snd_seq_port_info_set_port_specified(info, port.number >= 0);
        const int result = snd_seq_create_port(seq, info);
        if (result < 0)
            return result;
        const int number = snd_seq_port_info_get_port(info);
        if (port.number != kAnnouncementsPort && (port.caps & SND_SEQ_PORT_CAP_READ) != 0) {
            sender = number;
            readySubscriptions = 0;
        }
        if (port.number != kAnnouncementsPort && (port.caps & SND_SEQ_PORT_CAP_WRITE) != 0)
            receiver = number;
        return number;
    }

    int deletePort(int number) {
        sender = sender == number ? -1 : sender;
        receiver = receiver == number ? -1 : receiver;
        return number < 0 ? -ENOENT : snd_seq_delete_simple_port(seq, number);
    }

    int subscribers(bool readers) {
        const int port = readers ? sender : receiver;
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        if (port < 0 || snd_seq_get_port_info(seq, port, info) < 0)
            return -1;
        return readers ? snd_seq_port_info_get_read_use(info)
                       : snd_seq_port_info_get_write_use(info);
    }

    int sendBytes(const unsigned char* bytes, size_t length, unsigned bytesPerSecond) {
        if (sender < 0)
            return -ENODEV;
        const unsigned long long start = nowMicros();
        for (size_t offset = 0; offset < length;) {
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            size_t used = 1;
            if (bytes[offset] == 0xF0 ||
                (inSysex && (bytes[offset] < 0x80 || bytes[offset] == 0xF7))) {
                // A slice of System Exclusive, up to its end.
                while (offset + used < length && used < kSlice &&
                       bytes[offset + used - 1] != 0xF7 &&
                       (bytes[offset + used] < 0x80 || bytes[offset + used] == 0xF7))
                    ++used;
                inSysex = bytes[offset + used - 1] != 0xF7;
                snd_seq_ev_set_sysex(&event, used, const_cast<unsigned char*>(bytes + offset));
            } else {
                inSysex = inSysex && bytes[offset] >= 0xF8;
                const auto end = std::find(bytes + offset + 1, bytes + length, 0xF0);
                const long n = snd_midi_event_encode(
                    encoder, bytes + offset, static_cast<long>(end - bytes - offset), &event);
                if (n <= 0) {
                    snd_midi_event_reset_encode(encoder);
                    return -EINVAL;
                }
                used = static_cast<size_t>(n);
                if (event.type == SND_SEQ_EVENT_NONE) {
                    offset += used;
                    continue;
                }
            }
            offset += used;
            if (bytesPerSecond > 0)
                waitUntil(start + offset * 1000000ull / bytesPerSecond);
            snd_seq_ev_set_source(&event, sender);
            snd_seq_ev_set_subs(&event);
            snd_seq_ev_set_direct(&event);
            // A full receiver refuses the event: offered again until it has room.
            int result;
            int tooLarge = 0;
            while ((result = snd_seq_event_output_direct(seq, &event)) == -EAGAIN ||
                   (result == -ENOMEM && ++tooLarge < 2000)) {
                collect();
                usleep(500);
            }
            if (result < 0)
                return result;
        }
        return 0;
    }

    // Keeps collecting meanwhile.
    void waitUntil(unsigned long long micros) {
        for (unsigned long long now = nowMicros(); now < micros; now = nowMicros()) {
            collect();
            usleep(static_cast<useconds_t>(std::min(micros - now, 10000ull)));
        }
    }

    void sendDueStream() {
        if (sender < 0)
            return;
        const unsigned long long due =
            (nowMicros() - streamStart) * static_cast<unsigned long long>(perSecond) / 1000000ull;
        // A stall is not made up in one burst larger than a tenth of a second's worth.
        const uint32_t limit = streamSent + std::max(1u, static_cast<uint32_t>(perSecond) / 10);
        while (streamSent < due && streamSent < limit) {
            const bool subscribed = readySubscriptions > 0 && subscribers(true) > 0;
            const HelperClient::Bytes message = HelperClient::streamMessage(streamSent);
            if (sendBytes(message.data(), message.size(), 0) < 0)
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
                std::fprintf(stderr, "HelperClient %s: input overrun\n", name);
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

    // The kernel counts a reader of the sending port a moment before it delivers to it; the
    // system announces the subscription once it is complete. Only then is a message sent
    // "to a subscriber".
    void noteAnnouncement(const snd_seq_event_t& event) {
        if (event.dest.port != kAnnouncementsPort || sender < 0 ||
            event.data.connect.sender.client != snd_seq_client_id(seq) ||
            event.data.connect.sender.port != sender)
            return;
        if (event.type == SND_SEQ_EVENT_PORT_SUBSCRIBED)
            ++readySubscriptions;
        else if (event.type == SND_SEQ_EVENT_PORT_UNSUBSCRIBED)
            readySubscriptions = std::max(0, readySubscriptions - 1);
    }

    static constexpr size_t kSlice = 256;
    static constexpr size_t kInputPool = 2000; // the kernel's upper limit per client
    static constexpr int kAnnouncementsPort = 100;
    const char* name;
    int requests;
    int replies;
    snd_seq_t* seq = nullptr;
    snd_midi_event_t* encoder = nullptr;
    snd_midi_event_t* decoder = nullptr;
    bool inSysex = false; // an earlier send left a System Exclusive open
    int sender = -1;
    int receiver = -1;
    int readySubscriptions = 0; // of the sending port, announced complete
    HelperClient::Bytes collected;
    HelperClient::Bytes decoded;
    bool receiving = false;
    size_t wanted = 0;
    unsigned long long receiveDeadline = 0;
    bool streaming = false;
    int perSecond = 1;
    uint32_t streamSent = 0;
    unsigned long long streamStart = 0;
    HelperClient::Runs runs;
};

} // namespace

HelperClient::HelperClient(const char* clientName, const std::vector<Port>& ports) {
    int replies[2];
    int requests[2];
    if (pipe(replies) != 0 || pipe(requests) != 0)
        return;
    pid = fork();
    if (pid == 0) {
        close(replies[0]);
        close(requests[1]);
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        Child(clientName, requests[0], replies[1]).run(ports);
    }
    close(replies[1]);
    close(requests[0]);
    fromChild = replies[0];
    toChild = requests[1];
    client = pid > 0 ? request(HELLO) : -1;
    // Our own client for looking at the sequencer, opened before any test watches it.
    if (snd_seq_open(&view, "default", SND_SEQ_OPEN_DUPLEX, 0) == 0)
        snd_seq_set_client_name(view, (std::string(clientName) + " (view)").c_str());
}

HelperClient::~HelperClient() {
    stop();
    close(fromChild);
    close(toChild);
    if (view != nullptr)
        snd_seq_close(view);
}

void HelperClient::stop() {
    std::lock_guard<std::mutex> hold(commands);
    if (pid > 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

int HelperClient::addPort(const Port& port) {
    return request(ADD_PORT, port.number, Bytes(port.name.begin(), port.name.end()), port.caps);
}

bool HelperClient::deletePort(int number) {
    return request(DELETE_PORT, number) >= 0;
}

bool HelperClient::plug(int firstPort) {
    plugged = {addPort({"In", WRITABLE, firstPort}), addPort({"Out", READABLE, firstPort + 1})};
    return plugged.first >= 0 && plugged.second >= 0;
}

bool HelperClient::unplug() {
    const bool out = deletePort(plugged.second);
    return deletePort(plugged.first) && out;
}

bool HelperClient::send(const Bytes& bytes, unsigned bytesPerSecond) {
    return request(SEND, static_cast<int>(bytesPerSecond), bytes) >= 0;
}

HelperClient::Bytes HelperClient::receive(size_t count, unsigned timeoutMs) {
    Bytes answer;
    request(RECEIVE, static_cast<int>(count), {}, timeoutMs, &answer);
    return answer;
}

bool HelperClient::waitForSubscribers(bool out, int count, unsigned timeoutMs) {
    return dokatest::waitUntil(
        [&] {
            if (request(SUBSCRIBERS, out) == count)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            return false;
        },
        timeoutMs);
}

bool HelperClient::startStream(unsigned perSecond) {
    return request(STREAM, static_cast<int>(perSecond)) >= 0;
}

bool HelperClient::stopStream(uint32_t& sent, Runs& subscribed) {
    Bytes answer;
    const int result = request(STOP, 0, {}, 0, &answer);
    if (result < 0)
        return false;
    sent = static_cast<uint32_t>(result);
    subscribed.resize(answer.size() / sizeof(Runs::value_type));
    std::memcpy(static_cast<void*>(subscribed.data()), answer.data(),
                subscribed.size() * sizeof(Runs::value_type));
    return true;
}

HelperClient::Bytes HelperClient::streamMessage(uint32_t n) {
    const uint32_t value = n & kStreamMask;
    return {static_cast<unsigned char>(0xE0 | (value >> 14)),
            static_cast<unsigned char>(value & 0x7F),
            static_cast<unsigned char>((value >> 7) & 0x7F)};
}

bool HelperClient::readStream(const Bytes& bytes, std::vector<uint32_t>& numbers) {
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

std::vector<HelperClient::SeenPort> HelperClient::ports() {
    std::lock_guard<std::mutex> hold(commands);
    std::vector<SeenPort> seen;
    snd_seq_client_info_t* client;
    snd_seq_port_info_t* port;
    snd_seq_client_info_alloca(&client);
    snd_seq_port_info_alloca(&port);
    snd_seq_client_info_set_client(client, -1);
    while (view != nullptr && snd_seq_query_next_client(view, client) >= 0) {
        snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
        snd_seq_port_info_set_port(port, -1);
        while (snd_seq_query_next_port(view, port) >= 0)
            seen.push_back({snd_seq_port_info_get_client(port), snd_seq_port_info_get_port(port),
                            snd_seq_port_info_get_capability(port),
                            snd_seq_client_info_get_name(client),
                            snd_seq_port_info_get_name(port)});
    }
    return seen;
}

int HelperClient::findClient(const std::string& name) {
    for (const SeenPort& port : ports())
        if (port.clientName == name)
            return port.client;
    return -1;
}

bool HelperClient::hearsAnnouncements(const std::string& clientName) {
    const int id = findClient(clientName);
    std::lock_guard<std::mutex> hold(commands);
    snd_seq_port_info_t* port;
    snd_seq_query_subscribe_t* query;
    snd_seq_port_info_alloca(&port);
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_port_info_set_client(port, id);
    snd_seq_port_info_set_port(port, -1);
    while (id >= 0 && snd_seq_query_next_port(view, port) >= 0) {
        snd_seq_query_subscribe_set_root(query, snd_seq_port_info_get_addr(port));
        snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_WRITE);
        snd_seq_query_subscribe_set_index(query, 0);
        while (snd_seq_query_port_subscribers(view, query) >= 0) {
            const snd_seq_addr_t* from = snd_seq_query_subscribe_get_addr(query);
            if (from->client == SND_SEQ_CLIENT_SYSTEM && from->port == SND_SEQ_PORT_SYSTEM_ANNOUNCE)
                return true;
            snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
        }
    }
    return false;
}

int HelperClient::request(int op, int argument, const Bytes& payload, unsigned extra,
                          Bytes* answer) {
    std::lock_guard<std::mutex> hold(commands);
    Header asked{op, argument, extra, payload.size()};
    Header reply{};
    if (pid <= 0 || !transfer(toChild, &asked, sizeof asked, true) ||
        (!payload.empty() &&
         !transfer(toChild, const_cast<unsigned char*>(payload.data()), payload.size(), true)) ||
        !transfer(fromChild, &reply, sizeof reply, false))
        return -1;
    Bytes received(reply.length);
    if (!received.empty() && !transfer(fromChild, received.data(), received.size(), false))
        return -1;
    if (answer != nullptr)
        *answer = std::move(received);
    return reply.opOrResult;
}
