#include "src/CommandLineOptions.h"
#include "src/DisplayLog.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>

namespace {

TEST(CommandLineOptions, dumpAnywhereInAnyCaseOtherOptionsAsWholeWords) {
    EXPECT_TRUE(CommandLineOptions::parse("x /DUMP").dump);
    EXPECT_TRUE(CommandLineOptions::parse("-Dump").dump);
    EXPECT_TRUE(CommandLineOptions::parse("a/dumpy").dump);
    EXPECT_FALSE(CommandLineOptions::parse("dump").dump);
    EXPECT_FALSE(CommandLineOptions::parse("--print-display").dump);

    EXPECT_TRUE(CommandLineOptions::parse("/dump  --Print-Display\t").printDisplay);
    EXPECT_FALSE(CommandLineOptions::parse("--print-displays").printDisplay);
    EXPECT_FALSE(CommandLineOptions::parse("x--print-display").printDisplay);
    EXPECT_TRUE(CommandLineOptions::parse("/dump --VIRTUAL-port").virtualPort);
    EXPECT_FALSE(CommandLineOptions::parse("--virtual-ports --print-display").virtualPort);
    const CommandLineOptions none = CommandLineOptions::parse("");
    EXPECT_FALSE(none.dump || none.printDisplay || none.virtualPort);
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
    writer.shown({"VERSION", "1.1"});
    writer.shown({"VERSION", "1.1"});
    writer.shown({"", ""});
    writer.shown({"VERSION", "1.1"});
    std::rewind(out);
    std::string text;
    for (int c; (c = std::fgetc(out)) != EOF;)
        text += static_cast<char>(c);
    std::fclose(out);
    EXPECT_EQ(text,
              "DISPLAY \"VERSION\" \"1.1\"\nDISPLAY \"\" \"\"\nDISPLAY \"VERSION\" \"1.1\"\n");
}

} // namespace
