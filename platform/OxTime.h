#pragma once

#include <cstdint>

namespace Lk {

// Milliseconds of the monotonic clock since the first call, which returns 0. Wraps after
// about 49.7 days: compare times only with oxTimeReached, never with < or <=.
unsigned getMilliTime();

// Sleeps once for `ms` milliseconds; a signal may end the sleep early.
void sleepMillis(unsigned ms);

// True when `now` has reached `due`, also when the clock wrapped in between (the two
// times must lie less than 2^31 ms apart).
inline bool oxTimeReached(unsigned now, unsigned due) {
    return static_cast<int32_t>(now - due) >= 0;
}

} // namespace Lk
