// The parts of the ALSA hotplug binding that need no sequencer; the rest runs in the guest
// (AlsaHotplugSourceGuestTest.cpp). How the watcher polls when its source cannot open is the
// watcher's own test (tests/core/HotplugWatcherTest.cpp).
#include "core/linux/AlsaHotplugSource.h"
#include "core/hotplugwatcher/HotplugWatcher.h"
#include "tests/support/ShutdownAtEnd.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <future>

using Lk::AlsaHotplugSource;
using Lk::HotplugWatcher;

namespace {

const auto kBlockedFor = std::chrono::milliseconds(200);
const auto kDeadline = std::chrono::milliseconds(30000);

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

// The MIDI backend tells the user; the watcher polls, to find a module loaded later.
TEST(AlsaHotplugSource, withoutSequencerTheWatcherPollsQuietly) {
    setenv("DOKA_SEQUENCER_DEVICE", "/nothing/seq", 1);
    HotplugWatcher target;
    AlsaHotplugSource source;
    testing::internal::CaptureStderr();
    EXPECT_TRUE(source.open(target));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    source.close();
}
