// The whole MIDI library on the real sequencer, as the application runs it: the ALSA backend,
// the hotplug watcher on the announce port, the manager's refresh, aliases and the thru route.
// A helper client in another process (our own process's clients are not listed) plays a
// device whose ports come and go. CTest runs it inside the test guest (tools/guest).
#include "core/hotplugwatcher/HotplugWatcher.h"
#include "core/linux/AlsaHotplugSource.h"
#include "core/linux/AlsaMidiFactory.h"
#include "midi/MidiAlias.h"
#include "midi/MidiManager.h"
#include "midi/MidiRouter.h"
#include "platform/OrvoSystem.h"
#include "platform/OxTime.h"
#include "tests/midi/support/MidiManagerFixture.h"
#include "tests/platform/WaitUntil.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

using namespace Lk;

namespace {

using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;

const unsigned kNotifyDelayMs = 200;
const unsigned kRepeatDelayMs = 4000;
const unsigned kEarlyMs = 20; // timers never fire early but by the clock's granularity
const unsigned kDeadlineMs = 30000;
const char* const kWatcherClient = "HotplugWatcher::MIDI";
const char* const kUnplugged = "unplugged. It is set to 'pending' so that it is used "
                               "automatically when you plug it in.";

// A device in another process: a client whose port "Out" sends to its subscribers and whose
// port "In" receives; both ports are created and deleted on command, at chosen port numbers
// so that a replugged device can come back at another address.
class PluggableDevice {
public:
    explicit PluggableDevice(const char* clientName) {
        int replies[2];
        int requests[2];
        if (pipe(replies) != 0 || pipe(requests) != 0)
            return;
        pid = fork();
        if (pid == 0) {
            close(replies[0]);
            close(requests[1]);
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            runChild(clientName, requests[0], replies[1]);
        }
        close(replies[1]);
        close(requests[0]);
        fromChild = replies[0];
        toChild = requests[1];
        Reply reply;
        started = pid > 0 && ask({HELLO, 0, 0, {}}, reply) && reply.result >= 0;
    }
    PluggableDevice(const PluggableDevice&) = delete;
    PluggableDevice& operator=(const PluggableDevice&) = delete;
    ~PluggableDevice() {
        if (pid > 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        close(fromChild);
        close(toChild);
    }

    bool isStarted() const { return started; }
    // Creates "In" at `firstPort` and "Out" at the next number.
    bool plug(int firstPort) { return command({PLUG, firstPort, 0, {}}); }
    bool unplug() { return command({UNPLUG, 0, 0, {}}); }
    // Sends the messages in `bytes` from "Out", each as one event.
    bool send(const Bytes& bytes) {
        Request request{SEND, 0, static_cast<int>(bytes.size()), {}};
        if (bytes.size() > sizeof request.bytes)
            return false;
        std::memcpy(request.bytes, bytes.data(), bytes.size());
        return command(request);
    }
    // What arrived on "In", until `count` bytes came or 10 s passed.
    Bytes receive(size_t count) {
        Reply reply;
        if (!ask({RECEIVE, 0, static_cast<int>(count), {}}, reply) || reply.length < 0)
            return {};
        return Bytes(reply.bytes, reply.bytes + reply.length);
    }

private:
    enum Op { HELLO, PLUG, UNPLUG, SEND, RECEIVE };
    struct Request {
        int op;
        int firstPort;
        int length;
        unsigned char bytes[2048];
    };
    struct Reply {
        int result;
        int length;
        unsigned char bytes[2048];
    };

    bool command(const Request& request) {
        Reply reply;
        return ask(request, reply) && reply.result >= 0;
    }
    bool ask(const Request& request, Reply& reply) {
        return write(toChild, &request, sizeof request) == sizeof request &&
               read(fromChild, &reply, sizeof reply) == sizeof reply;
    }

    [[noreturn]] static void runChild(const char* clientName, int requests, int replies) {
        snd_seq_t* seq = nullptr;
        snd_midi_event_t* codec = nullptr;
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK) < 0 ||
            snd_midi_event_new(sizeof(Request::bytes), &codec) < 0)
            _exit(1);
        snd_seq_set_client_name(seq, clientName);
        snd_midi_event_no_status(codec, 1); // every message with its status byte
        int inPort = -1;
        int outPort = -1;
        Request request;
        while (read(requests, &request, sizeof request) == sizeof request) {
            Reply reply{0, 0, {}};
            switch (request.op) {
            case PLUG:
                inPort = createPort(seq, "In", request.firstPort,
                                    SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
                outPort = createPort(seq, "Out", request.firstPort + 1,
                                     SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
                reply.result = std::min(inPort, outPort);
                break;
            case UNPLUG:
                reply.result = std::min(snd_seq_delete_simple_port(seq, inPort),
                                        snd_seq_delete_simple_port(seq, outPort));
                break;
            case SEND:
                reply.result = sendMessages(seq, codec, outPort, request.bytes, request.length);
                break;
            case RECEIVE:
                reply.length = receiveBytes(seq, codec, reply.bytes,
                                            std::min<int>(request.length, sizeof reply.bytes));
                break;
            default:
                break;
            }
            if (write(replies, &reply, sizeof reply) != sizeof reply)
                _exit(1);
        }
        _exit(0);
    }

    static int createPort(snd_seq_t* seq, const char* name, int number, unsigned caps) {
        snd_seq_port_info_t* info;
        snd_seq_port_info_alloca(&info);
        snd_seq_port_info_set_name(info, name);
        snd_seq_port_info_set_capability(info, caps);
        snd_seq_port_info_set_type(info, SND_SEQ_PORT_TYPE_MIDI_GENERIC);
        snd_seq_port_info_set_port(info, number);
        snd_seq_port_info_set_port_specified(info, 1);
        const int result = snd_seq_create_port(seq, info);
        return result < 0 ? result : number;
    }

    static int sendMessages(snd_seq_t* seq, snd_midi_event_t* codec, int port,
                            const unsigned char* bytes, int length) {
        snd_midi_event_reset_encode(codec);
        for (int offset = 0; offset < length;) {
            snd_seq_event_t event;
            snd_seq_ev_clear(&event);
            const long used = snd_midi_event_encode(codec, bytes + offset, length - offset, &event);
            if (used <= 0)
                return -EINVAL;
            offset += static_cast<int>(used);
            if (event.type == SND_SEQ_EVENT_NONE)
                continue;
            snd_seq_ev_set_source(&event, port);
            snd_seq_ev_set_subs(&event);
            snd_seq_ev_set_direct(&event);
            int result;
            while ((result = snd_seq_event_output_direct(seq, &event)) == -EAGAIN)
                usleep(500);
            if (result < 0)
                return result;
        }
        return 0;
    }

    static int receiveBytes(snd_seq_t* seq, snd_midi_event_t* codec, unsigned char* out,
                            int count) {
        int got = 0;
        const unsigned long long deadline = getMilliTime() + 10000ull;
        while (got < count && getMilliTime() < deadline) {
            snd_seq_event_t* event = nullptr;
            const int result = snd_seq_event_input(seq, &event);
            if (result == -EAGAIN) {
                pollfd fds[4];
                const int n = snd_seq_poll_descriptors(seq, fds, 4, POLLIN);
                poll(fds, static_cast<nfds_t>(n), 50);
                continue;
            }
            if (result < 0 || event == nullptr || event->source.client == SND_SEQ_CLIENT_SYSTEM)
                continue;
            snd_midi_event_reset_decode(codec);
            const long n = snd_midi_event_decode(codec, out + got, count - got, event);
            got += n > 0 ? static_cast<int>(n) : 0;
        }
        return got;
    }

    pid_t pid = -1;
    int fromChild = -1;
    int toChild = -1;
    bool started = false;
};

// What the manager hands to the application: every message with the index of its port.
class DataRecorder : public MidiManagerDataListener {
public:
    void OnMidiMessage(int portIndex, unsigned long long, const unsigned char* data, int length,
                       int&) override {
        std::lock_guard<std::mutex> hold(mutex);
        messages.emplace_back(portIndex, Bytes(data, data + length));
    }
    std::vector<std::pair<int, Bytes>> take() {
        std::lock_guard<std::mutex> hold(mutex);
        return std::move(messages);
    }
    // Waits until port `index` delivered `count` bytes; all its bytes so far, joined.
    Bytes bytesOf(int index, size_t count) {
        Bytes joined;
        waitUntil(
            [&] {
                std::lock_guard<std::mutex> hold(mutex);
                joined.clear();
                for (const auto& m : messages)
                    if (m.first == index)
                        joined.insert(joined.end(), m.second.begin(), m.second.end());
                return joined.size() >= count;
            },
            kDeadlineMs);
        return joined;
    }

private:
    std::mutex mutex;
    std::vector<std::pair<int, Bytes>> messages;
};

// A watcher listener registered before the manager, so that on every tick it is called
// after the manager's refresh: it records what the refresh left behind.
class TickRecorder : public HotplugWatcher::Listener {
public:
    struct Tick {
        bool prompt;
        unsigned time;
        std::string state;
    };

