// The program under a steady load for a while: the module sends without pause and is
// replugged every few seconds; nothing may be lost, and the program's memory and threads
// stay where they were after the warm-up. Its length is DOKA_SOAK_SECONDS (scripts/soak.sh
// runs it by hand).
#include "tests/src/e2e/AppGuestSupport.h"

#include <algorithm>
#include <cstdio>

namespace {

class AppSoak : public AppGuestTest {};

TEST_F(AppSoak, steadyLoadWithReplugsLosesNothingAndKeepsMemoryAndThreadsFlat) {
    const long seconds = sizeFromEnvironment("DOKA_SOAK_SECONDS", DOKA_SOAK_SECONDS);
    const long rate = sizeFromEnvironment("DOKA_SOAK_RATE", DOKA_SOAK_RATE);
    const long replugSeconds = sizeFromEnvironment("DOKA_SOAK_REPLUG_SECONDS", 5);
    const long rssBoundKb = sizeFromEnvironment("DOKA_SOAK_RSS_GROWTH_KB", 8192);
    ASSERT_TRUE(module->plug(0));
    ASSERT_TRUE(synth->plug(0));
    saveChoices(MODULE_PORT, SYNTH_PORT);
    auto app = startApp();
    ASSERT_TRUE(app->waitForDisplay({"VERSION", "1.1"}, START_MS));
    ASSERT_TRUE(waitForSubscribers(*module, true, 1, WAIT_MS));
    ASSERT_TRUE(waitForSubscribers(*synth, false, 1, WAIT_MS));
    ASSERT_TRUE(app->waitForDisplay({"", ""}, WAIT_MS));

    ASSERT_TRUE(module->startStream(static_cast<unsigned>(rate)));
    const long cycles = std::max(2L, seconds / replugSeconds);
    long rssStart = -1;
    long threadsStart = -1;
    long rssEnd = -1;
    long threadsEnd = -1;
    for (long cycle = 0; cycle < cycles; ++cycle) {
        ASSERT_TRUE(waitForSubscribers(*module, true, 1, WAIT_MS)) << "cycle " << cycle;
        app->pump(static_cast<unsigned>(replugSeconds * 1000));
        // Sampled at the same moment of every cycle: plugged for a while; the first cycle
        // is the warm-up.
        rssEnd = app->statusField("VmRSS");
        threadsEnd = app->statusField("Threads");
        if (cycle == 1) {
            rssStart = rssEnd;
            threadsStart = threadsEnd;
        }
        if (cycle + 1 < cycles) {
            ASSERT_TRUE(module->unplug());
            app->pump(300);
            ASSERT_TRUE(module->plug(cycle % 2 == 0 ? 4 : 0));
        }
    }
    uint32_t sent = 0;
    PluggableDevice::Runs subscribed;
    ASSERT_TRUE(module->stopStream(sent, subscribed));

    std::vector<uint32_t> numbers;
    ASSERT_TRUE(PluggableDevice::readStream(synth->receive(sent * 3u, 30000), numbers));
    bool ordered = true;
    for (size_t i = 1; i < numbers.size(); ++i)
        ordered = ordered && numbers[i - 1] < numbers[i];
    size_t must = 0;
    size_t missing = 0;
    size_t at = 0;
    for (const auto& run : subscribed) {
        for (uint32_t n = run.first; n <= run.second; ++n, ++must) {
            while (at < numbers.size() && numbers[at] < n)
                ++at;
            if (at == numbers.size() || numbers[at] != n)
                ++missing;
        }
    }
    std::printf("soak: %ld s, %ld messages/s asked, %u sent (%zu while subscribed), %zu "
                "arrived, %zu missing, %ld replugs\n",
                seconds, rate, sent, must, numbers.size(), missing, cycles - 1);
    std::printf("soak: VmRSS %ld kB -> %ld kB, threads %ld -> %ld\n", rssStart, rssEnd,
                threadsStart, threadsEnd);
    std::fflush(stdout);
    EXPECT_TRUE(ordered);
    EXPECT_EQ(missing, 0u) << app->errors();
    EXPECT_LT(rssEnd - rssStart, rssBoundKb);
    EXPECT_EQ(threadsEnd, threadsStart);
    stopApp(app);
}

} // namespace
