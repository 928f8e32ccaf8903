// Alone in its own program: the clock starts at the first call in the process.
#include "platform/OxTime.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

TEST(OxTime, firstCallsOfTheProcessStartTheClockAtZero) {
    std::atomic<bool> go{false};
    std::vector<unsigned> times(4);
    std::vector<std::thread> threads;
    for (unsigned& time : times)
        threads.emplace_back([&go, &time] {
            while (!go)
                std::this_thread::yield();
            time = Lk::getMilliTime();
        });
    go = true;
    for (std::thread& thread : threads)
        thread.join();
    // A thread racing the first call must not see a negative time.
    EXPECT_LT(*std::max_element(times.begin(), times.end()), 60000u);
    EXPECT_NE(std::find(times.begin(), times.end(), 0u), times.end());
}
