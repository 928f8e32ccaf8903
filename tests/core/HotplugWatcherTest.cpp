#include "core/hotplugwatcher/HotplugWatcher.h"
#include "platform/OrvoSystem.h"
#include "platform/OxTime.h"
#include "tests/core/support/FakeHotplugSource.h"
#include "tests/support/ShutdownAtEnd.h"
#include "tests/platform/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

// ThreadSanitizer gives threads a larger stack than they ask for.
#if defined(__SANITIZE_THREAD__)
#define THREAD_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define THREAD_SANITIZER 1
#endif
#endif

using Lk::getMilliTime;
using Lk::HotplugWatcher;
using Lk::sleepMillis;
using Type = HotplugWatcher::Type;
using Delivery = FakeHotplugSource::Delivery;

namespace {

const unsigned kNotifyDelayMs = HotplugWatcher::NOTIFY_DELAY_MS;
const unsigned kRepeatDelayMs = HotplugWatcher::REPEAT_DELAY_MS;
const unsigned kPollingIntervalMs = HotplugWatcher::POLLING_INTERVAL_MS;
const unsigned kSlowDeadlineMs = 30000;

struct Call {
    bool occurred; // hotplugOccurred, else hotplugPolling
    Type types;
    unsigned time;
    int devices; // what the source reported at the call
};

// The order of calls across several listeners, as "name:types".
class CallOrder {
public:
    void add(const std::string& entry) {
        std::lock_guard<std::mutex> hold(mutex);
        entries.push_back(entry);
    }
    std::vector<std::string> get() {
        std::lock_guard<std::mutex> hold(mutex);
        return entries;
    }

private:
    std::mutex mutex;
    std::vector<std::string> entries;
};

class RecordingListener : public HotplugWatcher::Listener {
public:
    explicit RecordingListener(Type types = HotplugWatcher::htMidi) : types(types) {}

    void hotplugOccurred(Type t) override { record(true, t); }
    void hotplugPolling(Type t) override { record(false, t); }
    Type hotplugGetTypes() override { return types; }

    std::vector<Call> calls(bool occurred) {
        std::lock_guard<std::mutex> hold(mutex);
        std::vector<Call> matching;
        for (const Call& c : recorded)
            if (c.occurred == occurred)
                matching.push_back(c);
        return matching;
    }
    int count(bool occurred) { return static_cast<int>(calls(occurred).size()); }
    int total() { return count(true) + count(false); }

    // Set before registering; run on the timer thread after each call is recorded.
    std::function<void(const Call&)> afterCall;
    FakeHotplugSource* source = nullptr;
    CallOrder* order = nullptr;
    std::string name;

private:
    void record(bool occurred, Type t) {
        const Call c{occurred, t, getMilliTime(), source ? source->deviceCount() : 0};
        {
            std::lock_guard<std::mutex> hold(mutex);
            recorded.push_back(c);
        }
        if (order && occurred)
            order->add(name + ":" + std::to_string(t));
        if (afterCall)
            afterCall(c);
    }

    const Type types;
    std::mutex mutex;
    std::vector<Call> recorded;
};

// A watcher and the fake source it owns.
struct Watched {
    FakeHotplugSource* source = new FakeHotplugSource();
    std::unique_ptr<HotplugWatcher> watcher =
        std::make_unique<HotplugWatcher>(std::unique_ptr<Lk::HotplugSource>(source));
};

int msBetween(unsigned from, unsigned to) {
    return static_cast<int>(to - from);
}

// The most calls that a timer of `delayMs`, restarted by each delivery, can have made: a
// gap of at least the delay between two restarts lets it fire in between. On an idle
// machine the bursts of these tests give 1.
int mostCalls(const std::vector<Delivery>& deliveries, unsigned delayMs) {
    int calls = 1;
    for (size_t i = 1; i < deliveries.size(); ++i)
        if (msBetween(deliveries[i - 1].before, deliveries[i].after) >= static_cast<int>(delayMs))
            ++calls;
    return calls;
}

} // namespace

TEST(HotplugWatcher, listenersAreCalledLastRegisteredFirstWithTheirPendingKinds) {
    HotplugWatcher watcher; // no source: events are injected directly
    CallOrder order;
    RecordingListener midi(HotplugWatcher::htMidi), both(3), none(0), other(2);
    const std::pair<RecordingListener*, const char*> named[] = {
        {&midi, "midi"}, {&both, "both"}, {&none, "none"}, {&other, "other"}};
    for (const auto& [listener, name] : named) {
        listener->order = &order;
        listener->name = name;
        watcher.addListener(listener);
    }
    watcher.addListener(&midi); // stays one entry
    watcher.addListener(nullptr);

    watcher.onHotplugEvent(3);
    ASSERT_TRUE(waitUntil([&] { return order.get().size() >= 3; }));
    watcher.onHotplugEvent(HotplugWatcher::htMidi);
    ASSERT_TRUE(waitUntil([&] { return order.get().size() >= 5; }));
    watcher.onHotplugEvent(HotplugWatcher::htAll);
    ASSERT_TRUE(waitUntil([&] { return order.get().size() >= 8; }));
    sleepMillis(2 * kNotifyDelayMs);
    EXPECT_EQ((std::vector<std::string>{"other:2", "both:-1", "midi:1", "both:1", "midi:1",
                                        "other:-1", "both:-1", "midi:-1"}),
              order.get());
    EXPECT_EQ(0, none.total());
}

