#include "platform/OxEvent.h"

#include <ctime>
#include <pthread.h>

namespace Lk {

namespace {

// Unlocks also when a cancelled thread unwinds out of pthread_cond_timedwait, which
// takes the mutex again before the unwinding starts.
class MutexHolder {
public:
    explicit MutexHolder(pthread_mutex_t& mutex) : mutex(mutex) { pthread_mutex_lock(&mutex); }
    MutexHolder(const MutexHolder&) = delete;
    MutexHolder& operator=(const MutexHolder&) = delete;
    ~MutexHolder() { pthread_mutex_unlock(&mutex); }

private:
    pthread_mutex_t& mutex;
};

timespec monotonicDeadline(int ms) {
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += ms / 1000;
    deadline.tv_nsec += static_cast<long>(ms % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_nsec -= 1000000000L;
        ++deadline.tv_sec;
    }
    return deadline;
}

} // namespace

struct OxEvent::Record {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t condition;
    // Guarded by the mutex. pending: a notification no wait has consumed yet;
    // notifications: counts them, so that every thread waiting at a Notify() wakes.
    bool pending = false;
    unsigned long notifications = 0;
};

OxEvent::OxEvent() : record(new Record()) {
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    // Relative waits must not stretch or shrink when the wall clock is set.
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&record->condition, &attributes);
    pthread_condattr_destroy(&attributes);
}

OxEvent::~OxEvent() {
    pthread_cond_destroy(&record->condition);
    pthread_mutex_destroy(&record->mutex);
}

void OxEvent::Notify() {
    MutexHolder hold(record->mutex);
    record->pending = true;
    ++record->notifications;
    pthread_cond_broadcast(&record->condition);
}

bool OxEvent::WaitMs(int ms) {
    MutexHolder hold(record->mutex);
    const unsigned long seen = record->notifications;
    const timespec deadline = monotonicDeadline(ms > 0 ? ms : 0);
    while (!record->pending && record->notifications == seen) {
        if (ms <= 0)
            pthread_cond_wait(&record->condition, &record->mutex);
        else if (pthread_cond_timedwait(&record->condition, &record->mutex, &deadline) != 0)
            return false;
    }
    record->pending = false;
    return true;
}

} // namespace Lk
