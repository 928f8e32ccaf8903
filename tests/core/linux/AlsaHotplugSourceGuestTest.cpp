// The ALSA hotplug binding against a real sequencer. CTest runs it inside the test guest
// (tools/guest/run-in-guest), where snd-seq, snd-seq-dummy and snd-virmidi are loaded.
#include "core/hotplugwatcher/HotplugWatcher.h"
#include "core/linux/AlsaHotplugSource.h"
#include "platform/OxTime.h"
#include "tests/core/linux/support/HelperClient.h"
#include "tests/support/Recorder.h"
#include "tests/support/ShutdownAtEnd.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

using dokatest::waitUntil;
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

// How many of the ports ("client:port") contain `part`.
int countContaining(const std::vector<std::string>& names, const std::string& part) {
    return static_cast<int>(std::count_if(names.begin(), names.end(), [&](const std::string& n) {
        return n.find(part) != std::string::npos;
    }));
}

struct Call {
    bool prompt = false; // hotplugOccurred, else hotplugPolling
    unsigned time = 0;
    HotplugWatcher::Type types = 0;
    std::vector<std::string> ports; // what the sequencer held at the call
};

// Like the MIDI manager, looks at the sequencer's ports on every call (on the timer thread).
class EnumeratingListener : public HotplugWatcher::Listener, public dokatest::Recorder<Call> {
public:
    explicit EnumeratingListener(HelperClient& observer) : observer(observer) {}
    void hotplugOccurred(HotplugWatcher::Type types) override { record(true, types); }
    void hotplugPolling(HotplugWatcher::Type types) override { record(false, types); }
    HotplugWatcher::Type hotplugGetTypes() override { return HotplugWatcher::htMidi; }

    std::vector<Call> calls(bool prompt) { return only(snapshot(), prompt); }
    bool waitForOccurred(size_t count) {
        return waitFor(
            [&](const std::vector<Call>& all) { return only(all, true).size() >= count; },
            kDeadlineMs);
    }

private:
    static std::vector<Call> only(std::vector<Call> all, bool prompt) {
        all.erase(std::remove_if(all.begin(), all.end(),
                                 [&](const Call& c) { return c.prompt != prompt; }),
                  all.end());
        return all;
    }
    void record(bool prompt, HotplugWatcher::Type types) {
        std::vector<std::string> names;
        for (const HelperClient::SeenPort& port : observer.ports())
            names.push_back(port.clientName + ":" + port.name);
        add({prompt, getMilliTime(), types, names});
    }

    HelperClient& observer;
};

class AlsaHotplugSourceGuest : public testing::Test {
protected:
    void SetUp() override {
        if (access("/dev/snd/seq", F_OK) != 0)
            GTEST_SKIP() << "no sequencer: CTest runs this in the guest";
        ASSERT_GE(device.clientId(), 0);
    }

    // Registering returns once the watcher's client receives the announcements, so that no
    // change made afterwards can be missed.
    void startWatching(HotplugWatcher& watcher) {
        watcher.addListener(&listener);
        ASSERT_TRUE(device.hearsAnnouncements(kWatcherClient));
    }

    // Plays a device and looks at what the sequencer holds.
    HelperClient device{"hotplug device"};
    EnumeratingListener listener{device};
};

} // namespace

TEST_F(AlsaHotplugSourceGuest, portsThatStartAndEndGivePromptAndLateCalls) {
    HotplugWatcher watcher(std::make_unique<AlsaHotplugSource>());
    startWatching(watcher);

    const unsigned plugged = getMilliTime();
    const int port = device.addPort({"device out", HelperClient::READABLE});
    ASSERT_GE(port, 0);
    ASSERT_TRUE(listener.waitForOccurred(1));
    const Call prompt = listener.calls(true)[0];
    EXPECT_EQ(HotplugWatcher::htMidi, prompt.types);
    EXPECT_GE(prompt.time - plugged, kNotifyDelayMs - kEarlyMs);
    EXPECT_EQ(1, countContaining(prompt.ports, "hotplug device:device out"));

    ASSERT_TRUE(waitUntil([&] { return !listener.calls(false).empty(); }, kDeadlineMs));
    const Call late = listener.calls(false)[0];
    EXPECT_EQ(HotplugWatcher::htMidi, late.types);
    EXPECT_GE(late.time - plugged, kRepeatDelayMs - kEarlyMs);
    EXPECT_EQ(1u, listener.calls(true).size());

    ASSERT_TRUE(device.deletePort(port));
    ASSERT_TRUE(listener.waitForOccurred(2));
    EXPECT_EQ(0, countContaining(listener.calls(true)[1].ports, "hotplug device:device out"));
}

TEST_F(AlsaHotplugSourceGuest, kernelClientsOfAnUnloadedAndReloadedDriverAreReported) {
    if (std::getenv("RUN_IN_GUEST") == nullptr)
        GTEST_SKIP() << "unloads a sound driver: only in the test guest";
    HotplugWatcher watcher(std::make_unique<AlsaHotplugSource>());
    startWatching(watcher);

    ASSERT_EQ(0, std::system("/sbin/modprobe -r snd_virmidi"));
    ASSERT_TRUE(listener.waitForOccurred(1));
    EXPECT_EQ(0, countContaining(listener.calls(true)[0].ports, "VirMIDI"));

    const unsigned loaded = getMilliTime();
    ASSERT_EQ(0, std::system("/sbin/modprobe snd-virmidi"));
    ASSERT_TRUE(listener.waitForOccurred(2));
    // The late call sees the whole card, however slowly its clients appeared.
    EXPECT_TRUE(waitUntil(
        [&] {
            const std::vector<Call> late = listener.calls(false);
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
    ASSERT_GE(device.addPort({"after restart", HelperClient::READABLE}), 0);
    EXPECT_TRUE(listener.waitForOccurred(1));

    stopping = getMilliTime();
    watcher.reset();
    EXPECT_LT(getMilliTime() - stopping, kStopBudgetMs);
    EXPECT_EQ(-1, device.findClient(kWatcherClient));
}
