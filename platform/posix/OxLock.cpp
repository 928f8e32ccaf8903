#include "platform/OxLock.h"

#include <atomic>
#include <pthread.h>

namespace Lk {

struct OxLock::Record {
    pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
    // The holder, 0 when free. Written only by the holder while it holds the mutex, read
    // by any thread: only the holder can find its own handle here.
    std::atomic<pthread_t> owner{0};
    int count = 0; // recursion depth, touched only by the holder
};

OxLock::OxLock() : record(new Record()) {}

OxLock::~OxLock() {
    pthread_mutex_destroy(&record->mutex);
}

void OxLock::Enter() {
    const pthread_t self = pthread_self();
    if (!pthread_equal(record->owner.load(), self)) {
        pthread_mutex_lock(&record->mutex);
        record->owner.store(self);
    }
    ++record->count;
}

void OxLock::Leave() {
    if (!pthread_equal(record->owner.load(), pthread_self()))
        return;
    if (--record->count == 0) {
        record->owner.store(0);
        pthread_mutex_unlock(&record->mutex);
    }
}

} // namespace Lk
