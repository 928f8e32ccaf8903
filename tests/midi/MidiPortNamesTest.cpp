#include "midi/MidiPortNames.h"

#include <gtest/gtest.h>

#include <string>

using namespace Lk;

namespace {

struct Case {
    const char* a;
    const char* b;
    const char* expected;
};

} // namespace

TEST(PortNames, numberedPrefixIsRemovedOnlyWhenDigitsAreFollowedByADash) {
    const Case cases[] = {{"2- USB Keys", "", "USB Keys"},
                          {"10-Synth", "", "Synth"},
                          {"-Synth", "", "-Synth"},
                          {"2 - Keys", "", "2 - Keys"},
                          {"123", "", "123"},
                          {"USB Keys", "", "USB Keys"},
                          {"7-", "", ""}};
    for (const Case& c : cases)
        EXPECT_STREQ(RemoveWindowsNumberedPrefix(c.a).c_str(), c.expected) << c.a;
}

TEST(PortNames, normalisedNameDropsTheWordsOfItsOwnDirectionOnly) {
    // b: "in" for an input, "" for an output
    const Case cases[] = {{"From Keys", "in", "Keys"},
                          {"Keys In", "in", "Keys"},
                          {"Keys Input", "in", "Keys"},
                          {"To Keys", "", "Keys"},
                          {"Keys Out", "", "Keys"},
                          {"Keys Output", "", "Keys"},
                          {"FROM Keys IN", "in", "Keys"},
                          {"Keys Out", "in", "Keys Out"},
                          {"Keys In", "", "Keys In"},
                          {"2- From Keys In", "in", "Keys"},
                          {"Keys Input In", "in", "Keys"},
                          {" Keys In ", "in", " Keys In "},
                          {"In", "in", "In"},
                          {" In", "in", ""}};
    for (const Case& c : cases)
        EXPECT_STREQ(getNormalizedMIDIPortName(c.a, *c.b != 0).c_str(), c.expected) << c.a;
}

TEST(PortNames, commonBeginningCountsOnlyRunsOfAtLeastHalfTheFirstText) {
    EXPECT_EQ(GetLengthOfCommonBeginning(L"Keys In", L"Keys Out", 0), 5);
    EXPECT_EQ(GetLengthOfCommonBeginning(L"Keys In", L"Keys Out", 1), 4);
    EXPECT_EQ(GetLengthOfCommonBeginning(L"Keys", L"Kettle", 0), 2);
    EXPECT_EQ(GetLengthOfCommonBeginning(L"Keyboard", L"Key", 0), 0);
    EXPECT_EQ(GetLengthOfCommonBeginning(L"Café", L"Café Out", 0), 4);
    EXPECT_EQ(GetLengthOfCommonBeginning(nullptr, L"Keys", 1), 0);
    EXPECT_EQ(GetLengthOfCommonBeginning(L"Keys", nullptr, 1), 0);
    EXPECT_EQ(GetLengthOfCommonBeginning(L"", L"Keys", 0), 0);
    // trimming a name of blanks only stops at its start
    EXPECT_EQ(GetLengthOfCommonBeginning(L"   ", L"   x", 1), 0);
}

TEST(PortNames, nonCommonPrefixIsSkippedWhereTheRestsShareHalfOfBothTexts) {
    const wchar_t *a = L"USB Keys In", *b = L"Keys Out";
    const wchar_t *startA = a, *startB = b;
    ASSERT_EQ(RemoveNonCommonPrefix(&a, &b, 0), 1);
    EXPECT_EQ(a - startA, 4);
    EXPECT_EQ(b - startB, 0);

    const wchar_t *midi = L"MIDI Keys In", *keys = L"Keys Out";
    EXPECT_EQ(RemoveNonCommonPrefix(&midi, &keys, 0), 0);
    EXPECT_STREQ(midi, L"MIDI Keys In");
    EXPECT_STREQ(keys, L"Keys Out");

    const wchar_t *blanksA = L"USB  Keys", *blanksB = L"  Keys";
    ASSERT_EQ(RemoveNonCommonPrefix(&blanksA, &blanksB, 1), 1);
    EXPECT_STREQ(blanksA, L"Keys");
    EXPECT_STREQ(blanksB, L"Keys");

    const wchar_t *empty = L"", *none = nullptr, *text = L"Keys";
    EXPECT_EQ(RemoveNonCommonPrefix(&empty, &text, 1), 0);
    EXPECT_EQ(RemoveNonCommonPrefix(&text, &empty, 1), 0);
    EXPECT_EQ(RemoveNonCommonPrefix(&none, &text, 1), 0);
    EXPECT_EQ(RemoveNonCommonPrefix(nullptr, &text, 1), 0);
    EXPECT_STREQ(text, L"Keys");
}

TEST(PortNames, commonStringIsTheSharedPartOfTwoHalvesOfOneDevice) {
    const Case cases[] = {{"USB Keys In", "Keys Out", "Keys"},
                          {"Keys 1", "Keys 2", ""},
                          {"Keys In", "Keys Out", "Keys"},
                          {"Keys", "Keys 2", "Keys"},
                          {"Drum", "Bass", ""},
                          {"Piano", "Organ", "an"},
                          {"2- Keys In", "3- Keys Out", "Keys"},
                          {"Café In", "Café Out", "Café"},
                          {"", "Keys", ""},
                          {"   ", "   ", ""}};
    for (const Case& c : cases)
        EXPECT_STREQ(getPortNameCommonString(c.a, c.b).c_str(), c.expected) << c.a << "/" << c.b;

    const OxString shared("Keys In");
    EXPECT_STREQ(getPortNameCommonString(shared, shared).c_str(), "Keys In");
    const OxString a(std::string(3000, 'a').c_str()), b(std::string(3000, 'b').c_str());
    EXPECT_TRUE(getPortNameCommonString(a, b).isEmpty());
    EXPECT_EQ(getPortNameCommonString(a, a + " In").length(), 3000);
}