    void hotplugOccurred(HotplugWatcher::Type) override { record(true); }
    void hotplugPolling(HotplugWatcher::Type) override { record(false); }
    HotplugWatcher::Type hotplugGetTypes() override { return HotplugWatcher::htMidi; }

    void setProbe(std::function<std::string()> p) {
        std::lock_guard<std::mutex> hold(mutex);
        probe = std::move(p);
    }
    // The first prompt (or late) tick at or after `time`, once it came.
    bool firstTickAfter(bool prompt, unsigned time, Tick& found) {
        return waitUntil(
            [&] {
                std::lock_guard<std::mutex> hold(mutex);
                for (const Tick& t : ticks)
                    if (t.prompt == prompt && static_cast<int>(t.time - time) >= 0) {
                        found = t;
                        return true;
                    }
                return false;
            },
            kDeadlineMs);
    }
    // Waits until the last burst of notifications has had its late tick and no refresh ran
    // for longer than the backend keeps its enumeration: the next change is then seen by
    // the prompt tick that follows it.
    void waitForQuiet(unsigned since) {
        waitUntil(
            [&] {
                std::lock_guard<std::mutex> hold(mutex);
                const bool settled = ticks.empty() || !ticks.back().prompt;
                const unsigned last = ticks.empty() ? since : std::max(since, ticks.back().time);
                return settled && getMilliTime() - last >
                                      MidiDeviceFactory::CACHE_LIFETIME_MS + kNotifyDelayMs;
            },
            kDeadlineMs);
    }

private:
    void record(bool prompt) {
        std::lock_guard<std::mutex> hold(mutex);
        ticks.push_back({prompt, getMilliTime(), probe ? probe() : std::string()});
    }

