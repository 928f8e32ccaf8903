#include "platform/OxString.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using Lk::OxString;

TEST(OxStringThreads, copiesOfOneTextComeAndGoOnManyThreads) {
    const OxString shared("a text that every thread copies");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&shared, &wrong, t] {
            OxString mine;
            for (int i = 0; i < 2000; ++i) {
                const OxString copy(shared);
                mine = copy;
                if (t % 2 == 1) {
                    mine.append('!'); // detaches this thread's copy only
                    mine += copy;
                }
                if (!copy.equals(shared) || mine.c_str()[0] != 'a')
                    ++wrong;
            }
        });
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(0, wrong.load());
    EXPECT_STREQ("a text that every thread copies", shared.c_str());
}

// The last holder of a text with spare room changes it in place; that must not race with
// the reads of the holders that let go of it on other threads.
TEST(OxStringThreads, lastHolderMayChangeTheTextInPlace) {
    std::atomic<int> wrong{0};
    for (int round = 0; round < 100; ++round) {
        OxString source("round", OxString::WHOLE, 64);
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t)
            threads.emplace_back([copy = source, &wrong]() mutable {
                OxString mine(copy);
                copy = OxString();
                mine.append('!');
                if (!mine.equals(OxString("round!")))
                    ++wrong;
            });
        source = OxString();
        for (std::thread& thread : threads)
            thread.join();
    }
    EXPECT_EQ(0, wrong.load());
}
