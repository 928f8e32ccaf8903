#include "core/hotplugwatcher/HotplugWatcher.h"
#include "platform/OrvoSystem.h"
#include "platform/OxTime.h"
#include "tests/core/support/FakeHotplugSource.h"
#include "tests/support/Recorder.h"
#include "tests/support/ShutdownAtEnd.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

using dokatest::waitUntil;
using namespace Lk;
using Type = HotplugWatcher::Type;
using Delivery = FakeHotplugSource::Delivery;

namespace {

const int kNotifyDelayMs = HotplugWatcher::NOTIFY_DELAY_MS;
const int kRepeatDelayMs = HotplugWatcher::REPEAT_DELAY_MS;
const unsigned kSlowDeadlineMs = 30000;

struct Call {
    bool occurred; // hotplugOccurred, else hotplugPolling
    Type types;
    unsigned time;
};

// Keeps the prompt calls (hotplugOccurred) apart from the late and polling ones.
class RecordingListener : public HotplugWatcher::Listener {
public:
    explicit RecordingListener(Type types = HotplugWatcher::htMidi) : types(types) {}

    void hotplugOccurred(Type t) override { record(occurred, true, t); }
    void hotplugPolling(Type t) override { record(polling, false, t); }
    Type hotplugGetTypes() override { return types; }
    size_t total() const { return occurred.size() + polling.size(); }

    dokatest::Recorder<Call> occurred, polling;
    // Set before registering; run on the timer thread after each call is recorded.
    std::function<void(const Call&)> afterCall;

private:
    void record(dokatest::Recorder<Call>& calls, bool prompt, Type t) {
        const Call c{prompt, t, getMilliTime()};
        calls.add(c);
        if (afterCall)
            afterCall(c);
    }

    const Type types;
};

// A watcher and the fake source it owns. Declared after its listeners, it is destroyed
// first, and that waits for a call in progress.
struct Watched {
    FakeHotplugSource* source = new FakeHotplugSource();
    std::unique_ptr<HotplugWatcher> watcher =
        std::make_unique<HotplugWatcher>(std::unique_ptr<Lk::HotplugSource>(source));

    // Registering returns once the source listens.
    bool listen(RecordingListener& listener) {
        watcher->addListener(&listener);
        return source->isOpen();
    }
};

int msBetween(unsigned from, unsigned to) {
    return static_cast<int>(to - from);
}

// The most calls that a timer of `delayMs`, restarted by each delivery, can have made: 1,
// and one more for each gap of at least the delay between two restarts.
int mostCalls(const std::vector<Delivery>& deliveries, int delayMs) {
    int calls = 1;
    for (size_t i = 1; i < deliveries.size(); ++i)
        if (msBetween(deliveries[i - 1].before, deliveries[i].after) >= delayMs)
            ++calls;
    return calls;
}

} // namespace

TEST(HotplugWatcher, listenersAreCalledLastRegisteredFirstWithTheirPendingKinds) {
    dokatest::Recorder<std::string> order;
    RecordingListener midi(HotplugWatcher::htMidi), both(3), none(0), other(2);
    HotplugWatcher watcher; // no source: events are injected directly
    const std::pair<RecordingListener*, const char*> named[] = {
        {&midi, "midi"}, {&both, "both"}, {&none, "none"}, {&other, "other"}};
    for (const auto& [listener, name] : named) {
        listener->afterCall = [&order, name = std::string(name)](const Call& c) {
            if (c.occurred)
                order.add(name + ":" + std::to_string(c.types));
        };
        watcher.addListener(listener);
    }
    watcher.addListener(&midi); // stays one entry
    watcher.addListener(nullptr);

    watcher.onHotplugEvent(3);
    ASSERT_TRUE(order.waitForCount(3));
    watcher.onHotplugEvent(HotplugWatcher::htMidi);
    ASSERT_TRUE(order.waitForCount(5));
    watcher.onHotplugEvent(HotplugWatcher::htAll);
    ASSERT_TRUE(order.waitForCount(8));
    sleepMillis(2 * kNotifyDelayMs);
    EXPECT_EQ((std::vector<std::string>{"other:2", "both:-1", "midi:1", "both:1", "midi:1",
                                        "other:-1", "both:-1", "midi:-1"}),
              order.snapshot());
    EXPECT_EQ(0u, none.total());
}

