#include "src/Autostart.h"
#include "src/CommandLineOptions.h"
#include "src/DisplayLog.h"
#include "src/ThruStats.h"
#include "src/WebViewChoice.h"

#include "tests/support/TempDir.h"
#include "tests/support/WaitUntil.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <utility>

namespace {

std::string summary(const CommandLineOptions& o) {
    return std::string(o.dump ? " dump" : "") + (o.printDisplay ? " print-display" : "") +
           (o.virtualPort ? " virtual-port" : "") +
           (o.stats ? " stats=" + std::to_string(o.statsIntervalSeconds) : "") +
           (o.help ? " help" : "") + (o.version ? " version" : "") +
           (o.webView ? " web-view=" + o.webViewEndpoint.toString() : "") +
           (o.badWebView.empty() ? "" : " bad=" + o.badWebView) +
           (o.autostart == CommandLineOptions::AutostartRequest::unchanged
                ? ""
                : std::string(" autostart=") + "-+0?"[static_cast<int>(o.autostart)]) +
           (o.unknown.empty() ? "" : " unknown=" + o.unknown.front() + "," + o.unknown.back());
}

// "/dump" anywhere in any case; the others whole words in any case; a --stats interval out
// of 1 to 3600 seconds, or not a number, gives the default; other words with "-" are unknown.
TEST(CommandLineOptions, eachOptionIsFoundOnlyWhereItMayStand) {
    const std::pair<const char*, const char*> cases[] = {
        {"a/DUMPy", " dump"},
        {"-Dump", " dump"},
        {"dump", ""},
        {"/dump  --Print-Display\t", " dump print-display"},
        {"--print-displays x--print-display --virtual-ports --statistics",
         " unknown=--print-displays,--statistics"},
        {"/dump --VIRTUAL-port", " dump virtual-port"},
        {"--STATS /dump", " dump stats=10"},
        {"--stats=2", " stats=2"},
        {"--stats=3600", " stats=3600"},
        {"--stats=0", " stats=10"},
        {"--stats=3601", " stats=10"},
        {"--stats=", " stats=10"},
        {"--stats=1x", " stats=10"},
        {"--stats=99999999999999999999", " stats=10"},
        {"-H --Version --autostart ON", " help version autostart=+"},
        {"--autostart=off --autostart=", " autostart=?"},
        {"--autostart off", " autostart=0"},
        {"--autostart", " autostart=?"},
        {"--Web-View --web-views", " web-view=8230 unknown=--web-views,--web-views"},
        {"--web-view=[::]:0 --web-view=LocalHost:65535", " web-view=localhost:65535"},
    };
    for (const char* bad : {"", "65536", "::1:80", "[::1]", "[::1]80", "[1.2.3.4]:80", "1.2.3:80",
                            "a_b:80", ":80", "x:-1", "x:", "99999999999", "-.a:80", "a..b:80"})
        EXPECT_EQ(summary(CommandLineOptions::parse(std::string("--web-view=") + bad)),
                  std::string(" bad=--web-view=") + bad);
    for (const auto& [line, options] : cases)
        EXPECT_EQ(summary(CommandLineOptions::parse(line)), options) << line;
}

// Written as it is read; loopback or not, it names where a browser opens it.
TEST(WebViewEndpoint, readsBackWhatItWritesAndSaysWhereToOpenIt) {
    WebViewEndpoint endpoint;
    const std::pair<const char*, bool> endpoints[] = {
        {"8230", true},    {"[::1]:0", true},          {"localhost:1", true}, {"127.1.2.3:1", true},
        {"[::]:1", false}, {"Host-1.lan:8230", false}, {"0.0.0.0:1", false}};
    for (const auto& [text, isLoopback] : endpoints)
        EXPECT_TRUE(WebViewEndpoint::parse(text, endpoint) && endpoint.toString() == text &&
                    endpoint.isLoopback() == isLoopback);
    for (const std::string& url : endpoint.urls()) // one per interface, none loopback
        EXPECT_TRUE(url.rfind("http://", 0) == 0 && url.rfind(":1/") + 3 == url.size() &&
                    url.find("//127.") == std::string::npos);
    EXPECT_NE(describeWebView(endpoint).find("Anyone on that network"), std::string::npos);
}

// Each change is written once as a line; blanks, quotes and control bytes survive the round
// trip through the line.
// The entry is the setting: written with its folders under $XDG_CONFIG_HOME, valid for the
// desktop, removed (also when already gone); a folder that cannot be made is said.
TEST(Autostart, theEntryIsWrittenAndRemovedUnderTheConfigFolder) {
    const dokatest::TempDir config("doka-config");
    setenv("XDG_CONFIG_HOME", config.path().c_str(), 1);
    EXPECT_FALSE(Autostart::isOn());
    EXPECT_EQ(Autostart::set(true), "");
    EXPECT_TRUE(Autostart::isOn());
    EXPECT_NE(config.read("autostart/doka-display.desktop").find("\nExec=DOKA\n"),
              std::string::npos);
    EXPECT_EQ(std::system(("desktop-file-validate " + Autostart::entryPath()).c_str()), 0);
    EXPECT_EQ(Autostart::set(false) + Autostart::set(false), "");
    EXPECT_FALSE(Autostart::isOn());
    config.write("file", "");
    setenv("XDG_CONFIG_HOME", config.file("file").c_str(), 1);
    EXPECT_NE(Autostart::set(true).find("Cannot write"), std::string::npos);
    unsetenv("XDG_CONFIG_HOME");
}

TEST(DisplayLog, eachChangeIsALineFromWhichTheDisplayIsReadBack) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        LineOutput out(ends[1]);
        DisplayLogWriter writer(out);
        for (const DisplayLines& lines :
             {DisplayLines{"VERSION", "1.1"}, DisplayLines{"VERSION", "1.1"}, DisplayLines{"", ""},
              DisplayLines{"VERSION", "1.1"}})
            writer.shown(lines);
    }
    close(ends[1]);
    char text[256];
    const ssize_t size = read(ends[0], text, sizeof text);
    close(ends[0]);
    EXPECT_EQ(std::string(text, std::max<ssize_t>(size, 0)),
              "DISPLAY \"VERSION\" \"1.1\"\nDISPLAY \"\" \"\"\nDISPLAY \"VERSION\" \"1.1\"\n");
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

// The lines go out on a thread of their own: a reader that does not read costs lines, not
// time; one that went away ends the printing, not the program (no SIGPIPE).
TEST(LineOutput, aStalledReaderCostsLinesNotTimeAndAGoneOneEndsThePrinting) {
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    {
        LineOutput out(ends[1]);
        const auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < 10000; ++i) // ten times what the pipe and the queue hold
            out.write(std::string(200, 'x'));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(500));
        close(ends[0]);
        EXPECT_TRUE(dokatest::waitUntil([&] { return out.isClosed(); }));
        out.write("to nobody");
    }
    close(ends[1]);
}

TEST(ThruStats, oneLineForProgramsWithWholeCountersAndThreeForPeople) {
    EXPECT_EQ(formatThruStatsLine({12, UINT64_MAX, 10, 5005, 1, 2}, "exit"),
              "STATS exit received=12/18446744073709551615 "
              "forwarded=10/5005 not-forwarded=1/2");
    EXPECT_EQ(describeThruStats({1, 1}), "Received: 1 message, 1 byte\n"
                                         "Passed to MIDI Thru: 0 messages, 0 bytes\n"
                                         "Not passed on (thru port not open): 0 messages, 0 bytes");
}

} // namespace
