#include "platform/OrvoSystem.h"
#include "platform/OxTime.h"
#include "platform/OxTimer.h"
#include "tests/support/ShutdownAtEnd.h"
#include "tests/platform/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

using Lk::getMilliTime;
using Lk::OxTimer;
using Lk::OxTimerManager;
using Lk::sleepMillis;

namespace {

// Records the clock at every call, then runs an optional action.
class Recorder : public OxTimer::Listener {
public:
    explicit Recorder(std::function<void(OxTimer*)> action = nullptr) : action(std::move(action)) {}
    void onTimer(OxTimer* timer) override {
        {
            std::lock_guard<std::mutex> hold(mutex);
            times.push_back(getMilliTime());
        }
        if (action)
            action(timer);
    }
    int count() {
        std::lock_guard<std::mutex> hold(mutex);
        return static_cast<int>(times.size());
    }
    unsigned timeOfCall(int i) {
        std::lock_guard<std::mutex> hold(mutex);
        return times[i];
    }

private:
    std::function<void(OxTimer*)> action;
    std::mutex mutex;
    std::vector<unsigned> times;
};

class SignallingTimer : public OxTimer {
public:
    SignallingTimer(Listener* listener, std::atomic<bool>& deleted)
        : OxTimer(listener, 20, 0, "signalling", 1), deleted(deleted) {}
    ~SignallingTimer() override { deleted = true; }

private:
    std::atomic<bool>& deleted;
};

const int kFarAway = 100000000; // an interval that never comes due during a test

} // namespace

// work() is driven with chosen times here; the timer is started with a far due time only
// so that it counts as armed.
TEST(OxTimer, missedPeriodsAreMadeUpOneCallEachOnTheirGridAlsoAcrossTheWrap) {
    Recorder recorder;
    OxTimer timer(&recorder, kFarAway, 1, "grid");
    timer.start();
    timer.setInterval(100);
    const unsigned t = 1000;
    EXPECT_EQ(t + 500, timer.work(t + 450, t + 100));
    EXPECT_EQ(4, recorder.count());
    EXPECT_EQ(t + 500, timer.work(t + 499, t + 500));
    EXPECT_EQ(4, recorder.count());

    EXPECT_EQ(0x10u, timer.work(0xFFFFFFF0u, 0x10u)); // not due yet, though larger unsigned
    EXPECT_EQ(4, recorder.count());
    // -100, then 0 (which means "none", so 1), then 101 are due at 150.
    EXPECT_EQ(201u, timer.work(150, 0xFFFFFF9Cu));
    EXPECT_EQ(7, recorder.count());
}

TEST(OxTimer, repeatingTimerStopsAfterTheCallThatStopsIt) {
    int calls = 0; // timer thread only
    Recorder recorder([&calls](OxTimer* timer) {
        if (++calls == 3)
            timer->stop();
    });
    OxTimer timer(&recorder, 30, 1, "repeating");
    const unsigned start = getMilliTime();
    timer.start();
    ASSERT_TRUE(waitUntil([&] { return recorder.count() == 3; }));
    sleepMillis(200);
    EXPECT_EQ(3, recorder.count());
    EXPECT_FALSE(timer.isStarted());
    for (int i = 0; i < 3; ++i)
        EXPECT_GE(recorder.timeOfCall(i) - start, 30u * (i + 1) - 1);
}

TEST(OxTimer, oneShotIsCalledOnceThenRemovedAndAutoDeleteDeletesIt) {
    Recorder recorder;
    OxTimer oneShot(&recorder, 20, 0, "one-shot");
    oneShot.start();
    ASSERT_TRUE(waitUntil([&] { return recorder.count() == 1; }));
    EXPECT_TRUE(waitUntil([] { return OxTimerManager::instance()->getTimerCount() == 0; }));
    sleepMillis(100);
    EXPECT_EQ(1, recorder.count());
    EXPECT_FALSE(oneShot.isStarted());

    Recorder autoRecorder;
    std::atomic<bool> deleted{false};
    (new SignallingTimer(&autoRecorder, deleted))->start();
    EXPECT_TRUE(waitUntil([&] { return deleted.load(); }));
    EXPECT_EQ(1, autoRecorder.count());
}

TEST(OxTimer, initialDelayZeroCallsAtOnceAndMinusOneWaitsTheInterval) {
    Recorder soon;
    OxTimer immediate(&soon, kFarAway, 0, "immediate");
    immediate.setInitialDelay(0);
    immediate.start();
    EXPECT_TRUE(waitUntil([&] { return soon.count() == 1; }));

    Recorder later;
    OxTimer byInterval(&later, 300, 0, "by interval");
    byInterval.setInitialDelay(-1);
    const unsigned start = getMilliTime();
    byInterval.start();
    ASSERT_TRUE(waitUntil([&] { return later.count() == 1; }));
    EXPECT_GE(later.timeOfCall(0) - start, 299u);

    EXPECT_EQ(1, OxTimer(nullptr, 0, 1).getInterval());
}