TEST(HotplugWatcher, threadRunsWhileAKindIsWatchedAndStopsAtOnceWhenNoneIs) {
    RecordingListener uninterested(0), first, second;
    Watched w;
    w.watcher->addListener(&uninterested);
    sleepMillis(100);
    EXPECT_EQ(0, w.source->openAttempts());

    w.source->setOpenAction([] { sleepMillis(300); }); // however slowly the source opens
    EXPECT_TRUE(w.listen(first));
    w.source->setOpenAction(nullptr);
    EXPECT_TRUE(w.listen(second));
    w.watcher->removeListener(&first);
    EXPECT_TRUE(w.source->isOpen());
    EXPECT_EQ(1, w.source->openAttempts());
    w.watcher->removeListener(&second);
    EXPECT_FALSE(w.source->isOpen()); // closed and joined before the removal returned

    // A stop that comes before the thread waits, or even before it opened, is not lost.
    for (int i = 0; i < 50; ++i) {
        w.watcher->addListener(&first);
        w.watcher->removeListener(&first);
        ASSERT_FALSE(w.source->isOpen());
    }
    EXPECT_EQ(51, w.source->openAttempts());
}

// A burst of notifications gives one prompt call after its last notification; one during
// the late delay gives another and moves the late call to after itself.
TEST(HotplugWatcher, eachBurstGivesOnePromptCallAndTheLateCallFollowsTheLastNotification) {
    RecordingListener listener;
    Watched w;
    ASSERT_TRUE(w.listen(listener));
    for (int i = 0; i < 3; ++i) {
        sleepMillis(50);
        w.source->fire();
    }
    ASSERT_TRUE(listener.occurred.waitForCount(1));
    sleepMillis(1800); // halfway through the late delay
    w.source->fire();
    ASSERT_TRUE(listener.polling.waitForCount(1, kSlowDeadlineMs));
    sleepMillis(300);

    const std::vector<Delivery> d = w.source->deliveries();
    ASSERT_EQ(4u, d.size());
    const std::vector<Call> prompt = listener.occurred.snapshot();
    const std::vector<Call> late = listener.polling.snapshot();
    ASSERT_GE(prompt.size(), 2u);
    const std::vector<Delivery> burst(d.begin(), d.begin() + 3);
    EXPECT_LE(static_cast<int>(prompt.size()), mostCalls(burst, kNotifyDelayMs) + 1);
    EXPECT_GE(msBetween(d[2].before, prompt[prompt.size() - 2].time), kNotifyDelayMs);
    EXPECT_GE(msBetween(d[3].before, prompt.back().time), kNotifyDelayMs);
    EXPECT_LE(static_cast<int>(late.size()), mostCalls(d, kRepeatDelayMs));
    EXPECT_GE(msBetween(d[3].before, late.back().time), kRepeatDelayMs);
    EXPECT_EQ(HotplugWatcher::htMidi, prompt.back().types);
    EXPECT_EQ(HotplugWatcher::htMidi, late.back().types);
}

TEST(HotplugWatcher, notificationWhileTheLateCallRunsIsNotLost) {
    std::atomic<bool> firedDuringCall{false};
    RecordingListener listener;
    Watched w;
    listener.afterCall = [&](const Call& c) {
        if (c.occurred || firedDuringCall.exchange(true))
            return;
        w.source->fire();
        waitUntil([&] { return w.source->deliveries().size() == 2; });
    };
    ASSERT_TRUE(w.listen(listener));
    w.source->fire();
    ASSERT_TRUE(listener.polling.waitForCount(2, kSlowDeadlineMs));

    const std::vector<Delivery> deliveries = w.source->deliveries();
    ASSERT_EQ(2u, deliveries.size());
    const std::vector<Call> late = listener.polling.snapshot();
    EXPECT_EQ(HotplugWatcher::htMidi, late[1].types);
    EXPECT_GE(msBetween(deliveries[1].before, late[1].time), kRepeatDelayMs);
    EXPECT_EQ(2u, listener.occurred.size());
}

TEST(HotplugWatcher, nothingIsCalledAfterRemovalOrDestructionWithTimersPending) {
    RecordingListener removedListener, destroyedListener;
    Watched removed, destroyed;
    ASSERT_TRUE(removed.listen(removedListener));
    ASSERT_TRUE(destroyed.listen(destroyedListener));
    removed.source->fire();
    destroyed.source->fire();
    ASSERT_TRUE(waitUntil([&] {
        return removed.source->deliveries().size() == 1 &&
               destroyed.source->deliveries().size() == 1;
    }));
    removed.watcher->removeListener(&removedListener);
    const unsigned removedAt = getMilliTime();
    destroyed.watcher.reset();
    const unsigned destroyedAt = getMilliTime();

    sleepMillis(kRepeatDelayMs + 1000);
    // Calls made before the removal returned are fine; later ones are not.
    for (const auto& [listener, endedAt] : {std::make_pair(&removedListener, removedAt),
                                            std::make_pair(&destroyedListener, destroyedAt)}) {
        for (const Call& c : listener->occurred.snapshot())
            EXPECT_LE(msBetween(c.time, endedAt), 0);
        EXPECT_EQ(0u, listener->polling.size());
    }
}

