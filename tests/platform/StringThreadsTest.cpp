#include "platform/OxString.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>
#include <vector>

using Lk::OxString;

namespace {

// Runs `body(t)` on `count` threads at once; counts the threads' `false` answers.
int wrongOnThreads(int count, const std::function<bool(int)>& body) {
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back([&body, &wrong, t] { wrong += body(t) ? 0 : 1; });
    for (std::thread& thread : threads)
        thread.join();
    return wrong;
}

} // namespace

TEST(OxStringThreads, copiesOfOneTextComeAndGoOnManyThreads) {
    const OxString shared("a text that every thread copies");
    EXPECT_EQ(0, wrongOnThreads(8, [&shared](int t) {
                  bool right = true;
                  OxString mine;
                  for (int i = 0; i < 2000; ++i) {
                      const OxString copy(shared);
                      mine = copy;
                      if (t % 2 == 1)
                          mine += copy; // detaches this thread's copy only
                      right = right && copy.equals(shared) && mine.startsWith(shared);
                  }
                  return right;
              }));
    EXPECT_STREQ("a text that every thread copies", shared.c_str());
}

// The last holder of a text with spare room changes it in place; that must not race with
// the reads of the holders that let go of it on other threads.
TEST(OxStringThreads, lastHolderMayChangeTheTextInPlace) {
    for (int round = 0; round < 100; ++round) {
        std::vector<OxString> copies(4, OxString("round", OxString::WHOLE, 64));
        EXPECT_EQ(0, wrongOnThreads(4, [&copies](int t) {
                      OxString mine(copies[t]);
                      copies[t] = OxString();
                      mine.append('!');
                      return mine.equals(OxString("round!"));
                  }));
    }
}
