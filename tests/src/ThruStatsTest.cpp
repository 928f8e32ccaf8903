#include "src/ThruStats.h"
#include "src/CommandLineOptions.h"
#include "tests/support/ShutdownAtEnd.h"
#include "tests/platform/WaitUntil.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace {

Lk::MidiThruStats sample() {
    Lk::MidiThruStats s;
    s.receivedMessages = 12;
    s.receivedBytes = 5009;
    s.forwardedMessages = 10;
    s.forwardedBytes = 5005;
    s.notForwardedMessages = 1;
    s.notForwardedBytes = 2;
    return s;
}

std::string readAll(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;)
        text += static_cast<char>(c);
    return text;
}

TEST(ThruStats, oneLineForProgramsAndThreeForPeople) {
    EXPECT_EQ(formatThruStatsLine(sample(), "running"),
              "STATS running received=12/5009 forwarded=10/5005 not-forwarded=1/2");
    // 64-bit counters are written whole.
    Lk::MidiThruStats huge = sample();
    huge.receivedBytes = UINT64_MAX;
    EXPECT_EQ(formatThruStatsLine(huge, "exit"), "STATS exit received=12/18446744073709551615 "
                                                 "forwarded=10/5005 not-forwarded=1/2");
    Lk::MidiThruStats one;
    one.receivedMessages = 1;
    one.receivedBytes = 1;
    EXPECT_EQ(describeThruStats(one), "Received: 1 message, 1 byte\n"
                                      "Passed to MIDI Thru: 0 messages, 0 bytes\n"
                                      "Not passed on (thru port not open): 0 messages, 0 bytes");
}

TEST(ThruStats, printerWritesRunningLinesUntilFinishedThenTheExitLineOnce) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    std::atomic<uint64_t> received{0};
    auto source = [&] {
        Lk::MidiThruStats s;
        s.receivedMessages = ++received;
        return s;
    };
    {
        ThruStatsPrinter printer(out, source, 20);
        ASSERT_TRUE(waitUntil([&] { return received.load() >= 2; }));
        printer.finish();
        const uint64_t atFinish = received.load();
        printer.finish();
        Lk::sleepMillis(60);
        EXPECT_EQ(received.load(), atFinish) << "no line after the exit line";
    }
    const std::string text = readAll(out);
    std::fclose(out);
    const size_t exitLine = text.find("STATS exit received=");
    ASSERT_NE(exitLine, std::string::npos) << text;
    EXPECT_EQ(text.find("STATS exit", exitLine + 1), std::string::npos) << text;
    EXPECT_EQ(text.rfind('\n', text.size() - 2), exitLine - 1) << "the exit line comes last";
    EXPECT_EQ(text.rfind("STATS running received=1/0 ", 0), 0u) << text;
}

TEST(ThruStats, tipKeepsItsCountersWhileWaitingAndFollowsThemWhileShown) {
    uint64_t received = 0;
    ThruStatsTip tip([&] {
        Lk::MidiThruStats s;
        s.receivedMessages = received;
        return s;
    });
    int display = 0;
    int other = 0;
    const std::string first = tip.textFor(&display, false);
    received = 5;
    EXPECT_EQ(tip.textFor(&display, false), first) << "a changing tip would never appear";
    EXPECT_NE(tip.textFor(&display, true).find("Received: 5 messages"), std::string::npos);
    received = 6;
    EXPECT_NE(tip.textFor(&display, true).find("Received: 6 messages"), std::string::npos);
    // Coming back after leaving reads them anew.
    tip.left();
    received = 7;
    EXPECT_NE(tip.textFor(&display, false).find("Received: 7 messages"), std::string::npos);
    received = 8;
    EXPECT_NE(tip.textFor(&other, false).find("Received: 8 messages"), std::string::npos);
}

TEST(CommandLineOptions, statsWithAnIntervalInSecondsOrTheDefault) {
    EXPECT_FALSE(CommandLineOptions::parse("/dump --statistics").stats);
    const CommandLineOptions plain = CommandLineOptions::parse("--STATS /dump");
    EXPECT_TRUE(plain.stats && plain.dump);
    EXPECT_EQ(plain.statsIntervalSeconds, 10);
    EXPECT_EQ(CommandLineOptions::parse("--stats=2").statsIntervalSeconds, 2);
    EXPECT_EQ(CommandLineOptions::parse("--stats=3600").statsIntervalSeconds, 3600);
    for (const char* bad : {"--stats=0", "--stats=3601", "--stats=-5", "--stats=", "--stats=1x",
                            "--stats=99999999999999999999"}) {
        const CommandLineOptions options = CommandLineOptions::parse(bad);
        EXPECT_TRUE(options.stats) << bad;
        EXPECT_EQ(options.statsIntervalSeconds, 10) << bad;
    }
}

} // namespace
