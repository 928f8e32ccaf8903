#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace dokatest {

// Polls `condition` until it holds or `timeoutMs` have passed; tests wait with generous
// deadlines instead of fixed sleeps. Between polls it naps for 2 ms, or calls `between`
// when given (a GUI test runs its message loop there; an empty one spins).
inline bool waitUntil(const std::function<bool()>& condition, unsigned timeoutMs = 10000,
                      const std::function<void()>& between = nullptr) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (between)
            between();
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

} // namespace dokatest
