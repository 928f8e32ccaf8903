#include "platform/OxString.h"
#include "platform/OxUnicodeUtils.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <string>
#include <tuple>
#include <utility>

using Lk::OxString;
using Lk::OxUnicodeUtils;

// This binary is linked with --wrap=malloc, so every allocation of the string code is
// counted here.
namespace {
std::atomic<int> mallocCalls{0};
}
extern "C" void* __real_malloc(size_t size);
extern "C" void* __wrap_malloc(size_t size) {
    ++mallocCalls;
    return __real_malloc(size);
}

namespace {

// Initialised before the string code's own statics (this file links first).
const OxString copiedDuringStaticInit(OxString::empty);

} // namespace

TEST(OxString, copiesShareTheTextWithoutAllocatingUntilOneChanges) {
    const OxString original("port name");
    const int before = mallocCalls;
    OxString copy(original);
    OxString assigned;
    assigned = original;
    const OxString passed = [](OxString s) { return s; }(original);
    EXPECT_EQ(before, mallocCalls.load());
    EXPECT_EQ(original.c_str(), passed.c_str());

    copy.append('!');
    EXPECT_EQ(before + 1, mallocCalls.load());
    EXPECT_NE(original.c_str(), copy.c_str());
    EXPECT_STREQ("port name!", copy.c_str());
    EXPECT_STREQ("port name", original.c_str());

    original.setCapacity(20); // const, yet detaches: the shared text is never widened in place
    EXPECT_NE(assigned.c_str(), original.c_str());
    assigned.clear(); // a shared text is dropped, not truncated
    EXPECT_STREQ("port name", passed.c_str());
    EXPECT_STREQ("port name", original.c_str());
}

TEST(OxString, emptyResultsShareTheOneEmptyText) {
    const char* empty = OxString::empty.c_str();
    EXPECT_EQ(empty, copiedDuringStaticInit.c_str());
    EXPECT_EQ(empty, OxString().c_str());
    EXPECT_EQ(empty, OxString("abc").substr(0, 0).c_str());
    EXPECT_EQ(empty, OxString(" \t\r\n").trim().c_str());
    EXPECT_EQ(empty, OxString::fromChar(0).c_str());
    OxString shared = OxString::empty;
    shared.append("x", 1);
    EXPECT_STREQ("", OxString::empty.c_str());
}

TEST(OxString, capacityNeverShrinksAndAnUnsharedBlockWithRoomIsReused) {
    OxString s("abc");
    s.setCapacity(20);
    s.setCapacity(4);
    EXPECT_EQ(20, s.capacity());
    const char* inPlace = s.c_str();
    s.eraseWithNewCapacity(8);
    EXPECT_EQ(inPlace, s.c_str());
    EXPECT_EQ(8, OxString(static_cast<const char*>(nullptr), OxString::WHOLE, 8).capacity());
}

TEST(OxString, appendingOrAssigningItselfOrAPieceOfItselfIsSafe) {
    OxString s("abc");
    s += s;
    EXPECT_STREQ("abcabc", s.c_str());
    s.append(s.c_str() + 4, 2); // the source lives in the block that append replaces
    EXPECT_STREQ("abcabcbc", s.c_str());
    OxString copy(s);
    s.append(copy.c_str(), 3);
    EXPECT_STREQ("abcabcbcabc", s.c_str());
    s.assign(s.c_str() + 3, 4);
    EXPECT_STREQ("abcb", s.c_str());
    s.append(nullptr, 5);
    EXPECT_STREQ("abcb", s.c_str());
}

