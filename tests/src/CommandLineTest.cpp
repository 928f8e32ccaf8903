// The program's command line and the lines it prints on standard output.
#include "src/CommandLineOptions.h"
#include "src/DisplayLog.h"
#include "src/ThruStats.h"
#include "tests/support/ShutdownAtEnd.h"
#include "tests/support/WaitUntil.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <thread>

namespace {

std::string readAll(std::FILE* f) {
    std::fflush(f);
    std::rewind(f);
    std::string text;
    for (int c; (c = std::fgetc(f)) != EOF;)
        text += static_cast<char>(c);
    return text;
}

std::string summary(const CommandLineOptions& o) {
    return std::string(o.dump ? " dump" : "") + (o.printDisplay ? " print-display" : "") +
           (o.virtualPort ? " virtual-port" : "") +
           (o.stats ? " stats=" + std::to_string(o.statsIntervalSeconds) : "");
}

// "/dump" anywhere in any case; the others whole words in any case; a --stats interval out
// of 1 to 3600 seconds, or not a number, gives the default.
TEST(CommandLineOptions, eachOptionIsFoundOnlyWhereItMayStand) {
    const std::pair<const char*, const char*> cases[] = {
        {"", ""},
        {"x /DUMP", " dump"},
        {"-Dump", " dump"},
        {"a/dumpy", " dump"},
        {"dump", ""},
        {"/dump  --Print-Display\t", " dump print-display"},
        {"--print-displays x--print-display", ""},
        {"/dump --VIRTUAL-port", " dump virtual-port"},
        {"--virtual-ports --print-display", " print-display"},
        {"/dump --statistics", " dump"},
        {"--STATS /dump", " dump stats=10"},
        {"--stats=2", " stats=2"},
        {"--stats=3600", " stats=3600"},
        {"--stats=0", " stats=10"},
        {"--stats=3601", " stats=10"},
        {"--stats=-5", " stats=10"},
        {"--stats=", " stats=10"},
        {"--stats=1x", " stats=10"},
        {"--stats=99999999999999999999", " stats=10"},
    };
    for (const auto& [line, options] : cases)
        EXPECT_EQ(summary(CommandLineOptions::parse(line)), options) << line;
}

TEST(DisplayLog, blanksQuotesAndControlBytesSurviveTheRoundTrip) {
    EXPECT_EQ(formatDisplayLog({"VERSION", "1.1"}), "DISPLAY \"VERSION\" \"1.1\"");
    EXPECT_EQ(formatDisplayLog({" ", ""}), "DISPLAY \" \" \"\"");
    EXPECT_EQ(formatDisplayLog({"a\"b\\c", "\x01\n\x7f"}),
              "DISPLAY \"a\\\"b\\\\c\" \"\\x01\\x0A\\x7F\"");

    for (const DisplayLines& lines :
         {DisplayLines{"  A B  ", "\" \\x41"}, DisplayLines{"\xC3\xA9t\xC3\xA9", "\t\x1b"},
          DisplayLines{"", ""}}) {
        DisplayLines back;
        ASSERT_TRUE(parseDisplayLog(formatDisplayLog(lines), back)) << formatDisplayLog(lines);
        EXPECT_EQ(back.line1, lines.line1);
        EXPECT_EQ(back.line2, lines.line2);
    }
    DisplayLines ignored;
    for (const char* bad : {"DISPLAY \"a\"", "DISPLAY \"a\" \"b\" ", "DISPLAY \"a\\q\" \"b\"",
                            "DISPLAY \"a\" \"b\\x4\"", "Dumping to DOKA_dump.syx...", ""})
        EXPECT_FALSE(parseDisplayLog(bad, ignored)) << bad;
}

TEST(DisplayLog, writesEachChangeOnceAsALine) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    DisplayLogWriter writer(out);
    for (const DisplayLines& lines : {DisplayLines{"VERSION", "1.1"}, DisplayLines{"VERSION", "1.1"},
                                      DisplayLines{"", ""}, DisplayLines{"VERSION", "1.1"}})
        writer.shown(lines);
    EXPECT_EQ(readAll(out),
              "DISPLAY \"VERSION\" \"1.1\"\nDISPLAY \"\" \"\"\nDISPLAY \"VERSION\" \"1.1\"\n");
    std::fclose(out);
}

TEST(ThruStats, oneLineForProgramsWithWholeCountersAndThreeForPeople) {
    EXPECT_EQ(formatThruStatsLine({12, UINT64_MAX, 10, 5005, 1, 2}, "exit"), "STATS exit received=12/18446744073709551615 "
                                                  "forwarded=10/5005 not-forwarded=1/2");
    EXPECT_EQ(describeThruStats({1, 1}), "Received: 1 message, 1 byte\n"
                                      "Passed to MIDI Thru: 0 messages, 0 bytes\n"
                                      "Not passed on (thru port not open): 0 messages, 0 bytes");
}

// The timer thread writes running lines until finish(); no line comes after the exit line,
// which is written once however often finish() is called.
TEST(ThruStats, printerWritesRunningLinesUntilFinishedThenTheExitLineOnce) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    std::atomic<uint64_t> asked{0};
    {
        ThruStatsPrinter printer(out, [&] { return Lk::MidiThruStats{++asked}; }, 20);
        ASSERT_TRUE(dokatest::waitUntil([&] { return asked.load() >= 2; }));
        printer.finish();
        const uint64_t atFinish = asked.load();
        printer.finish();
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        EXPECT_EQ(asked.load(), atFinish);
    }
    const std::string text = readAll(out);
    std::fclose(out);
    EXPECT_EQ(text.rfind("STATS running received=1/0 ", 0), 0u) << text;
    const size_t exitLine = text.find("STATS exit received=");
    ASSERT_NE(exitLine, std::string::npos) << text;
    EXPECT_EQ(text.find('\n', exitLine), text.size() - 1) << text;
}

} // namespace
