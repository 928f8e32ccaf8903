#pragma once

#include "platform/OxEvent.h"
#include "platform/OxLock.h"
#include "platform/OxString.h"

#include <atomic>
#include <pthread.h>

namespace Lk {

enum OxThreadPrio {
    PRIO_NORMAL = 0,
    PRIO_HIGH = 1,
    PRIO_HIGHEST = 2,
    PRIO_LOW = 3,
    PRIO_LOWEST = 4,
};

// A worker thread with a cooperative stop: Terminate() sets a flag and wakes the thread,
// Kill() waits a bounded time for it to end and cancels it only as the last resort.
// Every thread is joined, so the object is never freed while its thread can still run.
class OxThread {
public:
    // startNow starts the thread from this constructor, when Execute() is still the
    // base's: classes that override Execute() pass 0 and call Start() themselves.
    OxThread(int startNow, const OxString& name);
    OxThread(const OxThread&) = delete;
    OxThread& operator=(const OxThread&) = delete;
    // Stops the thread (see Kill) and waits for it to end, without a time limit.
    // Subclasses stop their thread in their own destructor, while their members live.
    virtual ~OxThread();

    // Asks the thread to stop: sets the flag (the time of the first request is kept for
    // waitFor) and notifies it.
    virtual void Terminate();
    virtual void Notify();
    // The thread body; loops until isTerminated() and sleeps on getEvent().
    virtual void Execute() {}

    // Starts an idle thread, or restarts one whose thread is ending after it has ended.
    // False when the thread could not be created, is already running, or when called
    // on the object's own thread.
    bool Start();
    // Asks the thread to stop (Terminate) and waits, without a time limit, until it has
    // ended. On the thread itself it only asks.
    void stop();
    // Stops the thread: true when it ended within about 2 s (or did not run). Otherwise
    // it is cancelled at its next cancellation point, counts as not active and false is
    // returned. On the thread itself it only requests the stop.
    bool Kill();
    // Waits until the thread has ended, at most 2 s after the stop request (and still
    // about 100 ms when that request is older). True when it has ended.
    bool waitFor();
    // Cancels the thread (it ends at its next cancellation point) and marks it not active.
    void Cancel();

    bool isActive() const { return active.load() != 0; }
    bool isTerminated() const { return terminated.load() != 0; }
    bool isInThreadMethod() const { return inThreadMethod.load() > 0; }
    bool isCurrentThread() const;
    // The calling thread's handle, as an opaque value for diagnostics.
    static void* getCurrentThreadID();

    const OxString& getName() const { return name; }
    // Used by the next Start().
    void SetPriority(OxThreadPrio p) { priority = p; }
    // Bytes; 0 is the system default. Start() rounds it up (see roundStackSize).
    void setStackSize(int bytes) { stackSize = bytes; }
    int getStackSize() const { return stackSize; }
    // 8192 at least, else the next power of two (at most 2^30); 0 or less stays 0.
    static int roundStackSize(int bytes);

protected:
    OxEvent& getEvent() { return event; }
    // Waits without a time limit until the last started thread has ended, and releases it.
    void join();

private:
    friend struct OxThreadEntry;

    bool createThread();
    void threadEnded();

    const OxString name;
    // Written by the owner and the thread, read by both.
    std::atomic<int> active{0};
    std::atomic<int> terminated{0};
    std::atomic<unsigned> terminateTime{0};
    std::atomic<int> inThreadMethod{0};
    OxEvent event;
    // Orders the start and end bookkeeping and guards the handles below.
    mutable OxLock lock;
    pthread_t runningThread{};
    bool running = false;
    // The last created thread, until it has been joined.
    pthread_t joinableThread{};
    bool joinable = false;
    OxThreadPrio priority = PRIO_NORMAL;
    int stackSize = 0;
};

// The scheduling priority for `prio` within min..max: min plus a share of the range
// (PRIO_LOWEST 5/100, PRIO_LOW 25/100, PRIO_NORMAL 1/2, PRIO_HIGH 75/100, PRIO_HIGHEST
// 97/100; other values count as PRIO_NORMAL).
int OxThread_priorityInRange(OxThreadPrio prio, int min, int max);
// The priority for `prio` in the range of the scheduling policy; -1 when the policy
// has no range.
int OxThread_getPriorityByScheduler(const OxString& name, OxThreadPrio prio, int policy);
// Applies that priority with the thread's own policy; a value the scheduler refuses is
// skipped.
void OxThread_setPriorityByScheduler(pthread_t thread, const OxString& name, OxThreadPrio prio,
                                     int policy);

} // namespace Lk
