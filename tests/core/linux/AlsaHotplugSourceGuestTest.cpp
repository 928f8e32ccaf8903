// The ALSA hotplug binding against a real sequencer. CTest runs it inside the test guest
// (tools/guest/run-in-guest), where snd-seq, snd-seq-dummy and snd-virmidi are loaded.
#include "core/hotplugwatcher/HotplugWatcher.h"
#include "core/linux/AlsaHotplugSource.h"
#include "platform/OrvoSystem.h"
#include "platform/OxTime.h"
#include "tests/support/ShutdownAtEnd.h"
#include "tests/platform/WaitUntil.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

using Lk::AlsaHotplugSource;
using Lk::getMilliTime;
using Lk::HotplugWatcher;

namespace {

const unsigned kNotifyDelayMs = HotplugWatcher::NOTIFY_DELAY_MS;
const unsigned kRepeatDelayMs = HotplugWatcher::REPEAT_DELAY_MS;
const unsigned kEarlyMs = 20; // the clock's granularity: timers never fire early otherwise
const unsigned kDeadlineMs = 30000;
const unsigned kStopBudgetMs = 2000; // the bounded wait before a thread would be cancelled
const char* const kWatcherClient = "HotplugWatcher::MIDI";

// A sequencer client of the test: it plays a device by creating and deleting ports, and looks at
// what the sequencer holds. Used by one thread at a time.
class SequencerClient {
public:
    explicit SequencerClient(const char* name) {
        if (snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, 0) < 0)
            seq = nullptr;
        else
            snd_seq_set_client_name(seq, name);
    }
    SequencerClient(const SequencerClient&) = delete;
    SequencerClient& operator=(const SequencerClient&) = delete;
    ~SequencerClient() {
        if (seq != nullptr)
            snd_seq_close(seq);
    }

    bool isOpen() const { return seq != nullptr; }

    int createPort(const char* name) {
        return snd_seq_create_simple_port(seq, name,
                                          SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ,
                                          SND_SEQ_PORT_TYPE_MIDI_GENERIC);
    }
    bool deletePort(int port) { return snd_seq_delete_simple_port(seq, port) >= 0; }

    // "client:port" of every port.
    std::vector<std::string> ports() const {
        std::vector<std::string> names;
        snd_seq_client_info_t* client;
        snd_seq_port_info_t* port;
        snd_seq_client_info_alloca(&client);
        snd_seq_port_info_alloca(&port);
        snd_seq_client_info_set_client(client, -1);
        while (snd_seq_query_next_client(seq, client) >= 0) {
            snd_seq_port_info_set_client(port, snd_seq_client_info_get_client(client));
            snd_seq_port_info_set_port(port, -1);
            while (snd_seq_query_next_port(seq, port) >= 0)
                names.push_back(std::string(snd_seq_client_info_get_name(client)) + ":" +
                                snd_seq_port_info_get_name(port));
        }
        return names;
    }

    // The number of the client with this name, -1 when there is none.
    int findClient(const char* name) const {
        snd_seq_client_info_t* client;
        snd_seq_client_info_alloca(&client);
        snd_seq_client_info_set_client(client, -1);
        while (snd_seq_query_next_client(seq, client) >= 0)
            if (std::string(snd_seq_client_info_get_name(client)) == name)
                return snd_seq_client_info_get_client(client);
        return -1;
    }

    // Whether the client with this name receives the system's announcements. Asked at the
    // client's own ports: the kernel lists a new subscription at the announce port before it
    // delivers anything through it, and at the receiving port only once it does.
    bool hearsAnnouncements(const char* name) const {
        const int id = findClient(name);
        snd_seq_port_info_t* port;
        snd_seq_port_info_alloca(&port);
        snd_seq_port_info_set_client(port, id);
        snd_seq_port_info_set_port(port, -1);
        while (id >= 0 && snd_seq_query_next_port(seq, port) >= 0)
            if (receivesFromAnnouncePort(*snd_seq_port_info_get_addr(port)))
                return true;
        return false;
    }

private:
    bool receivesFromAnnouncePort(const snd_seq_addr_t& receiver) const {
        snd_seq_query_subscribe_t* query;
        snd_seq_query_subscribe_alloca(&query);
        snd_seq_query_subscribe_set_root(query, &receiver);
        snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_WRITE);
        snd_seq_query_subscribe_set_index(query, 0);
        while (snd_seq_query_port_subscribers(seq, query) >= 0) {
            const snd_seq_addr_t* sender = snd_seq_query_subscribe_get_addr(query);
            if (sender->client == SND_SEQ_CLIENT_SYSTEM &&
                sender->port == SND_SEQ_PORT_SYSTEM_ANNOUNCE)
                return true;
            snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
        }
        return false;
    }

    snd_seq_t* seq = nullptr;
};

bool contains(const std::vector<std::string>& names, const std::string& name) {
    return std::find(names.begin(), names.end(), name) != names.end();
}

int countContaining(const std::vector<std::string>& names, const std::string& part) {
    return static_cast<int>(std::count_if(names.begin(), names.end(), [&](const std::string& n) {
        return n.find(part) != std::string::npos;
    }));
}

struct Call {
    unsigned time = 0;
    HotplugWatcher::Type types = 0;
    std::vector<std::string> ports; // what the sequencer held at the call
};

// Like the MIDI manager, looks at the sequencer's ports on every call (on the timer thread).
class EnumeratingListener : public HotplugWatcher::Listener {
public:
    void hotplugOccurred(HotplugWatcher::Type types) override { record(occurred, types); }
    void hotplugPolling(HotplugWatcher::Type types) override { record(polled, types); }
    HotplugWatcher::Type hotplugGetTypes() override { return HotplugWatcher::htMidi; }