    std::mutex mutex;
    std::function<std::string()> probe;
    std::vector<Tick> ticks;
};

// The kernel lists a subscriber of the announce port before it delivers to it; the entry on
// the receiving port's own side comes last, so only that one proves that no change is missed.
bool receivesFromAnnouncePort(snd_seq_t* seq, const snd_seq_addr_t& receiver) {
    snd_seq_query_subscribe_t* query;
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_query_subscribe_set_root(query, &receiver);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_WRITE);
    snd_seq_query_subscribe_set_index(query, 0);
    while (snd_seq_query_port_subscribers(seq, query) >= 0) {
        const snd_seq_addr_t* sender = snd_seq_query_subscribe_get_addr(query);
        if (sender->client == SND_SEQ_CLIENT_SYSTEM && sender->port == SND_SEQ_PORT_SYSTEM_ANNOUNCE)
            return true;
        snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
    }
    return false;
}

bool watcherHearsAnnouncements() {
    snd_seq_t* seq;
    if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0)
        return false;
    bool hears = false;
    snd_seq_query_subscribe_t* query;
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_client_info_t* client;
    snd_seq_client_info_alloca(&client);
    const snd_seq_addr_t announce{SND_SEQ_CLIENT_SYSTEM, SND_SEQ_PORT_SYSTEM_ANNOUNCE};
    snd_seq_query_subscribe_set_root(query, &announce);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_READ);
    snd_seq_query_subscribe_set_index(query, 0);
    while (!hears && snd_seq_query_port_subscribers(seq, query) >= 0) {
        const snd_seq_addr_t subscriber = *snd_seq_query_subscribe_get_addr(query);
        hears = snd_seq_get_any_client_info(seq, subscriber.client, client) >= 0 &&
                std::strcmp(snd_seq_client_info_get_name(client), kWatcherClient) == 0 &&
                receivesFromAnnouncePort(seq, subscriber);
        snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
    }
    snd_seq_close(seq);
    return hears;
}