TEST(OxTimer, startingAStartedTimerMovesItsDueTimeAndListsItOnce) {
    Recorder recorder;
    OxTimer timer(&recorder, 400, 1, "moved");
    timer.start();
    sleepMillis(200);
    const unsigned restart = getMilliTime();
    timer.start();
    EXPECT_EQ(1, OxTimerManager::instance()->getTimerCount());
    ASSERT_TRUE(waitUntil([&] { return recorder.count() >= 1; }));
    EXPECT_GE(recorder.timeOfCall(0) - restart, 399u);
    timer.stop();
}

TEST(OxTimer, restartFromAnotherThreadWhileTheListenerRunsIsNotLost) {
    std::atomic<bool> inListener{false};
    std::atomic<bool> restarted{false};
    Recorder recorder([&](OxTimer*) {
        if (inListener.exchange(true))
            return;
        waitUntil([&] { return restarted.load(); });
    });
    OxTimer timer(&recorder, 20, 0, "restarted");
    timer.start();
    ASSERT_TRUE(waitUntil([&] { return inListener.load(); }));
    timer.start();
    restarted = true;
    EXPECT_TRUE(waitUntil([&] { return recorder.count() == 2; }));
}

// The listener runs without the timer code's locks: a thread that holds a lock the
// listener waits for can still start a timer.
TEST(OxTimer, startDoesNotWaitForARunningListener) {
    std::mutex ownersLock;
    std::atomic<bool> inListener{false};
    Recorder blocked([&](OxTimer*) {
        inListener = true;
        std::lock_guard<std::mutex> hold(ownersLock);
    });
    Recorder other;
    OxTimer first(&blocked, 10, 0, "first");
    OxTimer second(&other, 10, 0, "second");
    ownersLock.lock();
    first.start();
    ASSERT_TRUE(waitUntil([&] { return inListener.load(); }));
    std::atomic<bool> startReturned{false};
    std::thread starter([&] {
        second.start();
        startReturned = true;
    });
    EXPECT_TRUE(waitUntil([&] { return startReturned.load(); }, 5000));
    ownersLock.unlock();
    starter.join();
    EXPECT_TRUE(waitUntil([&] { return other.count() == 1; }));
}

TEST(OxTimerManager, threadEndsWhenNoTimerIsArmedAndStartsAgain) {
    Recorder recorder;
    OxTimer timer(&recorder, 10, 0, "idle");
    for (int round = 1; round <= 2; ++round) {
        timer.start();
        EXPECT_TRUE(OxTimerManager::instance()->isActive());
        ASSERT_TRUE(waitUntil([&] { return recorder.count() == round; }));
        EXPECT_TRUE(waitUntil([] { return !OxTimerManager::instance()->isActive(); }));
    }
}

TEST(OxTimer, destructorWaitsForItsRunningListener) {
    std::atomic<bool> entered{false};
    std::atomic<bool> left{false};
    Recorder recorder([&](OxTimer*) {
        entered = true;
        sleepMillis(300);
        left = true;
    });
    auto* timer = new OxTimer(&recorder, 10, 1, "waited for");
    timer->start();
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
    delete timer;
    EXPECT_TRUE(left);
}

TEST(OxTimer, listenerMayDeleteItsOwnTimer) {
    OxTimer* doomed = nullptr;
    Recorder deleting([&doomed](OxTimer* timer) {
        if (timer == doomed) {
            doomed = nullptr;
            delete timer;
        }
    });
    doomed = new OxTimer(&deleting, 10, 1, "self-deleting");
    doomed->start();
    ASSERT_TRUE(waitUntil([&] { return deleting.count() == 1; }));
    Recorder survivor;
    OxTimer other(&survivor, 10, 0, "survivor");
    other.start();
    EXPECT_TRUE(waitUntil([&] { return survivor.count() == 1; }));
    EXPECT_EQ(1, deleting.count());
}

TEST(OxTimerManager, shutdownStopsTimersAndALaterStartBuildsANewManager) {
    Recorder recorder;
    OxTimer timer(&recorder, 10, 1, "across shutdown");
    timer.start();
    ASSERT_TRUE(waitUntil([&] { return recorder.count() >= 1; }));
    Lk::OrvoSystem::shutdown();
    EXPECT_FALSE(timer.isStarted());
    const int calls = recorder.count();
    sleepMillis(100);
    EXPECT_EQ(calls, recorder.count());

    timer.start();
    EXPECT_TRUE(waitUntil([&] { return recorder.count() > calls; }));
    timer.stop();
    Lk::OrvoSystem::shutdown();
}
