#include "src/DisplayProtocol.h"
#include "tests/support/MidiBytes.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using dokatest::Bytes;

DisplayEvent classify(const Bytes& bytes, int channel = kReceiveChannelOmni) {
    return classifyDisplayMessage(bytes.data(), static_cast<int>(bytes.size()), channel);
}

} // namespace

TEST(DisplayProtocol, everyCharacterCodeHasItsGlyph) {
    // The module's table written out once by hand, code 0 first.
    const std::string table = std::string(" ABCDEFGHIJKLMNOPQRSTUVWXYZ") + "00112233445566778899" +
                              "+-*/\\><._|||" + std::string(23, ' ') + std::string(18, 'e') +
                              "0123456789" + std::string(146, 'e');
    ASSERT_EQ(table.size(), 256u);
    for (int code = 0; code < 256; ++code) {
        const Lk::OxString glyph = getFennicChar(static_cast<unsigned char>(code));
        ASSERT_EQ(glyph.length(), 1) << "code " << code;
        EXPECT_EQ(glyph[0], table[code]) << "code " << code;
    }
}

// Codes 1, 2, 3... are A, B, C...: the first eight fill line 1, the next eight line 2, the
// rest are dropped; no codes at all blank both lines.
TEST(DisplayProtocol, frameLengthDecidesWhatEachLineHolds) {
    Bytes message{0xF0, 0x77, 0x75, 0xF7};
    for (int codes = 0; codes <= 20; ++codes) {
        const DisplayEvent event = classify(message);
        ASSERT_EQ(event.kind, DisplayEvent::Kind::showText) << codes << " codes";
        const int inLine1 = codes < 8 ? codes : 8;
        const int inLine2 = codes <= 8 ? 0 : (codes < 16 ? codes - 8 : 8);
        EXPECT_EQ(std::string(event.lines.line1.c_str()), std::string("ABCDEFGH", inLine1));
        EXPECT_EQ(std::string(event.lines.line2.c_str()), std::string("IJKLMNOP", inLine2));
        message.insert(message.end() - 2, static_cast<unsigned char>(codes + 1));
    }
}

TEST(DisplayProtocol, ignoresFramesThatAreNotDisplayMessages) {
    EXPECT_EQ(classify({0xF0, 0x77, 0x01, 0x02, 0xF7}).kind, DisplayEvent::Kind::ignored);
    EXPECT_EQ(classify({0xF0, 0x78, 0x01, 0x75, 0xF7}).kind, DisplayEvent::Kind::ignored);
    EXPECT_EQ(classify({0xF0, 0x77, 0xF7}).kind, DisplayEvent::Kind::ignored);
    EXPECT_EQ(classify({0x90, 0x40, 0x7F}).kind, DisplayEvent::Kind::ignored);
    EXPECT_EQ(classify({0xB0, 0x07}).kind, DisplayEvent::Kind::ignored);
    EXPECT_EQ(classify({0xC0}).kind, DisplayEvent::Kind::ignored);
    EXPECT_EQ(classify({}).kind, DisplayEvent::Kind::ignored);
    EXPECT_EQ(classifyDisplayMessage(nullptr, 20, 0).kind, DisplayEvent::Kind::ignored);
}

TEST(DisplayProtocol, programChangeCountsOnlyOnTheReceiveChannel) {
    const int channel3 = 2;
    DisplayEvent event = classify({0xC2, 0x05}, channel3);
    EXPECT_EQ(event.kind, DisplayEvent::Kind::showProgram);
    EXPECT_EQ(event.program, 5);
    EXPECT_EQ(classify({0xC0, 0x05}, channel3).kind, DisplayEvent::Kind::ignored);
    EXPECT_EQ(classify({0xC0, 0x05}).kind, DisplayEvent::Kind::showProgram);
    EXPECT_EQ(classify({0xCF, 0x7F}).program, 127);
    EXPECT_EQ(classify({0xC2, 0x05, 0x00}, channel3).kind, DisplayEvent::Kind::ignored);
    // A status byte where the program number belongs makes no Program Change.
    const DisplayEvent statusAsProgram = classify({0xC0, 0x90});
    EXPECT_EQ(statusAsProgram.kind, DisplayEvent::Kind::ignored);
    EXPECT_EQ(statusAsProgram.program, -1);
}

TEST(DisplayProtocol, programLinesShowTheNameInCapitalsOrItsNumber) {
    ProgramNames names;
    names[6] = "Strings and more!";
    names[7] = "Café";

    DisplayLines lines;
    ASSERT_TRUE(formatProgramLines(6, names, lines));
    EXPECT_EQ(lines.line2, "AND MORE") << "characters from the 17th on are not shown";

    ASSERT_TRUE(formatProgramLines(7, names, lines));
    EXPECT_EQ(lines.line1, "CAFé") << "only ASCII letters change case";

    ASSERT_TRUE(formatProgramLines(0, names, lines));
    EXPECT_EQ(lines.line1, "PROGRAM ");
    EXPECT_EQ(lines.line2, "001");
    ASSERT_TRUE(formatProgramLines(127, names, lines));
    EXPECT_EQ(lines.line2, "128");

    EXPECT_FALSE(formatProgramLines(-1, names, lines));
    EXPECT_FALSE(formatProgramLines(128, names, lines));
}

TEST(DisplayProtocol, programLinesAreCutBetweenCharacters) {
    ProgramNames names;
    names[0] = "ABCDEFG\xC3\xA9HIJKLMN\xE2\x82\xACXYZ"; // é at the 8th, € at the 16th place
    names[1] = "\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E"
               "\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E";
    names[2] = "Caf\xE9 \xA9 Strings"; // Latin-1, not UTF-8: one byte is one character

    DisplayLines lines;
    ASSERT_TRUE(formatProgramLines(0, names, lines));
    EXPECT_EQ(lines.line1, "ABCDEFG\xC3\xA9");
    EXPECT_EQ(lines.line2, "HIJKLMN\xE2\x82\xAC");

    ASSERT_TRUE(formatProgramLines(1, names, lines));
    EXPECT_EQ(lines.line1.length(), 8 * 4) << "eight four-byte characters";
    EXPECT_EQ(lines.line2, "\xF0\x9D\x84\x9E");

    ASSERT_TRUE(formatProgramLines(2, names, lines));
    EXPECT_EQ(lines.line1, "CAF\xE9 \xA9 S");
    EXPECT_EQ(lines.line2, "TRINGS");
}