ControlLog controlLog;
DataRecorder dataRecorder;
TickRecorder tickRecorder;
unsigned libraryStarted = 0; // 0 until the library runs

// The library as the application starts it, once for all tests: the backend's factory
// cannot be made again after a shutdown.
class ShutdownAtEnd : public testing::Environment {
public:
    void TearDown() override {
        if (libraryStarted == 0)
            return;
        HotplugWatcher::instance()->removeListener(&tickRecorder);
        OrvoSystem::shutdown();
    }
};
const testing::Environment* const shutdownAtEnd =
    testing::AddGlobalTestEnvironment(new ShutdownAtEnd());

class AlsaPlugGuest : public testing::Test {
protected:
    void SetUp() override {
        if (access("/dev/snd/seq", F_OK) != 0)
            GTEST_SKIP() << "no sequencer: CTest runs this in the guest";
        if (libraryStarted == 0) {
            registerAlsaMidiBackend();
            AlsaHotplugSource::install();
            // Registered before the manager, which resuming registers.
            HotplugWatcher::instance()->addListener(&tickRecorder);
            manager = MidiManager::instance();
            manager->AddDeviceControlListener(&controlLog);
            manager->SetDataListener(&dataRecorder);
            manager->SetSuspended(0);
            ASSERT_TRUE(waitUntil(watcherHearsAnnouncements, kDeadlineMs));
            libraryStarted = std::max(1u, getMilliTime());
        }
        manager = MidiManager::instance();
        controlLog.take();
        dataRecorder.take();
    }
    void TearDown() override { tickRecorder.setProbe(nullptr); }

    // Waits until the manager lists the port and holds it present.
    int presentIndex(const std::string& name, int isInput) {
        int index = -1;
        waitUntil(
            [&] {
                index = manager->GetDevIndex(name.c_str(), isInput);
                MidiManagerDev* e = manager->GetDevDescriptor(index, isInput);
                return e != nullptr && e->Exists();
            },
            kDeadlineMs);
        return index;
    }
    std::string stateOf(int index, int isInput) {
        MidiManagerDev* e = manager->GetDevDescriptor(index, isInput);
        if (e == nullptr)
            return "none";
        return std::string(e->Exists() ? "present" : "absent") + (e->IsOpen() ? " open" : "") +
               (e->IsPending() ? " pending" : "");
    }
    void waitForQuiet() { tickRecorder.waitForQuiet(libraryStarted); }

    MidiManager* manager = nullptr;
};

// The port index an alias resolves to, read as the manager writes it: under the alias lock.
int userIdOf(const TMidiAlias* alias) {
    OxScopedLock hold(TMidiAliasManager::instance()->GetLock());
    return alias->userID;
}

Lines closedAndUnplugged(int index, int isInput, const std::string& name) {
    const std::string port = std::to_string(index) + (isInput ? " 1" : " 0");
    const std::string direction = isInput ? "input" : "output";
    return {"beforeClose " + port,
            "text " + port + (isInput ? " Closed MIDI IN: " : " Closed MIDI OUT: ") + name,
            "afterClose " + port,
            "error " + port + " MIDI " + direction + " \"" + name + "\" " + kUnplugged};
}

Lines opened(int index, int isInput, const std::string& name) {
    const std::string port = std::to_string(index) + (isInput ? " 1" : " 0");
    return {"beforeOpen " + port,
            "text " + port + (isInput ? " Opened MIDI IN: " : " Opened MIDI OUT: ") + name,
            "afterOpen " + port};
}

Lines joined(Lines a, const Lines& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

} // namespace