TEST(OxString, numbersParseUpToABlankAfterTheDigitsAndWrapBeyond32Bits) {
    EXPECT_STREQ("-2147483648", OxString::fromInt(-2147483647 - 1).c_str());
    EXPECT_STREQ("0", OxString::fromInt(0).c_str());
    EXPECT_STREQ("FFFFFFFF", OxString::toHex(0xFFFFFFFF, 12).c_str());

    // Leading blanks are skipped, the first blank after the digits ends the number, and
    // beyond 32 bits the value wraps.
    const std::tuple<const char*, bool, int> ints[] = {
        {"  -12 ", true, -12},
        {"-", true, 0},
        {"- 5", true, 0},
        {"12 abc", true, 12},
        {"", false, 99},
        {"1x", false, 99},
        {"+5", false, 99},
        {"4294967296", true, 0},
        {"2147483648", true, -2147483647 - 1},
        {"-99999999999999999999", true, -1661992959}};
    for (const auto& [text, ok, value] : ints) {
        int v = 99; // left untouched on failure
        EXPECT_EQ(ok, OxString(text).parseInt(v)) << text;
        EXPECT_EQ(value, v) << text;
    }
    unsigned h = 0;
    EXPECT_TRUE(OxString(" ff ").parseHex(h));
    EXPECT_EQ(255u, h);
    EXPECT_TRUE(OxString("xx12ff").parseHex(h, 2, 2));
    EXPECT_EQ(0x12u, h);
    EXPECT_FALSE(OxString("12").parseHex(h, 2));
    EXPECT_FALSE(OxString("0x10").parseHex(h));
}

TEST(OxString, naturalOrderComparesDigitRunsOfAnyLengthByValue) {
    // {a, b, ignoreCase, order of a against b}
    const std::tuple<const char*, const char*, int, int> cases[] = {
        {"port 2", "port 10", 0, -1},
        {"a007", "a7", 0, 0},
        {"a007b", "a7c", 0, -1},
        {"Port 2", "port 10", 1, -1},
        {"10 b", "9 b", 1, 1},
        {"ab1", "abc2", 0, -1}, // non-digit prefixes of different length
        {"", "a", 0, -1},
        {"x4294967296", "x1", 0, 1},
        {"a12345678901234567891", "a12345678901234567890", 0, 1},
        {"a00012345678901234567890", "a12345678901234567890", 0, 0}};
    for (const auto& [a, b, ignoreCase, order] : cases) {
        EXPECT_EQ(order, OxString(a).compareIndexed(OxString(b), ignoreCase)) << a;
        EXPECT_EQ(-order, OxString(b).compareIndexed(OxString(a), ignoreCase)) << b;
    }
}

TEST(OxString, caseInsensitiveComparisonTreatsHighBytesAsNegative) {
    EXPECT_EQ(-1, OxString("\xE9").compareWith(OxString("a"), 1));
    EXPECT_GT(OxString("\xE9").compareWith(OxString("a"), 0), 0);
    EXPECT_EQ(-1, OxString("Ab").compareWith(OxString("aBc"), 1));
    EXPECT_FALSE(OxString("a") == static_cast<const char*>(nullptr));
}

TEST(OxString, piecesAndSearchesClampOutOfRangeArgumentsAndFindNothingEmpty) {
    const OxString s("Midi Port midi");
    EXPECT_STREQ("midi", s.substr(10, -1).c_str());
    EXPECT_STREQ("", s.substr(14, 2).c_str());
    EXPECT_STREQ("di", s.substr(12, 100).c_str());
    EXPECT_STREQ("\x7F y\xA0", OxString("\x01\x7F y\xA0 ").trim().c_str());
    EXPECT_EQ(s.c_str(), s.trim().c_str());
    EXPECT_FALSE(s.startsWith(OxString()) || s.endsWith(OxString()) || s.contains(OxString()));
    EXPECT_EQ(5, s.indexOf(OxString("PORT"), 1));
}

TEST(OxString, formatGivesTheWholeTextOrNothingFrom32768Bytes) {
    for (const int size : {5000, 32767, 32768}) {
        const std::string text(size, 'x');
        EXPECT_EQ(size < 32768 ? text : "", OxString::format("%s", text.c_str()).c_str());
    }
}