    std::vector<Call> occurredCalls() { return copy(occurred); }
    std::vector<Call> pollingCalls() { return copy(polled); }
    bool waitForOccurred(size_t count) {
        return waitUntil([&] { return occurredCalls().size() >= count; }, kDeadlineMs);
    }

private:
    void record(std::vector<Call>& calls, HotplugWatcher::Type types) {
        Call call{getMilliTime(), types, observer.ports()};
        std::lock_guard<std::mutex> hold(mutex);
        calls.push_back(call);
    }
    std::vector<Call> copy(const std::vector<Call>& calls) {
        std::lock_guard<std::mutex> hold(mutex);
        return calls;
    }

    SequencerClient observer{"hotplug observer"};
    std::mutex mutex;
    std::vector<Call> occurred;
    std::vector<Call> polled;
};

class AlsaHotplugSourceGuest : public testing::Test {
protected:
    void SetUp() override {
        if (access("/dev/snd/seq", F_OK) != 0)
            GTEST_SKIP() << "no sequencer: CTest runs this in the guest";
        ASSERT_TRUE(device.isOpen());
    }

    // Registering returns once the watcher's client receives the announcements, so that no
    // change made afterwards can be missed.
    void startWatching(HotplugWatcher& watcher) {
        watcher.addListener(&listener);
        ASSERT_TRUE(device.hearsAnnouncements(kWatcherClient));
    }

    SequencerClient device{"hotplug device"};
    EnumeratingListener listener;
};

} // namespace

TEST_F(AlsaHotplugSourceGuest, portsThatStartAndEndGivePromptAndLateCalls) {
    HotplugWatcher watcher(std::make_unique<AlsaHotplugSource>());
    startWatching(watcher);

    const unsigned plugged = getMilliTime();
    const int port = device.createPort("device out");
    ASSERT_GE(port, 0);
    ASSERT_TRUE(listener.waitForOccurred(1));
    const Call prompt = listener.occurredCalls()[0];
    EXPECT_EQ(HotplugWatcher::htMidi, prompt.types);
    EXPECT_GE(prompt.time - plugged, kNotifyDelayMs - kEarlyMs);
    EXPECT_TRUE(contains(prompt.ports, "hotplug device:device out"));

    ASSERT_TRUE(waitUntil([&] { return !listener.pollingCalls().empty(); }, kDeadlineMs));
    const Call late = listener.pollingCalls()[0];
    EXPECT_EQ(HotplugWatcher::htMidi, late.types);
    EXPECT_GE(late.time - plugged, kRepeatDelayMs - kEarlyMs);
    EXPECT_EQ(1u, listener.occurredCalls().size());

    ASSERT_TRUE(device.deletePort(port));
    ASSERT_TRUE(listener.waitForOccurred(2));
    EXPECT_EQ(0, countContaining(listener.occurredCalls()[1].ports, "hotplug device:"));
}

TEST_F(AlsaHotplugSourceGuest, kernelClientsOfAnUnloadedAndReloadedDriverAreReported) {
    if (std::getenv("RUN_IN_GUEST") == nullptr)
        GTEST_SKIP() << "unloads a sound driver: only in the test guest";
    HotplugWatcher watcher(std::make_unique<AlsaHotplugSource>());
    startWatching(watcher);

    ASSERT_EQ(0, std::system("/sbin/modprobe -r snd_virmidi"));
    ASSERT_TRUE(listener.waitForOccurred(1));
    EXPECT_EQ(0, countContaining(listener.occurredCalls()[0].ports, "VirMIDI"));

    const unsigned loaded = getMilliTime();
    ASSERT_EQ(0, std::system("/sbin/modprobe snd-virmidi"));
    ASSERT_TRUE(listener.waitForOccurred(2));
    // The late call sees the whole card, however slowly its clients appeared.
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::vector<Call> late = listener.pollingCalls();
            return !late.empty() && late.back().time - loaded >= kRepeatDelayMs - kEarlyMs &&
                   countContaining(late.back().ports, "VirMIDI") == 4;
        },
        kDeadlineMs));
}

TEST_F(AlsaHotplugSourceGuest, stoppingEndsTheThreadAtOnceAndLeavesTheSequencer) {
    auto watcher = std::make_unique<HotplugWatcher>(std::make_unique<AlsaHotplugSource>());
    startWatching(*watcher);

    unsigned stopping = getMilliTime();
    watcher->removeListener(&listener);
    EXPECT_LT(getMilliTime() - stopping, kStopBudgetMs);
    EXPECT_EQ(-1, device.findClient(kWatcherClient));

    // Watching again makes a new client that hears changes.
    startWatching(*watcher);
    ASSERT_GE(device.createPort("after restart"), 0);
    EXPECT_TRUE(listener.waitForOccurred(1));

    stopping = getMilliTime();
    watcher.reset();
    EXPECT_LT(getMilliTime() - stopping, kStopBudgetMs);
    EXPECT_EQ(-1, device.findClient(kWatcherClient));
}

TEST_F(AlsaHotplugSourceGuest, installedSourceServesTheSharedWatcher) {
    AlsaHotplugSource::install();
    startWatching(*HotplugWatcher::instance());
    HotplugWatcher::instance()->removeListener(&listener);
    Lk::OrvoSystem::shutdown();
    HotplugWatcher::setSourceFactory(nullptr);
    EXPECT_EQ(-1, device.findClient(kWatcherClient));
}
