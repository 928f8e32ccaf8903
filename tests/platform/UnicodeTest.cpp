#include "platform/OxString.h"
#include "platform/OxUnicodeUtils.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using Lk::OxString;
using Lk::OxUnicodeUtils;

namespace {

// Decodes from a heap block of exactly these bytes, so a read past them is caught by ASan.
std::pair<int, unsigned> decode(std::vector<unsigned char> bytes, int budget) {
    unsigned cp = 0xDEAD;
    const int used = OxUnicodeUtils::convert8to32(bytes.data(), budget, &cp);
    return {used, used > 0 ? cp : 0xDEAD};
}

std::vector<unsigned char> encode(unsigned cp) {
    unsigned char out[4] = {};
    const int n = OxUnicodeUtils::convert32to8(cp, out);
    return std::vector<unsigned char>(out, out + n);
}

} // namespace

TEST(OxUnicodeUtils, decodesOneCharacterWithinItsByteBudget) {
    using P = std::pair<int, unsigned>;
    EXPECT_EQ(P(1, 0x80), decode({0x80}, 1));
    EXPECT_EQ(P(1, 0xC3), decode({0xC3, 0x00}, 2)); // the NUL then ends the text
    EXPECT_EQ(P(0, 0xDEAD), decode({0xC3}, 1));
    EXPECT_EQ(P(0, 0xDEAD), decode({0xF0, 0x9F, 0x8E}, 3));
    EXPECT_EQ(P(2, 0x82), decode({0xE2, 0x82, 0x00}, 3));
    EXPECT_EQ(P(1, 0xF8), decode({0xF8, 0x80}, 2));
    EXPECT_EQ(P(0, 0xDEAD), decode({0x00}, 5));
    std::vector<unsigned char> one{'a'};
    unsigned cp = 0;
    EXPECT_EQ(0, OxUnicodeUtils::convert8to32(one.data() + 1, 0, &cp)); // reads nothing
    EXPECT_EQ(0, OxUnicodeUtils::convert8to32(nullptr, 4, &cp));
}

TEST(OxUnicodeUtils, countingCountsATruncatedTailThatConvertingDrops) {
    const std::vector<unsigned char> cut{'a', 0xE2, 0x82};
    EXPECT_EQ(2, OxUnicodeUtils::convert8to32(cut.data(), nullptr, 3));
    unsigned out[4] = {9, 9, 9, 9};
    EXPECT_EQ(1, OxUnicodeUtils::convert8to32(cut.data(), out, 3));
    EXPECT_EQ(unsigned('a'), out[0]);
    EXPECT_EQ(0u, out[1]);

    const std::vector<unsigned char> nulInside{'a', 0xC3, 0, 'd'};
    EXPECT_EQ(2, OxUnicodeUtils::convert8to32(nulInside.data(), nullptr, 4));
    EXPECT_EQ(2, OxUnicodeUtils::convert8to32(nulInside.data(), out, 4));
    EXPECT_EQ(0xC3u, out[1]);
    EXPECT_EQ(0, OxUnicodeUtils::convert8to32(nulInside.data(), out, 0));
    EXPECT_EQ(0u, out[0]);
    EXPECT_EQ(0, OxUnicodeUtils::convert8to32(nullptr, out, 4));
}

TEST(OxUnicodeUtils, encodesByCodePointRange) {
    using B = std::vector<unsigned char>;
    EXPECT_EQ(B{}, encode(0));
    EXPECT_EQ((B{0xC2, 0x80}), encode(0x80));
    EXPECT_EQ((B{0xE0, 0xA0, 0x80}), encode(0x800));
    EXPECT_EQ((B{0xEF, 0xBF, 0xBF}), encode(0xFFFF));
    EXPECT_EQ((B{0xF0, 0x90, 0x80, 0x80}), encode(0x10000));
    EXPECT_EQ((B{0xF4, 0x8F, 0xBF, 0xBF}), encode(0x10FFFF));

    const unsigned text[] = {'C', 0xE9, 0x20AC, 0x1F3B9, 0, 'x'};
    EXPECT_EQ(10, OxUnicodeUtils::convert32to8(text, nullptr, 6)); // stops at the 0
    unsigned char out[8];
    EXPECT_EQ(3, OxUnicodeUtils::convert32to8(text, out, 2));
    EXPECT_STREQ("C\xC3\xA9", reinterpret_cast<const char*>(out));
}

TEST(OxString, wideFormRoundTripsThroughTheWideConstructor) {
    const OxString s("Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB9");
    const std::wstring wide = L"Caf\u00E9 \u20AC \U0001F3B9";
    EXPECT_EQ(wide, s.toWChar());
    const OxString back(wide.c_str(), OxString::WHOLE);
    EXPECT_TRUE(back.equals(s));
    EXPECT_EQ(s.length(), back.capacity());
    EXPECT_STREQ("Caf\xC3\xA9", OxString(wide.c_str(), 4).c_str());
    EXPECT_EQ(3, OxString(static_cast<const wchar_t*>(nullptr), 5, 3).capacity());

    OxString changed(s);
    changed.append('!');
    EXPECT_EQ(wide + L"!", changed.toWChar());
    EXPECT_EQ(wide, s.toWChar());
    EXPECT_EQ(std::wstring(), OxString().toWChar());

    // Invalid bytes decode the same however much room follows the text.
    const OxString exact("Caf\xC3");
    const OxString roomy("Caf\xC3", OxString::WHOLE, 16);
    EXPECT_EQ(std::wstring(L"Caf\u00C3"), exact.toWChar());
    EXPECT_EQ(std::wstring(L"Caf\u00C3"), roomy.toWChar());
    EXPECT_EQ(std::wstring(L"\u0080"), OxString("\x80").toWChar());
}

TEST(OxUnicodeUtils, acceptsOnlyWellFormedUTF8) {
    const auto valid = [](const std::string& s) {
        return OxUnicodeUtils::isValidUTF8(s.data(), static_cast<int>(s.size()));
    };
    EXPECT_TRUE(valid(""));
    EXPECT_TRUE(valid("plain ASCII"));
    EXPECT_TRUE(valid("caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB9 \xF4\x8F\xBF\xBF"));
    EXPECT_FALSE(valid("caf\xE9"));              // Latin-1
    EXPECT_FALSE(valid("\xA9"));                 // stray continuation byte
    EXPECT_FALSE(valid("\xC3"));                 // cut short
    EXPECT_FALSE(valid("\xE2\x82"));             // cut short
    EXPECT_FALSE(valid("\xC3\x41"));             // not a continuation byte
    EXPECT_FALSE(valid("\xC0\xAF"));             // overlong '/'
    EXPECT_FALSE(valid("\xE0\x80\xAF"));         // overlong '/'
    EXPECT_FALSE(valid("\xF0\x80\x80\xAF"));     // overlong '/'
    EXPECT_FALSE(valid("\xED\xA0\x80"));         // surrogate
    EXPECT_FALSE(valid("\xF4\x90\x80\x80"));     // above U+10FFFF
    EXPECT_FALSE(valid("\xF8\x88\x80\x80\x80")); // five-byte form
    EXPECT_TRUE(OxUnicodeUtils::isValidUTF8("\xC3\xA9x", 2)) << "only the given bytes count";
    EXPECT_FALSE(OxUnicodeUtils::isValidUTF8("\xC3\xA9", 1));
}