TEST(OxString, pathsSplitAtTheLastSlashAndTheExtensionAtTheLastDotOfTheName) {
    // {path, directory, file name, file name without extension}
    const std::tuple<const char*, const char*, const char*, const char*> cases[] = {
        {"/a/b/", "/a", "", ""},
        {"/a", "/", "a", "a"},
        {"/", "", "", ""},
        {"a", "", "a", "a"},
        {"dir.x/file", "dir.x", "file", "file"},
        {"a/b.tar.gz", "a", "b.tar.gz", "b.tar"}};
    for (const auto& [text, dir, name, bareName] : cases) {
        const OxString path(text);
        EXPECT_STREQ(dir, path.extractFileDir().c_str()) << text;
        EXPECT_STREQ(name, path.extractFileName().c_str()) << text;
        EXPECT_STREQ(bareName, path.extractFileNameWithoutExtension().c_str()) << text;
    }
    EXPECT_STREQ("a/s.fnst", OxString("a/s").changeFileExt(OxString(".fnst")).c_str());
    EXPECT_STREQ("a/s.fnst", OxString("a/s.ini").changeFileExt(OxString(".fnst")).c_str());
}

// The conversions are checked through the string's wide form, their only user: under ASan,
// reading past the text or converting more units than were counted shows here.
TEST(OxString, wideFormRoundTripsEveryEncodedLength) {
    const OxString s("Caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB9 \xC2\x80\xE0\xA0\x80\xEF\xBF\xBF"
                     "\xF0\x90\x80\x80\xF4\x8F\xBF\xBF");
    const std::wstring wide = L"Caf\u00E9 \u20AC \U0001F3B9 \u0080\u0800\uFFFF\U00010000\U0010FFFF";
    EXPECT_EQ(wide, s.toWChar());
    const OxString back(wide.c_str(), OxString::WHOLE);
    EXPECT_TRUE(back.equals(s));
    EXPECT_EQ(s.length(), back.capacity());
    EXPECT_STREQ("Caf\xC3\xA9", OxString(wide.c_str(), 4).c_str());
    const wchar_t cutAtZero[] = {'C', 0, 'x'};
    EXPECT_STREQ("C", OxString(cutAtZero, 3).c_str());
    EXPECT_EQ(3, OxString(static_cast<const wchar_t*>(nullptr), 5, 3).capacity());

    OxString changed(s);
    changed.append('!');
    EXPECT_EQ(wide + L"!", changed.toWChar());
    EXPECT_EQ(wide, s.toWChar());
    EXPECT_EQ(std::wstring(), OxString().toWChar());
}

TEST(OxString, malformedBytesDecodeAlikeWhateverRoomFollowsTheText) {
    const std::pair<const char*, const wchar_t*> cases[] = {{"Caf\xC3", L"Caf\u00C3"},
                                                            {"\x80", L"\u0080"},
                                                            {"a\xE2\x82", L"a\u0082"},
                                                            {"\xF8\x80", L"\u00F8\u0080"}};
    for (const auto& [bytes, wide] : cases) {
        EXPECT_EQ(std::wstring(wide), OxString(bytes).toWChar()) << bytes;
        EXPECT_EQ(std::wstring(wide), OxString(bytes, OxString::WHOLE, 16).toWChar()) << bytes;
    }
}

TEST(OxUnicodeUtils, acceptsOnlyWellFormedUTF8) {
    const auto valid = [](const std::string& s) {
        return OxUnicodeUtils::isValidUTF8(s.data(), static_cast<int>(s.size()));
    };
    for (const char* good :
         {"", "plain ASCII", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x8E\xB9 \xF4\x8F\xBF\xBF"})
        EXPECT_TRUE(valid(good)) << good;
    // Latin-1, a stray continuation byte, cut short, no continuation byte, overlong '/' in
    // every length, a surrogate, above U+10FFFF, a five-byte form
    for (const char* bad :
         {"caf\xE9", "\xA9", "\xE2\x82", "\xC3\x41", "\xC0\xAF", "\xE0\x80\xAF", "\xF0\x80\x80\xAF",
          "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xF8\x88\x80\x80\x80"})
        EXPECT_FALSE(valid(bad)) << bad;
    EXPECT_TRUE(OxUnicodeUtils::isValidUTF8("\xC3\xA9x", 2)) << "only the given bytes count";
    EXPECT_FALSE(OxUnicodeUtils::isValidUTF8("\xC3\xA9", 1));
}