TEST(HotplugWatcher, threadRunsWhileAKindIsWatchedAndStopsAtOnceWhenNoneIs) {
    Watched w;
    RecordingListener uninterested(0), first, second;
    w.watcher->addListener(&uninterested);
    sleepMillis(100);
    EXPECT_EQ(0, w.source->openAttempts());

    // Registering returns once the source listens, however slowly it opens.
    w.source->setOpenAction([] { sleepMillis(300); });
    w.watcher->addListener(&first);
    EXPECT_TRUE(w.source->isOpen());
    w.source->setOpenAction(nullptr);
#ifndef THREAD_SANITIZER
    EXPECT_EQ(32768u, w.source->openingThreadStackSize());
#endif
    w.watcher->addListener(&second);
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

TEST(HotplugWatcher, burstOfNotificationsGivesOnePromptAndOneLateCall) {
    Watched w;
    RecordingListener listener;
    w.watcher->addListener(&listener);
    ASSERT_TRUE(waitUntil([&] { return w.source->isOpen(); }));
    for (int i = 0; i < 3; ++i) {
        if (i > 0)
            sleepMillis(50);
        w.source->fire();
    }
    ASSERT_TRUE(waitUntil([&] { return w.source->deliveries().size() == 3; }));
    ASSERT_TRUE(waitUntil([&] { return listener.count(false) >= 1; }, kSlowDeadlineMs));
    sleepMillis(300);

    const std::vector<Delivery> deliveries = w.source->deliveries();
    const std::vector<Call> prompt = listener.calls(true);
    const std::vector<Call> late = listener.calls(false);
    ASSERT_GE(prompt.size(), 1u);
    EXPECT_LE(static_cast<int>(prompt.size()), mostCalls(deliveries, kNotifyDelayMs));
    EXPECT_EQ(1u, late.size());
    EXPECT_GE(msBetween(deliveries.back().before, prompt.back().time), int(kNotifyDelayMs));
    EXPECT_GE(msBetween(deliveries.back().before, late.back().time), int(kRepeatDelayMs));
    EXPECT_EQ(HotplugWatcher::htMidi, prompt.back().types);
    EXPECT_EQ(HotplugWatcher::htMidi, late.back().types);
}

TEST(HotplugWatcher, notificationDuringTheLateDelayGivesAPromptCallAndPostponesTheLateOne) {
    Watched w;
    RecordingListener listener;
    w.watcher->addListener(&listener);
    ASSERT_TRUE(waitUntil([&] { return w.source->isOpen(); }));
    w.source->fire();
    ASSERT_TRUE(waitUntil([&] { return listener.count(true) == 1; }));
    sleepMillis(1800); // halfway through the late delay
    w.source->fire();
    ASSERT_TRUE(waitUntil([&] { return listener.count(false) >= 1; }, kSlowDeadlineMs));
    sleepMillis(300);

    const std::vector<Delivery> deliveries = w.source->deliveries();
    ASSERT_EQ(2u, deliveries.size());
    const std::vector<Call> prompt = listener.calls(true);
    const std::vector<Call> late = listener.calls(false);
    ASSERT_EQ(2u, prompt.size());
    EXPECT_GE(msBetween(deliveries[1].before, prompt[1].time), int(kNotifyDelayMs));
    EXPECT_LE(static_cast<int>(late.size()), mostCalls(deliveries, kRepeatDelayMs));
    EXPECT_GE(msBetween(deliveries[1].before, late.back().time), int(kRepeatDelayMs));
}

TEST(HotplugWatcher, notificationWhileTheLateCallRunsIsNotLost) {
    Watched w;
    RecordingListener listener;
    std::atomic<bool> firedDuringCall{false};
    listener.afterCall = [&](const Call& c) {
        if (c.occurred || firedDuringCall.exchange(true))
            return;
        w.source->fire();
        waitUntil([&] { return w.source->deliveries().size() == 2; });
    };
    w.watcher->addListener(&listener);
    ASSERT_TRUE(waitUntil([&] { return w.source->isOpen(); }));
    w.source->fire();
    ASSERT_TRUE(waitUntil([&] { return listener.count(false) >= 2; }, kSlowDeadlineMs));

    const std::vector<Delivery> deliveries = w.source->deliveries();
    ASSERT_EQ(2u, deliveries.size());
    const std::vector<Call> late = listener.calls(false);
    EXPECT_EQ(HotplugWatcher::htMidi, late[1].types);
    EXPECT_GE(msBetween(deliveries[1].before, late[1].time), int(kRepeatDelayMs));
    EXPECT_EQ(2, listener.count(true));
}

TEST(HotplugWatcher, nothingIsCalledAfterRemovalOrDestructionWithTimersPending) {
    Watched removed, destroyed;
    RecordingListener removedListener, destroyedListener;
    removed.watcher->addListener(&removedListener);
    destroyed.watcher->addListener(&destroyedListener);
    ASSERT_TRUE(waitUntil([&] { return removed.source->isOpen() && destroyed.source->isOpen(); }));
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
    for (const Call& c : removedListener.calls(true))
        EXPECT_LE(msBetween(c.time, removedAt), 0);
    EXPECT_EQ(0, removedListener.count(false));
    for (const Call& c : destroyedListener.calls(true))
        EXPECT_LE(msBetween(c.time, destroyedAt), 0);
    EXPECT_EQ(0, destroyedListener.count(false));
}

TEST(HotplugWatcher, removalWaitsForACallInProgressOnAnotherThread) {
    HotplugWatcher watcher;
    RecordingListener listener;
    std::atomic<bool> entered{false}, left{false};
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
    Watched w;
    RecordingListener listener;
    listener.afterCall = [&](const Call& c) {
        if (c.occurred && listener.count(true) == 1) {
            w.watcher->removeListener(&listener); // stops and joins the watcher's thread
            w.watcher->addListener(&listener);    // and starts a new one
        }
    };
    w.watcher->addListener(&listener);
    ASSERT_TRUE(waitUntil([&] { return w.source->isOpen(); }));
    w.source->fire();
    ASSERT_TRUE(waitUntil([&] { return w.source->openAttempts() == 2 && w.source->isOpen(); }));
    w.source->fire();
    EXPECT_TRUE(waitUntil([&] { return listener.count(true) == 2; }));
}

TEST(HotplugWatcher, pollsEveryTenSecondsWithoutNotifications) {
    Watched refused;
    refused.source->failOpen();
    HotplugWatcher withoutSource;
    RecordingListener refusedListener, withoutSourceListener;
    refusedListener.source = refused.source;
    testing::internal::CaptureStderr();
    const unsigned start = getMilliTime();
    refused.watcher->addListener(&refusedListener);
    withoutSource.addListener(&withoutSourceListener);
    ASSERT_EQ(1, refused.source->openAttempts());
    refused.source->setDeviceCount(1); // plugged, with no notification

    ASSERT_TRUE(waitUntil(
        [&] { return refusedListener.total() >= 1 && withoutSourceListener.total() >= 1; },
        kSlowDeadlineMs));
    EXPECT_NE(std::string::npos,
              testing::internal::GetCapturedStderr().find(
                  "ERROR: HotplugWatcher: cannot register for MIDI device notifications."));
    const std::vector<Call> polled = refusedListener.calls(false);
    ASSERT_EQ(1u, polled.size());
    EXPECT_EQ(HotplugWatcher::htMidi, polled[0].types);
    EXPECT_EQ(1, polled[0].devices);
    EXPECT_GE(msBetween(start, polled[0].time), int(kPollingIntervalMs));
    const std::vector<Call> polledWithoutSource = withoutSourceListener.calls(false);
    ASSERT_EQ(1u, polledWithoutSource.size());
    EXPECT_GE(msBetween(start, polledWithoutSource[0].time), int(kPollingIntervalMs));
}

TEST(HotplugWatcher, removingTheLastPolledListenerStopsPolling) {
    Watched refused;
    refused.source->failOpen();
    RecordingListener listener;
    testing::internal::CaptureStderr();
    refused.watcher->addListener(&listener);
    ASSERT_TRUE(waitUntil([&] { return refused.source->openAttempts() == 1; }));
    sleepMillis(100); // lets the thread switch to polling
    refused.watcher->removeListener(&listener);
    testing::internal::GetCapturedStderr();
    sleepMillis(kPollingIntervalMs + 2000);
    EXPECT_EQ(0, listener.total());
}

namespace {
FakeHotplugSource* installedSource = nullptr;
std::unique_ptr<Lk::HotplugSource> createFakeSource() {
    installedSource = new FakeHotplugSource();
    return std::unique_ptr<Lk::HotplugSource>(installedSource);
}
} // namespace

TEST(HotplugWatcher, singletonRunsTheInstalledSourceUntilShutdown) {
    HotplugWatcher::setSourceFactory(&createFakeSource);
    EXPECT_FALSE(HotplugWatcher::isInstanceAllocated());
    HotplugWatcher* watcher = HotplugWatcher::instance();
    EXPECT_EQ(watcher, HotplugWatcher::instance());
    EXPECT_TRUE(HotplugWatcher::isInstanceAllocated());
    RecordingListener listener;
    watcher->addListener(&listener);
    ASSERT_TRUE(waitUntil([&] { return installedSource->isOpen(); }));

    Lk::OrvoSystem::shutdown(); // stops the thread and deletes the watcher
    EXPECT_FALSE(HotplugWatcher::isInstanceAllocated());

    testing::internal::CaptureStderr();
    EXPECT_NE(nullptr, HotplugWatcher::instance());
    EXPECT_NE(std::string::npos, testing::internal::GetCapturedStderr().find(
                                     "ERROR: Cannot re-instantiate HotplugWatcher!"));
    Lk::OrvoSystem::shutdown();
    HotplugWatcher::setSourceFactory(nullptr);
}
