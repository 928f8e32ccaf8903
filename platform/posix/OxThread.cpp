#include "platform/OxThread.h"

#include <cstring>

#include "platform/OxTime.h"

#include <cstdint>
#include <ctime>
#include <sched.h>

namespace Lk {

namespace {

constexpr int kStopBudgetMs = 2000;
// What a stop request older than the budget still gets.
constexpr int kLateStopWaitMs = 100;
constexpr int kPollsPerClockRead = 20;
constexpr int kCancelJoinMs = 10;
constexpr int kMinStackSize = 8192;
constexpr int kMaxStackSize = 1 << 30;

timespec realtimeDeadline(int ms) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += static_cast<long>(ms) * 1000000L;
    deadline.tv_sec += deadline.tv_nsec / 1000000000L;
    deadline.tv_nsec %= 1000000000L;
    return deadline;
}

} // namespace

struct OxThreadEntry {
    static void* run(void* arg) {
        auto* thread = static_cast<OxThread*>(arg);
        // Runs when Execute() returns and also when the thread is cancelled: the forced
        // unwinding of a cancellation calls destructors.
        struct EndOfThread {
            OxThread* thread;
            ~EndOfThread() { thread->threadEnded(); }
        } endOfThread{thread};
        ++thread->inThreadMethod;
        // The kernel keeps 15 bytes of a name; tools such as top -H and gdb show it.
        char shortName[16] = {};
        std::strncpy(shortName, thread->name.c_str(), sizeof(shortName) - 1);
        ::pthread_setname_np(::pthread_self(), shortName);
        thread->Execute();
        return nullptr;
    }
};

OxThread::OxThread(int startNow, const OxString& name) : name(name) {
    if (startNow)
        Start();
}

OxThread::~OxThread() {
    Kill();
    join();
}

void OxThread::Terminate() {
    int wasTerminated = 0;
    if (terminated.compare_exchange_strong(wasTerminated, 1))
        terminateTime.store(getMilliTime());
    Notify();
}

void OxThread::Notify() {
    event.Notify();
}

bool OxThread::Start() {
    if (isCurrentThread())
        return false; // its own thread could not be joined
    for (;;) {
        {
            OxScopedLock hold(lock);
            if (isActive() && !isTerminated())
                return false;
            if (!joinable) {
                active.store(1);
                terminated.store(0);
                inThreadMethod.store(0);
                if (createThread())
                    return true;
                active.store(0);
                terminated.store(1);
                return false;
            }
        }
        join(); // the previous thread is ending
    }
}

bool OxThread::createThread() {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    if (stackSize > 0) {
        stackSize = roundStackSize(stackSize);
        // Below the system's minimum the default stack is kept.
        pthread_attr_setstacksize(&attributes, static_cast<size_t>(stackSize));
    }
    pthread_t handle{};
    bool created = false;
    for (int attempt = 0; attempt < 2 && !created; ++attempt)
        created = pthread_create(&handle, &attributes, &OxThreadEntry::run, this) == 0;
    pthread_attr_destroy(&attributes);
    if (!created)
        return false;
    int policy = SCHED_OTHER;
    sched_param parameters{};
    pthread_getschedparam(handle, &policy, &parameters);
    OxThread_setPriorityByScheduler(handle, name, priority, policy);
    runningThread = handle;
    running = true;
    joinableThread = handle;
    joinable = true;
    return true;
}

void OxThread::threadEnded() {
    --inThreadMethod;
    OxScopedLock hold(lock);
    // After a restart the object belongs to the newer thread.
    if (running && pthread_equal(runningThread, pthread_self())) {
        running = false;
        terminated.store(1);
        active.store(0);
    }
}

void OxThread::stop() {
    Terminate();
    join();
}

bool OxThread::Kill() {
    if (!isActive())
        return true;
    Terminate();
    if (isCurrentThread())
        return true;
    if (waitFor()) {
        join();
        return true;
    }
    Cancel();
    return false;
}

bool OxThread::waitFor() {
    if (!isActive() || isCurrentThread())
        return true;
    const unsigned now = getMilliTime();
    unsigned budgetStart = terminateTime.load();
    if (static_cast<int32_t>(now - budgetStart) > kStopBudgetMs)
        budgetStart = now - (kStopBudgetMs - kLateStopWaitMs);
    for (int polls = 1; isActive(); ++polls) {
        sleepMillis(1);
        if (polls % kPollsPerClockRead == 0 &&
            static_cast<int32_t>(getMilliTime() - budgetStart) > kStopBudgetMs)
            return !isActive();
    }
    return true;
}

void OxThread::Cancel() {
    pthread_t handle{};
    bool hasThread = false;
    {
        OxScopedLock hold(lock);
        if (joinable) {
            handle = joinableThread;
            hasThread = true;
        }
    }
    if (hasThread) {
        pthread_cancel(handle);
        // A thread waiting at a cancellation point ends at once; one that does not is
        // joined later, by join().
        const timespec deadline = realtimeDeadline(kCancelJoinMs);
        if (pthread_timedjoin_np(handle, nullptr, &deadline) == 0) {
            OxScopedLock hold(lock);
            joinable = false;
        }
    }
    active.store(0);
}

void OxThread::join() {
    pthread_t handle{};
    {
        OxScopedLock hold(lock);
        if (!joinable)
            return;
        handle = joinableThread;
        joinable = false;
    }
    if (pthread_equal(handle, pthread_self()))
        pthread_detach(handle); // cannot wait for itself; let it release itself
    else
        pthread_join(handle, nullptr);
}

bool OxThread::isCurrentThread() const {
    OxScopedLock hold(lock);
    return running && pthread_equal(runningThread, pthread_self());
}

void* OxThread::getCurrentThreadID() {
    return reinterpret_cast<void*>(pthread_self());
}

int OxThread::roundStackSize(int bytes) {
    if (bytes <= 0)
        return 0;
    if (bytes >= kMaxStackSize)
        return kMaxStackSize;
    int size = kMinStackSize;
    while (size < bytes)
        size <<= 1;
    return size;
}

int OxThread_priorityInRange(OxThreadPrio prio, int min, int max) {
    if (max <= min)
        return min;
    int sharePercent = 50;
    switch (prio) {
    case PRIO_HIGH:
        sharePercent = 75;
        break;
    case PRIO_HIGHEST:
        sharePercent = 97;
        break;
    case PRIO_LOW:
        sharePercent = 25;
        break;
    case PRIO_LOWEST:
        sharePercent = 5;
        break;
    default:
        break;
    }
    const long long offset = static_cast<long long>(max - min) * sharePercent / 100;
    return static_cast<int>(min + offset);
}

int OxThread_getPriorityByScheduler(const OxString& /*name*/, OxThreadPrio prio, int policy) {
    const int min = sched_get_priority_min(policy);
    const int max = sched_get_priority_max(policy);
    if (min < 0 || max < 0)
        return -1;
    return OxThread_priorityInRange(prio, min, max);
}

void OxThread_setPriorityByScheduler(pthread_t thread, const OxString& name, OxThreadPrio prio,
                                     int policy) {
    int threadPolicy = SCHED_OTHER;
    sched_param parameters{};
    if (pthread_getschedparam(thread, &threadPolicy, &parameters) != 0)
        return;
    const int value = OxThread_getPriorityByScheduler(name, prio, policy);
    if (value < 0)
        return;
    parameters.sched_priority = value;
    pthread_setschedparam(thread, threadPolicy, &parameters);
}

} // namespace Lk
