// Thru latency on the real sequencer, run inside the test guest by bench/guest-latency.sh.
// A probe client in another process sends a Note On and waits until it comes back; between
// its two ports stands, in turn, the kernel's own connection, a bare libasound forwarder and
// the MIDI library's thru route. Each runs alone and again while a 64 kB System Exclusive
// passes the same way on a second pair of ports. Last come the figures of the library's send
// path with a megabyte queued.
#include "core/hotplugwatcher/HotplugWatcher.h"
#include "core/linux/AlsaHotplugSource.h"
#include "core/linux/AlsaMidiFactory.h"
#include "core/linux/AlsaMidiOutput.h"
#include "core/linux/AlsaSequencer.h"
#include "midi/MidiAlias.h"
#include "midi/MidiManager.h"
#include "midi/MidiRouter.h"
#include "platform/OrvoSystem.h"

#include <alsa/asoundlib.h>

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

using namespace Lk;

namespace {

constexpr int MESSAGES = 10000;
constexpr int WARM_UP = 200;
constexpr int SYSEX_BYTES = 65536;
constexpr int SYSEX_PIECE = 256;
constexpr int SYSEX_PAUSE_US = 2000;
constexpr int REPLY_TIMEOUT_MS = 30000;
constexpr int PROBE_OUT = 0; // each client's sending port
constexpr int PROBE_IN = 1;  // and its receiving port

const char* const PROBE = "Latency Probe";
const char* const FEEDER = "SysEx Feeder";
const char* const SINK = "SysEx Sink";

snd_seq_t* openClient(const char* name) {
    snd_seq_t* seq = nullptr;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0)
        return nullptr;
    snd_seq_set_client_name(seq, name);
    snd_seq_set_client_pool_input(seq, 2000);
    snd_seq_set_client_pool_output(seq, 2000);
    return seq;
}

// The next event from another client, waiting up to `timeoutMs`; null when none came.
snd_seq_event_t* nextEvent(snd_seq_t* seq, int timeoutMs) {
    for (;;) {
        snd_seq_event_t* event = nullptr;
        const int result = snd_seq_event_input(seq, &event);
        if (result >= 0 && event != nullptr && event->source.client != SND_SEQ_CLIENT_SYSTEM)
            return event;
        if (result >= 0 || result == -ENOSPC)
            continue;
        pollfd fds[4];
        const int n = snd_seq_poll_descriptors(seq, fds, 4, POLLIN);
        if (poll(fds, static_cast<nfds_t>(n), timeoutMs) <= 0)
            return nullptr;
    }
}

int sendDirect(snd_seq_t* seq, snd_seq_event_t& event, int port) {
    snd_seq_ev_set_source(&event, port);
    snd_seq_ev_set_subs(&event);
    snd_seq_ev_set_direct(&event);
    int result;
    while ((result = snd_seq_event_output_direct(seq, &event)) == -EAGAIN || result == -ENOMEM)
        usleep(200);
    return result;
}

struct Stats {
    double median;
    double p99;
    double max;
};

Stats statsOf(std::vector<double> micros) {
    if (micros.empty())
        return {0, 0, 0};
    std::sort(micros.begin(), micros.end());
    return {micros[micros.size() / 2], micros[micros.size() * 99 / 100], micros.back()};
}

// The three ways between a sender and a receiver, measured side by side: each round sends
// one message through each, so that all three see the same load of the machine.
enum Path { DIRECT, BARE, LIBRARY, PATHS };
const char* const PATH_NAMES[PATHS] = {"kernel direct connection", "bare libasound forwarder",
                                       "MidiManager thru route"};
const char* const PORT_PREFIX[PATHS] = {"Direct", "Bare", "Thru"};
// The probe's ports of a path: it sends from 2 * path and receives on 2 * path + 1; the
// feeder sends from `path`, the sink receives on `path`.
int sendingPort(int path) {
    return 2 * path;
}
int receivingPort(int path) {
    return 2 * path + 1;
}

// The probe's process: the pinging client, and the feeder and sink of the System Exclusive.
class Probe {
public:
    Probe() {
        int requests[2];
        int replies[2];
        if (pipe(requests) != 0 || pipe(replies) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(requests[1]);
            close(replies[0]);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            serve(requests[0], replies[1]);
        }
        close(requests[0]);
        close(replies[1]);
        toChild = requests[1];
        fromChild = replies[0];
        int ready = 0;
        ok = pid > 0 && read(fromChild, &ready, sizeof ready) == sizeof ready && ready == 1;
    }
    ~Probe() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
    }
    bool isReady() const { return ok; }
    // Pings MESSAGES times on every path and prints the figures.
    bool run(bool withSysex) {
        int done = 0;
        const int request = withSysex ? 1 : 0;
        return write(toChild, &request, sizeof request) == sizeof request &&
               read(fromChild, &done, sizeof done) == sizeof done && done == 1;
    }