TEST_F(AlsaPlugGuest, openPortsUnpluggedAndPluggedAgainKeepTheirIndexAndReopenByThemselves) {
    PluggableDevice device("Plug Box");
    ASSERT_TRUE(device.isStarted());
    ASSERT_TRUE(device.plug(0));
    const std::string source = "Plug Box : Out";
    const std::string destination = "Plug Box : In";
    const int in = presentIndex(source, 1);
    const int out = presentIndex(destination, 0);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    ASSERT_EQ(manager->Open(out, 0, nullptr), 1);
    ASSERT_EQ(manager->Open(in, 1, nullptr), 1);
    EXPECT_EQ(controlLog.take(), joined(opened(out, 0, destination), opened(in, 1, source)));
    const Bytes note = {0x90, 0x3C, 0x64};
    ASSERT_TRUE(device.send(note));
    EXPECT_EQ(dataRecorder.bytesOf(in, 3), note);
    const int inputCount = manager->GetDevCount(1);
    const int outputCount = manager->GetDevCount(0);
    tickRecorder.setProbe([&] { return stateOf(out, 0) + ", " + stateOf(in, 1); });

    // Unplugged: the prompt tick's refresh closes both and keeps them pending, outputs
    // first; the late one changes nothing more.
    waitForQuiet();
    unsigned plugTime = getMilliTime();
    ASSERT_TRUE(device.unplug());
    TickRecorder::Tick tick;
    ASSERT_TRUE(tickRecorder.firstTickAfter(true, plugTime, tick));
    EXPECT_GE(tick.time - plugTime, kNotifyDelayMs - kEarlyMs);
    EXPECT_EQ(tick.state, "absent pending, absent pending");
    EXPECT_EQ(controlLog.take(),
              joined(closedAndUnplugged(out, 0, destination), closedAndUnplugged(in, 1, source)));
    EXPECT_EQ(manager->GetDevIndex(source.c_str(), 1), in);
    ASSERT_TRUE(tickRecorder.firstTickAfter(false, plugTime, tick));
    EXPECT_GE(tick.time - plugTime, kRepeatDelayMs - kEarlyMs);
    EXPECT_EQ(tick.state, "absent pending, absent pending");
    EXPECT_TRUE(controlLog.take().empty());

    // Back at another address, as a device that was plugged into another socket: found by
    // name, opened again without being asked, and its messages arrive under the same index.
    waitForQuiet();
    dataRecorder.take();
    plugTime = getMilliTime();
    ASSERT_TRUE(device.plug(4));
    ASSERT_TRUE(tickRecorder.firstTickAfter(true, plugTime, tick));
    EXPECT_EQ(tick.state, "present open, present open");
    EXPECT_EQ(controlLog.take(), joined(opened(out, 0, destination), opened(in, 1, source)));
    EXPECT_EQ(manager->GetDevIndex(source.c_str(), 1), in);
    EXPECT_EQ(manager->GetDevIndex(destination.c_str(), 0), out);
    EXPECT_EQ(manager->GetDevCount(1), inputCount);
    EXPECT_EQ(manager->GetDevCount(0), outputCount);
    const Bytes control = {0xB0, 0x07, 0x64};
    ASSERT_TRUE(device.send(control));
    EXPECT_EQ(dataRecorder.bytesOf(in, 3), control);

    // Closed before the helper goes, so that its going reports nothing into the next test.
    manager->Close(in, 1, 0);
    manager->Close(out, 0, 0);
}

