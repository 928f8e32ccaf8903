// The program under a steady load for a while: the module sends without pause and is
// replugged every few seconds; nothing may be lost, and the program's memory and threads
// stay where they were after the warm-up. Its length is DOKA_SOAK_SECONDS (scripts/soak.sh
// runs it by hand).
#include "tests/src/e2e/AppGuestSupport.h"

#include "core/hotplugwatcher/HotplugWatcher.h"

#include <algorithm>
#include <cstdio>
#include <random>

namespace {

class AppSoak : public AppGuestTest {};

TEST_F(AppSoak, steadyLoadWithReplugsLosesNothingAndKeepsMemoryAndThreadsFlat) {
    const long seconds = sizeFromEnvironment("DOKA_SOAK_SECONDS", DOKA_SOAK_SECONDS);
    const long rate = sizeFromEnvironment("DOKA_SOAK_RATE", DOKA_SOAK_RATE);
    const long replugSeconds = sizeFromEnvironment("DOKA_SOAK_REPLUG_SECONDS", 5);
    const long rssBoundKb = sizeFromEnvironment("DOKA_SOAK_RSS_GROWTH_KB", 8192);
    auto app = startConnected();
    ASSERT_FALSE(HasFailure());
    ASSERT_TRUE(app->waitForDisplay({"", ""}, WAIT_MS));

    ASSERT_TRUE(module->startStream(static_cast<unsigned>(rate)));
    const long cycles = std::max(2L, seconds / replugSeconds);
    long rssStart = -1;
    long threadsStart = -1;
    long rssEnd = -1;
    long threadsEnd = -1;
    for (long cycle = 0; cycle < cycles; ++cycle) {
        ASSERT_TRUE(module->waitForSubscribers(true, 1, WAIT_MS)) << "cycle " << cycle;
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
    std::string counts;
    expectStreamPassed(*app, 30000, &counts);
    // The soak's report, which scripts/soak.sh shows.
    std::printf("soak: %ld s at %ld messages/s, %ld replugs: %s; VmRSS %ld kB -> %ld kB, "
                "threads %ld -> %ld\n",
                seconds, rate, cycles - 1, counts.c_str(), rssStart, rssEnd, threadsStart,
                threadsEnd);
    EXPECT_LT(rssEnd - rssStart, rssBoundKb);
    EXPECT_EQ(threadsEnd, threadsStart);
    stopApp(app);
}

class AppQuit : public AppGuestTest {};

// Quit at random moments while the module sends, thru forwards to the synth and the port list
// is refreshed for a device that comes and goes: every end is clean, also under a sanitizer.
TEST_F(AppQuit, quitAtRandomMomentsUnderTrafficAndHotplugEndsCleanlyEveryTime) {
    ASSERT_TRUE(module->plug(0));
    ASSERT_TRUE(synth->plug(0));
    saveChoices(MODULE_PORT, SYNTH_PORT);
    HelperClient passer("Passer");
    ASSERT_TRUE(module->startStream(2000));
    std::minstd_rand random; // the same moments each run, as far as the emulation keeps time
    for (int quit = 0; quit < 20; ++quit) {
        SCOPED_TRACE("quit " + std::to_string(quit));
        auto app = startApp();
        // At once, or after up to 2 s of a device plugged for 50 ms and gone again, the quit
        // falling in the refresh that follows.
        ASSERT_FALSE(HasFailure());
        for (unsigned n = quit % 4 == 0 ? 0 : 1 + random() % 6; n > 0; --n) {
            ASSERT_TRUE(passer.plug(0));
            app->pump(50);
            ASSERT_TRUE(passer.unplug());
            app->pump(Lk::HotplugWatcher::NOTIFY_DELAY_MS + random() % 100);
        }
        stopApp(app);
    }
}

} // namespace
