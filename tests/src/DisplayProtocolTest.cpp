#include "src/DisplayProtocol.h"
#include "src/WebViewContent.h"
#include "tests/support/MidiBytes.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <regex>
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
    for (int code = 0; code < 256; ++code)
        EXPECT_EQ(getFennicChar(static_cast<unsigned char>(code)),
                  Lk::OxString::fromChar(table[code]))
            << "code " << code;
}

// Codes 1, 2, 3... are A, B, C...: the first eight fill line 1, the next eight line 2, the
// rest are dropped; no codes at all blank both lines.
TEST(DisplayProtocol, frameLengthDecidesWhatEachLineHolds) {
    Bytes message{0xF0, 0x77, 0x75, 0xF7};
    for (int codes = 0; codes <= 20; ++codes) {
        const DisplayEvent event = classify(message);
        ASSERT_EQ(event.kind, DisplayEvent::Kind::showText) << codes << " codes";
        const std::string shown("ABCDEFGHIJKLMNOP", std::min(codes, 16));
        EXPECT_EQ(event.lines.line1.c_str(), shown.substr(0, 8));
        EXPECT_EQ(event.lines.line2.c_str(), shown.substr(std::min(codes, 8)));
        message.insert(message.end() - 2, static_cast<unsigned char>(codes + 1));
    }
}

TEST(DisplayProtocol, onlyDisplayMessagesAndProgramChangesOnTheReceiveChannelCount) {
    const int channel3 = 2;
    const DisplayEvent event = classify({0xC2, 0x05}, channel3);
    EXPECT_EQ(event.kind, DisplayEvent::Kind::showProgram);
    EXPECT_EQ(event.program, 5);
    EXPECT_EQ(classify({0xC0, 0x05}).program, 5);
    EXPECT_EQ(classify({0xCF, 0x7F}).program, 127);
    EXPECT_EQ(classify({0xC0, 0x05}, channel3).kind, DisplayEvent::Kind::ignored);
    EXPECT_EQ(classify({0xC2, 0x05, 0x00}, channel3).kind, DisplayEvent::Kind::ignored);
    for (const Bytes& bytes :
         {Bytes{0xF0, 0x77, 0x01, 0x02, 0xF7}, Bytes{0xF0, 0x78, 0x01, 0x75, 0xF7},
          Bytes{0xF0, 0x77, 0xF7}, Bytes{0x90, 0x40, 0x7F}, Bytes{0xB0, 0x07}, Bytes{0xC0}, Bytes{},
          Bytes{0xC0, 0x90}}) // a status byte where the program number belongs
        EXPECT_EQ(classify(bytes).kind, DisplayEvent::Kind::ignored) << dokatest::hex(bytes);
    EXPECT_EQ(classifyDisplayMessage(nullptr, 20, 0).kind, DisplayEvent::Kind::ignored);
}

// A name in capitals (ASCII letters only), eight characters a line counted in UTF-8
// characters, or in bytes when the name is not UTF-8; without a name, the program's number.
TEST(DisplayProtocol, programLinesShowTheNameInCapitalsCutBetweenCharactersOrItsNumber) {
    ProgramNames names;
    names[0] = "abcdefg\xC3\xA9hijklmn\xE2\x82\xACxyz"; // é at the 8th, € at the 16th place
    names[1] = "\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E"
               "\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E\xF0\x9D\x84\x9E"; // 4 bytes each
    names[2] = "Caf\xE9 \xA9 Strings"; // Latin-1: one byte is one character
    names[3] = "Strings and more!";
    const struct {
        int program;
        std::string line1, line2;
    } cases[] = {{0, "ABCDEFG\xC3\xA9", "HIJKLMN\xE2\x82\xAC"},
                 {1, std::string(names[1].c_str(), 8 * 4), "\xF0\x9D\x84\x9E"},
                 {2, "CAF\xE9 \xA9 S", "TRINGS"},
                 {3, "STRINGS ", "AND MORE"},
                 {4, "PROGRAM ", "005"},
                 {127, "PROGRAM ", "128"}};
    for (const auto& c : cases) {
        DisplayLines lines;
        ASSERT_TRUE(formatProgramLines(c.program, names, lines)) << c.program;
        EXPECT_EQ(lines.line1.c_str(), c.line1) << c.program;
        EXPECT_EQ(lines.line2.c_str(), c.line2) << c.program;
    }
    DisplayLines lines;
    EXPECT_FALSE(formatProgramLines(-1, names, lines));
    EXPECT_FALSE(formatProgramLines(128, names, lines));
}

// Quotes and backslashes escaped, control bytes and what could end a script as \u escapes,
// each byte that is not UTF-8 (a stray one, a cut sequence) as U+FFFD.
TEST(WebViewContent, jsonEscapesQuotesControlBytesMarkupAndBytesThatAreNotUtf8) {
    WebViewState state{"a\"\\\x01\x7F</script>", "\xC3\xA9\xFF\xE2\x82", 4, 15, "open"};
    EXPECT_EQ(webViewJson(state), R"({"line1":"a\"\\\u0001\u007f\u003c/script\u003e","line2":")"
                                  "\xC3\xA9"
                                  R"(\ufffd\ufffd\ufffd","program":5,"channel":16,)"
                                  R"("input":"open"})");
    state.program = -1;
    state.channel = kReceiveChannelOmni;
    const std::string event = webViewEvent(state);
    const std::string tail = R"(,"program":null,"channel":"omni","input":"open"})"
                             "\n\n";
    EXPECT_EQ(event.substr(0, 7) + event.substr(event.size() - tail.size()), "data: {" + tail);
}

// The page shows the state before its script runs: one character a cell and eight cells a
// line, as the display has them; markup stays text; only its one style and script run.
TEST(WebViewContent, pageShowsEachCharacterInItsCellAsTextAndCarriesTheNonce) {
    const WebViewState state{"<b>&\"'", "Caf\xC3\xA9\xFF\xE2\x82\xAC!\x01more", -1, 4, "<open>"};
    const std::string page = webViewPage(state, "n0nce");
    const std::regex cell(R"(<span class="cell">([^<]*)</span>)");
    std::string cells;
    for (std::sregex_iterator it(page.begin(), page.end(), cell), end; it != end; ++it)
        cells += (*it)[1].str() + "|";
    EXPECT_EQ(cells,
              "&lt;|b|&gt;|&amp;|&quot;|&#39;| | |C|a|f|\xC3\xA9|\xEF\xBF\xBD|\xE2\x82\xAC|!|"
              "\xEF\xBF\xBD|");
    EXPECT_NE(page.find(">Channel 5<"), std::string::npos);
    EXPECT_NE(page.find(">MIDI input: &lt;open&gt;<"), std::string::npos);
    EXPECT_EQ(page.find("<b>"), std::string::npos);
    const std::regex tag("<(style|script)[ >]|style=|nonce=\"n0nce\"");
    std::string tags;
    for (std::sregex_iterator it(page.begin(), page.end(), tag), end; it != end; ++it)
        tags += it->str() + "|";
    EXPECT_EQ(tags, "<style |nonce=\"n0nce\"|<script |nonce=\"n0nce\"|");
}
