// Alone in its own program: the clock starts at the first call in the process.
#include "platform/OxTime.h"

#include <gtest/gtest.h>

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
    bool someZero = false;
    for (unsigned time : times) {
        EXPECT_LT(time, 60000u); // a thread racing the first call must not see a negative time
        someZero = someZero || time == 0;
    }
    EXPECT_TRUE(someZero);
}
