// The parts of the ALSA hotplug binding that need no sequencer; the rest runs in the guest
// (AlsaHotplugSourceGuestTest.cpp).
#include "core/linux/AlsaHotplugSource.h"
#include "core/hotplugwatcher/HotplugWatcher.h"
#include "platform/OrvoSystem.h"
#include "platform/OxTime.h"
#include "tests/support/ShutdownAtEnd.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <unistd.h>

using Lk::AlsaHotplugSource;
using Lk::getMilliTime;
using Lk::HotplugWatcher;

namespace {

const unsigned kPollingIntervalMs = 10000;
const unsigned kDeadlineMs = 30000;
const unsigned kStopBudgetMs = 2000; // the bounded wait before a thread would be cancelled
const auto kBlockedFor = std::chrono::milliseconds(200);
const auto kDeadline = std::chrono::milliseconds(kDeadlineMs);

class PollingListener : public HotplugWatcher::Listener {
public:
    void hotplugOccurred(HotplugWatcher::Type) override { ++occurred; }
    void hotplugPolling(HotplugWatcher::Type types) override {
        if (types == HotplugWatcher::htMidi)
            ++polled;
    }
    HotplugWatcher::Type hotplugGetTypes() override { return HotplugWatcher::htMidi; }

    std::atomic<int> occurred{0};
    std::atomic<int> polled{0};
};

} // namespace

TEST(AlsaHotplugSource, wakeIsKeptUntilAWaitConsumesIt) {
    AlsaHotplugSource source;
    source.wake();
    source.wake();
    auto first = std::async(std::launch::async, [&] { source.waitForEvents(); });
    const bool firstReturned = first.wait_for(kDeadline) == std::future_status::ready;
    EXPECT_TRUE(firstReturned) << "a wake before the wait was lost";
    if (!firstReturned)
        source.wake();
    first.wait();

    // Both wakes were consumed together: the next wait blocks until the next wake.
    auto second = std::async(std::launch::async, [&] { source.waitForEvents(); });
    EXPECT_EQ(std::future_status::timeout, second.wait_for(kBlockedFor));
    source.wake();
    EXPECT_EQ(std::future_status::ready, second.wait_for(kDeadline));
    second.wait();
}

TEST(AlsaHotplugSource, withoutSequencerOpenFailsAndTheWatcherPolls) {
    if (access("/dev/snd/seq", F_OK) == 0)
        GTEST_SKIP() << "this machine has a sequencer";
    HotplugWatcher target;
    AlsaHotplugSource source;
    EXPECT_FALSE(source.open(target));
    source.close();

    HotplugWatcher watcher(std::make_unique<AlsaHotplugSource>());
    PollingListener listener;
    const unsigned added = getMilliTime();
    watcher.addListener(&listener);
    ASSERT_TRUE(
        dokatest::waitUntil([&] { return listener.polled > 0; }, kPollingIntervalMs + kDeadlineMs));
    EXPECT_GE(getMilliTime() - added, kPollingIntervalMs - 50);
    EXPECT_EQ(0, listener.occurred);

    const unsigned stopping = getMilliTime();
    watcher.removeListener(&listener);
    EXPECT_LT(getMilliTime() - stopping, kStopBudgetMs);
}