private:
    [[noreturn]] void serve(int requests, int replies) {
        probe = openClient(PROBE);
        feeder = openClient(FEEDER);
        sink = openClient(SINK);
        int ready = probe != nullptr && feeder != nullptr && sink != nullptr;
        for (int path = 0; ready && path < PATHS; ++path) {
            const std::string prefix = PORT_PREFIX[path];
            const unsigned out = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
            const unsigned in = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
            const unsigned type = SND_SEQ_PORT_TYPE_MIDI_GENERIC;
            ready =
                snd_seq_create_simple_port(probe, (prefix + " Out").c_str(), out, type) ==
                    sendingPort(path) &&
                snd_seq_create_simple_port(probe, (prefix + " In").c_str(), in, type) ==
                    receivingPort(path) &&
                snd_seq_create_simple_port(feeder, (prefix + " Out").c_str(), out, type) == path &&
                snd_seq_create_simple_port(sink, (prefix + " In").c_str(), in, type) == path;
        }
        // The kernel's own path.
        ready = ready &&
                snd_seq_connect_to(probe, sendingPort(DIRECT), snd_seq_client_id(probe),
                                   receivingPort(DIRECT)) >= 0 &&
                snd_seq_connect_to(feeder, DIRECT, snd_seq_client_id(sink), DIRECT) >= 0;
        if (write(replies, &ready, sizeof ready) != sizeof ready)
            _exit(1);
        int withSysex;
        while (read(requests, &withSysex, sizeof withSysex) == sizeof withSysex) {
            const int done = measure(withSysex != 0);
            if (write(replies, &done, sizeof done) != sizeof done)
                _exit(1);
        }
        _exit(0);
    }

    // One round trip through `path`; its microseconds, or a negative number when lost.
    double ping(int path, int note) {
        snd_seq_event_t event;
        snd_seq_ev_clear(&event);
        snd_seq_ev_set_noteon(&event, 0, note, 100);
        const unsigned long long sent = alsaNanoTime();
        if (sendDirect(probe, event, sendingPort(path)) < 0)
            return -1;
        for (;;) {
            const snd_seq_event_t* reply = nextEvent(probe, REPLY_TIMEOUT_MS);
            if (reply == nullptr)
                return -1;
            if (reply->dest.port == receivingPort(path) && reply->type == SND_SEQ_EVENT_NOTEON &&
                reply->data.note.note == note)
                return (alsaNanoTime() - sent) / 1000.0;
        }
    }

    int measure(bool withSysex) {
        for (int i = 0; i < WARM_UP; ++i)
            for (int path = 0; path < PATHS; ++path)
                ping(path, i % 128);
        std::vector<double> all[PATHS];
        std::vector<double> during[PATHS];
        int lost[PATHS] = {};
        std::atomic<long long> sysexEnd[PATHS];
        long long sysexBytes[PATHS] = {};
        for (auto& end : sysexEnd)
            end = 0;
        const long long sysexStart = static_cast<long long>(alsaNanoTime());
        std::thread feeding;
        std::thread draining;
        if (withSysex) {
            draining = std::thread([&] { drainSysex(sysexEnd, sysexBytes); });
            feeding = std::thread([&] { feedSysex(); });
        }
        for (int i = 0; i < MESSAGES; ++i)
            for (int path = 0; path < PATHS; ++path) {
                const long long sent = static_cast<long long>(alsaNanoTime());
                const double micros = ping(path, i % 128);
                if (micros < 0) {
                    ++lost[path];
                    continue;
                }
                all[path].push_back(micros);
                const long long end = sysexEnd[path].load();
                if (withSysex && (end == 0 || sent < end))
                    during[path].push_back(micros);
            }
        if (withSysex) {
            feeding.join();
            draining.join();
        }
        std::printf("%s\n", withSysex ? "While a 64 kB SysEx passes each path beside the notes:"
                                      : "Alone:");
        for (int path = 0; path < PATHS; ++path) {
            const Stats stats = statsOf(all[path]);
            std::printf("  %-26s median %7.1f us  p99 %8.1f us  max %9.1f us  (%zu, %d lost)\n",
                        PATH_NAMES[path], stats.median, stats.p99, stats.max, all[path].size(),
                        lost[path]);
            if (!withSysex)
                continue;
            const Stats passing = statsOf(during[path]);
            const long long end = sysexEnd[path].load();
            std::printf("  %-26s median %7.1f us  p99 %8.1f us  max %9.1f us  (%zu sent while "
                        "the SysEx passed: %lld bytes in %.0f ms)\n",
                        "", passing.median, passing.p99, passing.max, during[path].size(),
                        sysexBytes[path], end > 0 ? (end - sysexStart) / 1e6 : -1.0);
        }
        std::fflush(stdout);
        return 1;
    }

    void feedSysex() {
        std::vector<unsigned char> sysex(SYSEX_BYTES);
        for (int i = 0; i < SYSEX_BYTES; ++i)
            sysex[i] = static_cast<unsigned char>(i & 0x7F);
        sysex.front() = 0xF0;
        sysex.back() = 0xF7;
        for (int offset = 0; offset < SYSEX_BYTES; offset += SYSEX_PIECE) {
            for (int path = 0; path < PATHS; ++path) {
                snd_seq_event_t event;
                snd_seq_ev_clear(&event);
                snd_seq_ev_set_sysex(&event, SYSEX_PIECE, &sysex[offset]);
                sendDirect(feeder, event, path);
            }
            // The sequencer has no flow control towards readers: a receiver whose pool
            // overflows loses everything waiting for it. Still 40 times the wire rate.
            usleep(SYSEX_PAUSE_US);
        }
    }

    // Counts what arrives per path until each path's closing F7 came, or nothing came for a
    // while (pieces the sequencer dropped are missing from the count).
    void drainSysex(std::atomic<long long>* end, long long* bytes) {
        int ended = 0;
        while (ended < PATHS) {
            const snd_seq_event_t* event = nextEvent(sink, REPLY_TIMEOUT_MS);
            if (event == nullptr)
                return;
            const int path = event->dest.port;
            if (event->type != SND_SEQ_EVENT_SYSEX || path >= PATHS || end[path] != 0)
                continue;
            bytes[path] += event->data.ext.len;
            const auto* data = static_cast<const unsigned char*>(event->data.ext.ptr);
            if (event->data.ext.len > 0 && data[event->data.ext.len - 1] == 0xF7) {
                end[path] = static_cast<long long>(alsaNanoTime());
                ++ended;
            }
        }
    }

    pid_t pid = -1;
    int toChild = -1;
    int fromChild = -1;
    bool ok = false;
    snd_seq_t* probe = nullptr;
    snd_seq_t* feeder = nullptr;
    snd_seq_t* sink = nullptr;
};

