#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace dokatest {

// Polls `condition` until it holds or `timeoutMs` have passed; tests wait with generous
// deadlines instead of fixed sleeps.
inline bool waitUntil(const std::function<bool()>& condition, unsigned timeoutMs = 10000) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace dokatest