TEST(HotplugWatcher, removalWaitsForACallInProgressOnAnotherThread) {
    std::atomic<bool> entered{false}, left{false};
    RecordingListener listener;
    HotplugWatcher watcher;
    listener.afterCall = [&](const Call&) {
        entered = true;
        sleepMillis(300);
        left = true;
    };
    watcher.addListener(&listener);
    watcher.onHotplugEvent(HotplugWatcher::htMidi);
    ASSERT_TRUE(waitUntil([&] { return entered.load(); }));
    watcher.removeListener(&listener);
    EXPECT_TRUE(left);
}

TEST(HotplugWatcher, listenerMayStopAndRestartWatchingFromItsOwnCall) {
    RecordingListener listener;
    Watched w;
    listener.afterCall = [&](const Call& c) {
        if (c.occurred && listener.occurred.size() == 1) {
            w.watcher->removeListener(&listener); // stops and joins the watcher's thread
            w.watcher->addListener(&listener);    // and starts a new one
        }
    };
    ASSERT_TRUE(w.listen(listener));
    w.source->fire();
    ASSERT_TRUE(waitUntil([&] { return w.source->openAttempts() == 2 && w.source->isOpen(); }));
    w.source->fire();
    EXPECT_TRUE(listener.occurred.waitForCount(2));
}

// Kinds that no notification reports are polled; removing the last listener of a polled
// kind stops the polling.
TEST(HotplugWatcher, pollsEveryTenSecondsWithoutNotificationsUntilTheLastListenerGoes) {
    RecordingListener refusedListener, withoutSourceListener, stoppedListener;
    Watched refused, stopped;
    refused.source->failOpen();
    stopped.source->failOpen();
    HotplugWatcher withoutSource;
    testing::internal::CaptureStderr();
    const unsigned start = getMilliTime();
    refused.watcher->addListener(&refusedListener);
    withoutSource.addListener(&withoutSourceListener);
    stopped.watcher->addListener(&stoppedListener);
    ASSERT_EQ(1, refused.source->openAttempts());
    sleepMillis(100); // lets the thread switch to polling
    stopped.watcher->removeListener(&stoppedListener);

    ASSERT_TRUE(refusedListener.polling.waitForCount(1, kSlowDeadlineMs));
    ASSERT_TRUE(withoutSourceListener.polling.waitForCount(1, kSlowDeadlineMs));
    EXPECT_NE("", testing::internal::GetCapturedStderr()); // the refusal is reported
    for (RecordingListener* listener : {&refusedListener, &withoutSourceListener}) {
        const std::vector<Call> polled = listener->polling.snapshot();
        ASSERT_EQ(1u, polled.size());
        EXPECT_EQ(HotplugWatcher::htMidi, polled[0].types);
        EXPECT_GE(msBetween(start, polled[0].time), HotplugWatcher::POLLING_INTERVAL_MS);
    }
    sleepMillis(2000);
    EXPECT_EQ(0u, stoppedListener.total());
}

// That the instance runs the installed source, and the shutdown with its thread running,
// are guarded by the MIDI manager's tests.
TEST(HotplugWatcher, singletonIsDeletedByTheShutdownAndReportsBeingMadeAgain) {
    EXPECT_FALSE(HotplugWatcher::isInstanceAllocated());
    HotplugWatcher* watcher = HotplugWatcher::instance();
    EXPECT_EQ(watcher, HotplugWatcher::instance());
    EXPECT_TRUE(HotplugWatcher::isInstanceAllocated());
    Lk::OrvoSystem::shutdown();
    EXPECT_FALSE(HotplugWatcher::isInstanceAllocated());
    testing::internal::CaptureStderr();
    EXPECT_NE(nullptr, HotplugWatcher::instance());
    EXPECT_NE("", testing::internal::GetCapturedStderr()); // a second instance is reported
    Lk::OrvoSystem::shutdown();
}