int clientNamed(snd_seq_t* seq, const char* name) {
    snd_seq_client_info_t* info;
    snd_seq_client_info_alloca(&info);
    snd_seq_client_info_set_client(info, -1);
    while (snd_seq_query_next_client(seq, info) >= 0)
        if (std::string(snd_seq_client_info_get_name(info)) == name)
            return snd_seq_client_info_get_client(info);
    return -1;
}

// Reads one event and sends it on, nothing else: the least a forwarding client can do. Its
// port 0 takes the probe's messages and port 1 returns them; ports 2 and 3 carry the SysEx.
class BareForwarder {
public:
    BareForwarder() : seq(openClient("Bare Forwarder")) {
        if (seq == nullptr)
            return;
        for (int pair = 0; pair < 2; ++pair) {
            snd_seq_create_simple_port(seq, "In", SND_SEQ_PORT_CAP_WRITE,
                                       SND_SEQ_PORT_TYPE_APPLICATION);
            snd_seq_create_simple_port(seq, "Out", SND_SEQ_PORT_CAP_READ,
                                       SND_SEQ_PORT_TYPE_APPLICATION);
        }
        const int probe = clientNamed(seq, PROBE);
        ok = snd_seq_connect_from(seq, 0, probe, sendingPort(BARE)) >= 0 &&
             snd_seq_connect_to(seq, 1, probe, receivingPort(BARE)) >= 0 &&
             snd_seq_connect_from(seq, 2, clientNamed(seq, FEEDER), BARE) >= 0 &&
             snd_seq_connect_to(seq, 3, clientNamed(seq, SINK), BARE) >= 0;
        if (ok)
            thread = std::thread([this] { forward(); });
    }
    ~BareForwarder() {
        running = false;
        if (thread.joinable())
            thread.join();
        if (seq != nullptr)
            snd_seq_close(seq);
    }
    bool isReady() const { return ok; }

private:
    void forward() {
        while (running) {
            snd_seq_event_t* event = nextEvent(seq, 100);
            if (event != nullptr)
                sendDirect(seq, *event, event->dest.port + 1);
        }
    }

    snd_seq_t* seq;
    bool ok = false;
    std::atomic<bool> running{true};
    std::thread thread;
};

