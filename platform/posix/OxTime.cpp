#include "platform/OxTime.h"

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace Lk {

namespace {

uint64_t monotonicNanos() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

} // namespace

unsigned getMilliTime() {
    const uint64_t now = monotonicNanos();
    // The thread that initialises the start returns exactly 0; a thread that read the
    // clock just before that must not see a negative (huge) time.
    static const uint64_t start = now;
    return now > start ? static_cast<unsigned>((now - start) / 1000000u) : 0;
}

void sleepMillis(unsigned ms) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(ms / 1000);
    ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
    nanosleep(&ts, nullptr);
}

} // namespace Lk
