#pragma once

#include "platform/OxTime.h"

#include <functional>

// Polls `condition` until it holds or `timeoutMs` have passed; timing tests wait with
// generous deadlines instead of fixed sleeps.
inline bool waitUntil(const std::function<bool()>& condition, unsigned timeoutMs = 10000) {
    const unsigned start = Lk::getMilliTime();
    while (!condition()) {
        if (Lk::getMilliTime() - start > timeoutMs)
            return false;
        Lk::sleepMillis(2);
    }
    return true;
}
