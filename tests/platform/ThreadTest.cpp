#include "platform/OxEvent.h"
#include "platform/OxLock.h"
#include "platform/OxThread.h"
#include "platform/OxTime.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <pthread.h>

#include <atomic>
#include <functional>
#include <thread>

using dokatest::waitUntil;
using namespace Lk;

namespace {

// Runs the body given to it as its Execute().
class BodyThread : public OxThread {
public:
    explicit BodyThread(std::function<void(BodyThread&)> body)
        : OxThread(0, "test"), body(std::move(body)) {}
    ~BodyThread() override {
        Kill();
        join();
    }
    void Execute() override { body(*this); }
    Lk::OxEvent& event() { return getEvent(); }

private:
    std::function<void(BodyThread&)> body;
};

} // namespace

TEST(OxLock, nestedEntersNeedAsManyLeavesBeforeAnotherThreadGetsIn) {
    Lk::OxLock lock;
    std::atomic<bool> otherIn{false};
    lock.Enter();
    lock.Enter();
    std::thread other([&] {
        lock.Leave(); // not the holder: ignored
        lock.Enter();
        otherIn = true;
        lock.Leave();
    });
    lock.Leave();
    sleepMillis(50);
    EXPECT_FALSE(otherIn);
    lock.Leave();
    other.join();
    EXPECT_TRUE(otherIn);
}

TEST(OxEvent, notificationWaitsForTheNextWaitAndIsConsumedByIt) {
    Lk::OxEvent event;
    event.Notify();
    EXPECT_TRUE(event.WaitMs(10000));
    const unsigned start = getMilliTime();
    EXPECT_FALSE(event.WaitMs(50));
    EXPECT_GE(getMilliTime() - start, 49u);

    std::atomic<int> woken{0};
    std::thread first([&] { woken += event.WaitMs(0) ? 1 : 0; });
    std::thread second([&] { woken += event.WaitMs(0) ? 1 : 0; });
    // Both wait before the notification; a late waiter would be woken by the kept one.
    sleepMillis(50);
    event.Notify();
    first.join();
    second.join();
    EXPECT_EQ(2, woken.load());
}

// On its own thread Start() refuses and Kill() only requests the stop.
TEST(OxThread, killStopsACooperativeThreadAndItCanBeStartedAgain) {
    BodyThread never([](BodyThread&) {});
    EXPECT_TRUE(never.Kill());

    std::atomic<int> runs{0};
    std::atomic<bool> killItself{false}, insideRight{true};
    char systemName[16] = {};
    BodyThread thread([&](BodyThread& self) {
        ::pthread_getname_np(::pthread_self(), systemName, sizeof(systemName));
        insideRight = insideRight && self.isCurrentThread() && !self.Start();
        if (killItself)
            insideRight = insideRight && self.Kill();
        ++runs;
        // Waits without a time limit: a stop request sent before the wait must still end it.
        while (!self.isTerminated())
            self.event().WaitMs(0);
    });
    for (int round = 1; round <= 2; ++round) {
        ASSERT_TRUE(thread.Start());
        EXPECT_TRUE(thread.isActive());
        EXPECT_FALSE(thread.Start()); // already running
        ASSERT_TRUE(waitUntil([&] { return runs == round; }));
        EXPECT_TRUE(thread.Kill());
        EXPECT_FALSE(thread.isActive());
        EXPECT_TRUE(thread.isTerminated());
        EXPECT_FALSE(thread.isInThreadMethod());
        EXPECT_STREQ("test", systemName) << "the system sees the thread under its name";
    }
    killItself = true;
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(waitUntil([&] { return !thread.isActive(); }));
    EXPECT_TRUE(insideRight);
    EXPECT_FALSE(thread.isCurrentThread());
    EXPECT_TRUE(thread.isTerminated());
}

// The second run also gets a stop requested long before its waitFor(): that wait still
// lasts about 100 ms.
TEST(OxThread, killCancelsAThreadThatIgnoresTheStopAfterAboutTwoSeconds) {
    std::atomic<bool> obey{false};
    std::atomic<int> runs{0};
    BodyThread thread([&](BodyThread& self) {
        ++runs;
        do
            self.event().WaitMs(0);
        while (!obey || !self.isTerminated());
    });
    ASSERT_TRUE(thread.Start());
    unsigned start = getMilliTime();
    EXPECT_FALSE(thread.Kill());
    EXPECT_GE(getMilliTime() - start, 1900u);
    EXPECT_FALSE(thread.isActive());
    // The thread was cancelled inside its wait: it still did its end bookkeeping, and the
    // event it waited on is usable by the next run.
    EXPECT_TRUE(waitUntil([&] { return !thread.isInThreadMethod(); }));
    ASSERT_TRUE(thread.Start());
    ASSERT_TRUE(waitUntil([&] { return runs == 2; }));
    thread.Terminate();
    sleepMillis(2200);
    start = getMilliTime();
    EXPECT_FALSE(thread.waitFor());
    EXPECT_GE(getMilliTime() - start, 80u);
    obey = true;
    EXPECT_TRUE(thread.Kill());
}
