#include "platform/OrvoSystem.h"
#include "platform/OxTime.h"
#include "platform/OxTimer.h"
#include "tests/support/Recorder.h"
#include "tests/support/ShutdownAtEnd.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

using dokatest::waitUntil;
using namespace Lk;

namespace {

// The clock at every call; then runs an optional action.
class Calls : public OxTimer::Listener, public dokatest::Recorder<unsigned> {
public:
    explicit Calls(std::function<void(OxTimer*)> action = nullptr) : action(std::move(action)) {}
    void onTimer(OxTimer* timer) override {
        add(getMilliTime());
        if (action)
            action(timer);
    }
    int count() const { return static_cast<int>(size()); }

private:
    std::function<void(OxTimer*)> action;
};

const int kFarAway = 100000000; // an interval that never comes due during a test

} // namespace

// work() is driven with chosen times here; the timer is started with a far due time only
// so that it counts as armed.
TEST(OxTimer, missedPeriodsAreMadeUpOneCallEachOnTheirGridAlsoAcrossTheWrap) {
    Calls calls;
    OxTimer timer(&calls, kFarAway, 1, "grid");
    timer.start();
    timer.setInterval(100);
    const unsigned t = 1000;
    EXPECT_EQ(t + 500, timer.work(t + 450, t + 100));
    EXPECT_EQ(4, calls.count());
    EXPECT_EQ(t + 500, timer.work(t + 499, t + 500));
    EXPECT_EQ(4, calls.count());

    EXPECT_EQ(0x10u, timer.work(0xFFFFFFF0u, 0x10u)); // not due yet, though larger unsigned
    EXPECT_EQ(4, calls.count());
    // -100, then 0 (which means "none", so 1), then 101 are due at 150.
    EXPECT_EQ(201u, timer.work(150, 0xFFFFFF9Cu));
    EXPECT_EQ(7, calls.count());
    EXPECT_EQ(1, OxTimer(nullptr, 0, 1).getInterval()); // a zero period would never end
}

// An initial delay of 0 brings the first call at once.
TEST(OxTimer, oneShotIsCalledOnceThenTheIdleThreadEndsUntilTheNextStart) {
    Calls calls;
    OxTimer oneShot(&calls, kFarAway, 0, "one-shot");
    oneShot.setInitialDelay(0);
    OxTimerManager* manager = OxTimerManager::instance();
    for (int round = 1; round <= 2; ++round) {
        oneShot.start(); // with no delay it may have run and the thread ended already
        ASSERT_TRUE(calls.waitForCount(round));
        EXPECT_TRUE(
            waitUntil([&] { return manager->getTimerCount() == 0 && !manager->isActive(); }));
        EXPECT_FALSE(oneShot.isStarted());
    }
    EXPECT_EQ(2, calls.count());
}

TEST(OxTimer, aStopFromTheListenerEndsARepeatingTimer) {
    Calls calls([&](OxTimer* timer) {
        if (calls.count() == 2)
            timer->stop();
    });
    OxTimer timer(&calls, 10, 1, "stopped");
    timer.start();
    ASSERT_TRUE(calls.waitForCount(2));
    sleepMillis(100);
    EXPECT_FALSE(timer.isStarted());
    EXPECT_EQ(2, calls.count());
}

// The listener runs without the timer code's locks: while it is held up, start() on another
// thread returns at once, for another timer as for its own, and that restart brings one
// more call after the running one.
TEST(OxTimer, startWhileAListenerRunsNeitherWaitsForItNorIsLost) {
    std::mutex ownersLock;
    std::atomic<bool> inListener{false}, startsReturned{false};
    Calls blocked([&](OxTimer*) {
        if (!inListener.exchange(true)) {
            std::lock_guard<std::mutex> hold(ownersLock); // until the test lets go of it
        }
    });
    Calls other;
    OxTimer first(&blocked, 20, 0, "first"), second(&other, 10, 0, "second");
    ownersLock.lock();
    first.start();
    ASSERT_TRUE(waitUntil([&] { return inListener.load(); }));
    std::thread starter([&] {
        second.start();
        first.start();
        startsReturned = true;
    });
    EXPECT_TRUE(waitUntil([&] { return startsReturned.load(); }, 5000));
    ownersLock.unlock();
    starter.join();
    EXPECT_TRUE(other.waitForCount(1));
    EXPECT_TRUE(blocked.waitForCount(2));
}

// Deleting a timer waits for its listener running on the timer thread, and may be done by
// that listener itself.
TEST(OxTimer, deletionWaitsForARunningListenerAndMayComeFromIt) {
    std::atomic<bool> entered{false}, left{false};
    Calls slow([&](OxTimer*) {
        entered = true;
        sleepMillis(300);
        left = true;
    });
    auto* timer = new OxTimer(&slow, 10, 1, "waited for");
    timer->start();
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
    delete timer;
    EXPECT_TRUE(left);

    Calls deleting([](OxTimer* self) { delete self; });
    (new OxTimer(&deleting, 10, 1, "self-deleting"))->start();
    ASSERT_TRUE(deleting.waitForCount(1));
    Calls survivor;
    OxTimer other(&survivor, 10, 0, "survivor");
    other.start();
    EXPECT_TRUE(survivor.waitForCount(1));
    EXPECT_EQ(1, deleting.count());
}

TEST(OxTimerManager, shutdownStopsTimersAndALaterStartBuildsANewManager) {
    Calls calls;
    OxTimer timer(&calls, 10, 1, "across shutdown");
    timer.start();
    ASSERT_TRUE(calls.waitForCount(1));
    Lk::OrvoSystem::shutdown();
    EXPECT_FALSE(timer.isStarted());
    const int seen = calls.count();
    sleepMillis(100);
    EXPECT_EQ(seen, calls.count());

    timer.start();
    EXPECT_TRUE(calls.waitForCount(seen + 1));
    timer.stop();
    Lk::OrvoSystem::shutdown();
}