TEST_F(AlsaPlugGuest, portChosenWhileAbsentIsOpenedWhenItAppears) {
    const std::string source = "Late Box : Out";
    TMidiAliasManager* aliases = TMidiAliasManager::instance();
    aliases->AddAlias("Late In", source.c_str(), atIn, 0);
    TMidiAlias* alias = aliases->GetAliasByName("Late In", atIn, 0, 0);
    ASSERT_NE(alias, nullptr);
    EXPECT_EQ(userIdOf(alias), -1);

    // Seen once, then gone while closed: it vanishes without a word.
    PluggableDevice device("Late Box");
    ASSERT_TRUE(device.isStarted());
    ASSERT_TRUE(device.plug(0));
    const int in = presentIndex(source, 1);
    ASSERT_GE(in, 0);
    EXPECT_TRUE(waitUntil([&] { return userIdOf(alias) == in; }, kDeadlineMs));
    ASSERT_TRUE(device.unplug());
    EXPECT_TRUE(waitUntil([&] { return stateOf(in, 1) == "absent"; }, kDeadlineMs));
    EXPECT_TRUE(waitUntil([&] { return userIdOf(alias) == -1; }, kDeadlineMs));
    EXPECT_TRUE(controlLog.take().empty());

    // Chosen while absent: pending.
    EXPECT_EQ(manager->Open(in, 1, nullptr), 0);
    EXPECT_EQ(controlLog.take(), Lines{"error " + std::to_string(in) + " 1 MIDI input \"" + source +
                                       "\" does not exist. It is set to 'pending' so that it is "
                                       "used automatically when you plug it in."});
    EXPECT_EQ(stateOf(in, 1), "absent pending");

    // The prompt tick after it appears opens it, and the alias finds it again.
    tickRecorder.setProbe([&] { return stateOf(in, 1); });
    waitForQuiet();
    const unsigned plugTime = getMilliTime();
    ASSERT_TRUE(device.plug(2));
    TickRecorder::Tick tick;
    ASSERT_TRUE(tickRecorder.firstTickAfter(true, plugTime, tick));
    EXPECT_EQ(tick.state, "present open");
    EXPECT_EQ(controlLog.take(), opened(in, 1, source));
    EXPECT_EQ(userIdOf(alias), in);
    const Bytes program = {0xC3, 0x05};
    ASSERT_TRUE(device.send(program));
    EXPECT_EQ(dataRecorder.bytesOf(in, 2), program);
    manager->Close(in, 1, 0);
}

TEST_F(AlsaPlugGuest, thruPassesWhatTheInputAliasReceivesToTheOutputAliasUnchanged) {
    TMidiAliasManager* aliases = TMidiAliasManager::instance();
    aliases->AddAlias("Thru Test In", "Thru Box : Out", atIn, 0);
    aliases->AddAlias("Thru Test Out", "Thru Box : In", atOut, 0);
    TMidiAlias* input = aliases->GetAliasByName("Thru Test In", atIn, 0, 0);
    TMidiAlias* output = aliases->GetAliasByName("Thru Test Out", atOut, 0, 0);
    ASSERT_GE(TMidiRouter::instance()->AddRoute(input, output), 0);

    PluggableDevice device("Thru Box");
    ASSERT_TRUE(device.isStarted());
    ASSERT_TRUE(device.plug(0));
    ASSERT_TRUE(
        waitUntil([&] { return userIdOf(input) >= 0 && userIdOf(output) >= 0; }, kDeadlineMs));
    const int in = userIdOf(input);
    const int out = userIdOf(output);
    ASSERT_EQ(manager->Open(out, 0, nullptr), 1);
    ASSERT_EQ(manager->Open(in, 1, nullptr), 1);

    Bytes messages = {0xF8, 0x90, 0x3C, 0x64, 0x80, 0x3C, 0x00, 0xB0, 0x07, 0x64,
                      0xC0, 0x05, 0xD0, 0x40, 0xE0, 0x00, 0x40, 0xF2, 0x10, 0x20,
                      0xF1, 0x21, 0xF6, 0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7};
    Bytes sysex(600);
    for (size_t i = 0; i < sysex.size(); ++i)
        sysex[i] = static_cast<unsigned char>((i * 7) & 0x7F);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    messages.insert(messages.end(), sysex.begin(), sysex.end());
    // Waits for the System Exclusive before it rather than cutting into it.
    messages.insert(messages.end(), {0x90, 0x40, 0x7F});
    ASSERT_TRUE(device.send(messages));
    EXPECT_EQ(device.receive(messages.size()), messages);
    // The application saw all of it, and did not keep it from the thru port.
    EXPECT_EQ(dataRecorder.bytesOf(in, messages.size()), messages);
    manager->Close(in, 1, 0);
    manager->Close(out, 0, 0);
}