// The MIDI library as the application runs it, with one route for the probe's messages and
// one for the SysEx.
bool startLibrary() {
    registerAlsaMidiBackend();
    AlsaHotplugSource::install();
    TMidiAliasManager* aliases = TMidiAliasManager::instance();
    const struct {
        const char* in;
        const char* out;
        const char* source;
        const char* destination;
    } routes[] = {{"Bench In", "Bench Thru", "Latency Probe : Thru Out", "Latency Probe : Thru In"},
                  {"SysEx In", "SysEx Thru", "SysEx Feeder : Thru Out", "SysEx Sink : Thru In"}};
    MidiManager* manager = MidiManager::instance();
    for (const auto& r : routes) {
        aliases->AddAlias(r.in, r.source, atIn, 0);
        aliases->AddAlias(r.out, r.destination, atOut, 0);
        TMidiRouter::instance()->AddRoute(aliases->GetAliasByName(r.in, atIn, 0, 0),
                                          aliases->GetAliasByName(r.out, atOut, 0, 0));
    }
    manager->SetSuspended(0);
    for (const auto& r : routes) {
        const int in = aliases->GetAliasByName(r.in, atIn, 0, 0)->userID;
        const int out = aliases->GetAliasByName(r.out, atOut, 0, 0)->userID;
        if (manager->Open(out, 0, nullptr) != 1 || manager->Open(in, 1, nullptr) != 1)
            return false;
    }
    // The refreshes that our own new ports cause are over before anything is measured.
    std::this_thread::sleep_for(std::chrono::milliseconds(4500));
    return true;
}

// The send path's figures: how long SendLong of a megabyte takes to return (the port paces
// it at the wire rate), the slowest SendShort behind it, Close with it queued, and the whole
// megabyte sent unpaced. On "Midi Through", which nobody reads.
bool measureSendPath() {
    constexpr int ROUNDS = 9;
    AlsaMidiFactory* factory = AlsaMidiFactory::instance();
    OxOwnedList<MidiDeviceDescriptor*> outputs;
    if (factory == nullptr)
        return false;
    factory->GetDeviceList(0, outputs);
    const MidiDeviceDescriptor* through = nullptr;
    for (const MidiDeviceDescriptor* d : outputs)
        if (d->GetName() == "Midi Through Port-0")
            through = d;
    if (through == nullptr)
        return false;
    std::unique_ptr<TMidiOutputBase> output(
        static_cast<TMidiOutputBase*>(factory->CreateDevice(through)));
    std::vector<unsigned char> sysex(1000000, 0x11);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    std::vector<double> sendMs, shortMs, closeMs, unpacedMs;
    for (int round = 0; round < ROUNDS; ++round) {
        if (output->Open(nullptr) != 1)
            return false;
        unsigned long long start = alsaNanoTime();
        output->SendLong(sysex.data(), static_cast<int>(sysex.size()));
        sendMs.push_back((alsaNanoTime() - start) / 1e6);
        double slowest = 0;
        for (int i = 0; i < 100; ++i) {
            start = alsaNanoTime();
            output->SendShort(0x90, static_cast<unsigned char>(i), 0x40);
            slowest = std::max(slowest, (alsaNanoTime() - start) / 1e6);
        }
        shortMs.push_back(slowest);
        start = alsaNanoTime();
        output->Close();
        closeMs.push_back((alsaNanoTime() - start) / 1e6);
        if (output->Open(nullptr) != 1)
            return false;
        static_cast<AlsaMidiOutput*>(output.get())->setByteNanos(0);
        start = alsaNanoTime();
        output->SendLongWait(sysex.data(), static_cast<int>(sysex.size()), nullptr);
        unpacedMs.push_back((alsaNanoTime() - start) / 1e6);
        output->Close();
        static_cast<AlsaMidiOutput*>(output.get())->setByteNanos(AlsaMidiOutput::WIRE_BYTE_NANOS);
    }
    std::printf("Send path, median of %d rounds: SendLong of 1 MB returns after %.2f ms, the "
                "slowest of 100 SendShort behind it after %.3f ms, Close with it queued after "
                "%.2f ms; unpaced, SendLongWait of 1 MB takes %.1f ms\n",
                ROUNDS, statsOf(sendMs).median, statsOf(shortMs).median, statsOf(closeMs).median,
                statsOf(unpacedMs).median);
    return true;
}

} // namespace

int main() {
    if (access("/dev/snd/seq", F_OK) != 0) {
        std::fprintf(stderr, "no sequencer here: run this through bench/guest-latency.sh\n");
        return 2;
    }
    Probe probe;
    if (!probe.isReady()) {
        std::fprintf(stderr, "the probe client did not start\n");
        return 1;
    }
    bool ok;
    {
        BareForwarder forwarder;
        ok = forwarder.isReady() && startLibrary();
        std::printf("Round trip of a 3-byte Note On, %d per path after %d for warming up, the "
                    "paths taking turns\n",
                    MESSAGES, WARM_UP);
        ok = ok && probe.run(false) && probe.run(true) && measureSendPath();
    }
    OrvoSystem::shutdown();
    if (!ok)
        std::fprintf(stderr, "a measurement could not be made\n");
    return ok ? 0 : 1;
}
