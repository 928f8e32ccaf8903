// The whole MIDI library on the real sequencer, as the application runs it: the ALSA backend,
// the hotplug watcher on the announce port, the manager's refresh, aliases and the thru route.
// A helper client in another process (our own process's clients are not listed) plays a
// device whose ports come and go. CTest runs it inside the test guest (tools/guest).
#include "core/hotplugwatcher/HotplugWatcher.h"
#include "core/linux/AlsaHotplugSource.h"
#include "core/linux/AlsaMidiFactory.h"
#include "core/linux/AlsaSequencer.h"
#include "midi/MidiAlias.h"
#include "midi/MidiManager.h"
#include "midi/MidiRouter.h"
#include "platform/OrvoSystem.h"
#include "platform/OxTime.h"
#include "tests/core/linux/support/PluggableDevice.h"
#include "tests/midi/support/MidiManagerFixture.h"
#include "tests/platform/WaitUntil.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace Lk;

namespace {

using Bytes = std::vector<unsigned char>;
using Lines = std::vector<std::string>;

const unsigned kNotifyDelayMs = HotplugWatcher::NOTIFY_DELAY_MS;
const unsigned kRepeatDelayMs = HotplugWatcher::REPEAT_DELAY_MS;
const unsigned kEarlyMs = 20; // timers never fire early but by the clock's granularity
const unsigned kDeadlineMs = 30000;
const char* const kWatcherClient = "HotplugWatcher::MIDI";
const char* const kUnplugged = "unplugged. It is set to 'pending' so that it is used "
                               "automatically when you plug it in.";

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

// Plugs in `device`, called `name`, with its source routed to its destination through two
// aliases, and opens both ports; their indexes go to `in` and `out`.
void plugRoutedAndOpen(PluggableDevice& device, const std::string& name, int& in, int& out) {
    TMidiAliasManager* aliases = TMidiAliasManager::instance();
    const OxString inAlias = (name + " In").c_str();
    const OxString outAlias = (name + " Thru").c_str();
    aliases->AddAlias(inAlias, (name + " : Out").c_str(), atIn, 0);
    aliases->AddAlias(outAlias, (name + " : In").c_str(), atOut, 0);
    TMidiAlias* input = aliases->GetAliasByName(inAlias, atIn, 0, 0);
    TMidiAlias* output = aliases->GetAliasByName(outAlias, atOut, 0, 0);
    ASSERT_GE(TMidiRouter::instance()->AddRoute(input, output), 0);
    ASSERT_TRUE(device.isStarted());
    ASSERT_TRUE(device.plug(0));
    ASSERT_TRUE(
        waitUntil([&] { return userIdOf(input) >= 0 && userIdOf(output) >= 0; }, kDeadlineMs));
    in = userIdOf(input);
    out = userIdOf(output);
    ASSERT_EQ(MidiManager::instance()->Open(out, 0, nullptr), 1);
    ASSERT_EQ(MidiManager::instance()->Open(in, 1, nullptr), 1);
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

TEST_F(AlsaPlugGuest, openPortsBackAtTheirOldAddressBeforeTheRefreshAreConnectedAgain) {
    PluggableDevice device("Replug Box");
    int in = -1;
    int out = -1;
    ASSERT_NO_FATAL_FAILURE(plugRoutedAndOpen(device, "Replug Box", in, out));
    controlLog.take();

    // Gone and back at the same address before the refresh: the kernel ended both
    // subscriptions, so both ports are opened again, and thru works both ways.
    waitForQuiet();
    const unsigned plugTime = getMilliTime();
    ASSERT_TRUE(device.unplug());
    ASSERT_TRUE(device.plug(0));
    TickRecorder::Tick tick;
    ASSERT_TRUE(tickRecorder.firstTickAfter(true, plugTime, tick));
    EXPECT_EQ(controlLog.take(),
              joined(opened(out, 0, "Replug Box : In"), opened(in, 1, "Replug Box : Out")));
    const Bytes note = {0x90, 0x3C, 0x64};
    ASSERT_TRUE(device.send(note));
    EXPECT_EQ(device.receive(note.size()), note);
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
    PluggableDevice device("Thru Box");
    int in = -1;
    int out = -1;
    ASSERT_NO_FATAL_FAILURE(plugRoutedAndOpen(device, "Thru Box", in, out));

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

TEST_F(AlsaPlugGuest, thruCountersMatchWhatTheDeviceSentAndWhatCameBack) {
    TMidiAliasManager* aliases = TMidiAliasManager::instance();
    aliases->AddAlias("Stats Test In", "Stats Box : Out", atIn, 0);
    aliases->AddAlias("Stats Test Out", "Stats Box : In", atOut, 0);
    TMidiAlias* input = aliases->GetAliasByName("Stats Test In", atIn, 0, 0);
    TMidiAlias* output = aliases->GetAliasByName("Stats Test Out", atOut, 0, 0);
    ASSERT_GE(TMidiRouter::instance()->AddRoute(input, output), 0);
    PluggableDevice device("Stats Box");
    ASSERT_TRUE(device.isStarted());
    ASSERT_TRUE(device.plug(0));
    ASSERT_TRUE(
        waitUntil([&] { return userIdOf(input) >= 0 && userIdOf(output) >= 0; }, kDeadlineMs));
    const int in = userIdOf(input);
    const int out = userIdOf(output);
    ASSERT_EQ(manager->Open(out, 0, nullptr), 1);
    ASSERT_EQ(manager->Open(in, 1, nullptr), 1);
    const MidiThruStats before = manager->GetThruStats();
    auto grown = [&](uint64_t received, uint64_t forwarded, uint64_t notForwarded) {
        MidiThruStats now;
        waitUntil(
            [&] {
                now = manager->GetThruStats();
                return now.receivedMessages - before.receivedMessages >= received &&
                       now.forwardedMessages - before.forwardedMessages >= forwarded &&
                       now.notForwardedMessages - before.notForwardedMessages >= notForwarded;
            },
            kDeadlineMs);
        return std::vector<uint64_t>{now.receivedMessages - before.receivedMessages,
                                     now.receivedBytes - before.receivedBytes,
                                     now.forwardedMessages - before.forwardedMessages,
                                     now.forwardedBytes - before.forwardedBytes,
                                     now.notForwardedMessages - before.notForwardedMessages,
                                     now.notForwardedBytes - before.notForwardedBytes};
    };

    // Three channel messages and 3000 bytes of System Exclusive, which the input hands on
    // in two chunks (2048 and 952 bytes): five messages.
    Bytes messages = {0x90, 0x3C, 0x64, 0xC0, 0x05, 0x80, 0x3C, 0x00};
    Bytes sysex(3000, 0x21);
    sysex.front() = 0xF0;
    sysex.back() = 0xF7;
    messages.insert(messages.end(), sysex.begin(), sysex.end());
    ASSERT_TRUE(device.send(messages));
    EXPECT_EQ(device.receive(messages.size()), messages);
    EXPECT_EQ(grown(5, 5, 0), (std::vector<uint64_t>{5, 3008, 5, 3008, 0, 0}));

    // With the thru port closed, what arrives is counted as not passed on.
    manager->Close(out, 0, 0);
    ASSERT_TRUE(device.send({0xB0, 0x07, 0x64, 0xE0, 0x00, 0x40}));
    EXPECT_EQ(grown(7, 5, 2), (std::vector<uint64_t>{7, 3014, 5, 3008, 2, 6}));
    EXPECT_TRUE(device.receive(1, 200).empty());
    manager->Close(in, 1, 0);
}

namespace {

// A Standard MIDI File (format 0, one track) that plays the messages one after another at
// once; System Exclusive messages shorter than 128 bytes.
std::string writeMidiFile(const std::vector<Bytes>& messages) {
    Bytes track;
    for (const Bytes& m : messages) {
        track.push_back(0); // no delay
        if (m[0] == 0xF0) {
            track.push_back(0xF0);
            track.push_back(static_cast<unsigned char>(m.size() - 1));
            track.insert(track.end(), m.begin() + 1, m.end());
        } else {
            track.insert(track.end(), m.begin(), m.end());
        }
    }
    track.insert(track.end(), {0x00, 0xFF, 0x2F, 0x00}); // end of track
    Bytes file = {'M', 'T', 'h', 'd', 0, 0, 0, 6, 0, 0, 0, 1, 0, 96, 'M', 'T', 'r', 'k'};
    for (int shift = 24; shift >= 0; shift -= 8)
        file.push_back(static_cast<unsigned char>(track.size() >> shift));
    file.insert(file.end(), track.begin(), track.end());
    char path[] = "/tmp/doka-virtual-XXXXXX.mid";
    const int fd = mkstemps(path, 4);
    if (fd < 0)
        return {};
    const bool written = write(fd, file.data(), file.size()) == static_cast<ssize_t>(file.size());
    close(fd);
    return written ? path : "";
}

// The port of our process's client with that name, as another program finds it, with its
// capabilities; client -1 when there is none.
struct SeenPort {
    int client = -1;
    int port = -1;
    unsigned caps = 0;
    std::string address() const { return std::to_string(client) + ":" + std::to_string(port); }
};

SeenPort findOwnPort(const char* name) {
    SeenPort found;
    std::shared_ptr<AlsaSequencer> ours = AlsaSequencer::shared();
    snd_seq_t* seq;
    if (!ours || snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0)
        return found;
    snd_seq_port_info_t* info;
    snd_seq_port_info_alloca(&info);
    snd_seq_port_info_set_client(info, ours->clientId());
    snd_seq_port_info_set_port(info, -1);
    while (snd_seq_query_next_port(seq, info) >= 0)
        if (std::strcmp(snd_seq_port_info_get_name(info), name) == 0) {
            found.client = ours->clientId();
            found.port = snd_seq_port_info_get_port(info);
            found.caps = snd_seq_port_info_get_capability(info);
        }
    snd_seq_close(seq);
    return found;
}

} // namespace

TEST_F(AlsaPlugGuest, virtualInputPassesWhatOtherProgramsSendThroughTheDataPathAndThru) {
    const int own = MidiManager::VIRTUAL_INPUT_INDEX;
    TMidiAliasManager* aliases = TMidiAliasManager::instance();
    aliases->AddAlias("Virtual Test In", "Absent Module", atIn, 0);
    aliases->AddAlias("Virtual Test Out", "Virtual Box : In", atOut, 0);
    TMidiAlias* input = aliases->GetAliasByName("Virtual Test In", atIn, 0, 0);
    TMidiAlias* output = aliases->GetAliasByName("Virtual Test Out", atOut, 0, 0);
    ASSERT_GE(TMidiRouter::instance()->AddRoute(input, output), 0);
    PluggableDevice device("Virtual Box");
    ASSERT_TRUE(device.isStarted());
    ASSERT_TRUE(device.plug(0));
    ASSERT_TRUE(waitUntil([&] { return userIdOf(output) >= 0; }, kDeadlineMs));
    const int out = userIdOf(output);
    ASSERT_EQ(manager->Open(out, 0, nullptr), 1);

    OxStringList errors;
    ASSERT_EQ(manager->OpenVirtualInput("DOKA Display", input, &errors), 1)
        << errors.getText().c_str();
    const SeenPort port = findOwnPort("DOKA Display");
    ASSERT_GE(port.client, 0);
    const unsigned writable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;
    EXPECT_EQ(port.caps & writable, writable);
    EXPECT_EQ(port.caps & SND_SEQ_PORT_CAP_NO_EXPORT, 0u);
    manager->RefreshDevList(1, 1);
    for (int i = 0; i < manager->GetDevCount(1); ++i)
        EXPECT_EQ(manager->GetDevName(i, 1).indexOf("DOKA Display"), -1);

    // aplaymidi subscribes to the port and plays a file into it.
    const std::vector<Bytes> played = {{0x90, 0x3C, 0x64},
                                       {0xB0, 0x07, 0x64},
                                       {0xC0, 0x05},
                                       {0xE0, 0x00, 0x40},
                                       {0xF0, 0x7D, 0x01, 0x02, 0x03, 0xF7},
                                       {0x80, 0x3C, 0x00}};
    const std::string file = writeMidiFile(played);
    ASSERT_FALSE(file.empty());
    const std::string play = "aplaymidi -p " + port.address() + " " + file;
    EXPECT_EQ(system(play.c_str()), 0) << play;
    unlink(file.c_str());
    Bytes expected;
    for (const Bytes& m : played)
        expected.insert(expected.end(), m.begin(), m.end());
    EXPECT_EQ(dataRecorder.bytesOf(own, expected.size()), expected);
    EXPECT_EQ(device.receive(expected.size()), expected);

    // A device connected to it with aconnect reaches it too.
    dataRecorder.take();
    const std::string connect = "aconnect 'Virtual Box:1' " + port.address();
    ASSERT_EQ(system(connect.c_str()), 0) << connect;
    const Bytes sent = {0xF8, 0x90, 0x40, 0x7F, 0xF0, 0x7D, 0x05, 0x06, 0xF7, 0x80, 0x40, 0x00};
    ASSERT_TRUE(device.send(sent));
    EXPECT_EQ(dataRecorder.bytesOf(own, sent.size()), sent);
    EXPECT_EQ(device.receive(sent.size()), sent);

    manager->CloseVirtualInput();
    EXPECT_EQ(findOwnPort("DOKA Display").client, -1);
    manager->Close(out, 0, 0);
}
