#include "midi/MidiAliasRecord.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <string>

using namespace Lk;

namespace {

// Writes the settings to a file and reads them into a fresh object, as a restart would.
TIniFile afterRestart(const TIniFile& ini) {
    EXPECT_TRUE(ini.WriteToFile());
    TIniFile reread(ini.GetFileName());
    EXPECT_TRUE(reread.ReadFromFileNoException());
    return reread;
}

TMidiAlias loadedEntry(TIniFile& ini, int k) {
    return TMidiAlias(ini.ReadString(SECTION_ALIAS, TMidiAlias::nameKey(k), ""), ini, k);
}

class AliasEntryOnDisk : public ::testing::Test {
protected:
    dokatest::TempDir dir{"aliasentry"};
    TIniFile ini{dir.file("settings.ini").c_str()};
};

} // namespace

TEST(MidiAlias, matchesNamesIgnoringCaseButNeverAcrossTypes) {
    TMidiAlias alias("  MIDI Input\t", " USB Keys ", atIn);
    EXPECT_STREQ(alias.deviceName.c_str(), "USB Keys");
    EXPECT_TRUE(alias.SameAs("midi INPUT", atIn));
    EXPECT_FALSE(alias.SameAs("MIDI Input", atOut));
    alias.type = atNone; // removed
    EXPECT_FALSE(alias.SameAs("MIDI Input", atIn));
    EXPECT_TRUE(alias.SameAs("MIDI Input", atNone));
}

TEST(MidiAlias, inOutPairsAreTheTwoDirectionsOfOneNormalisedName) {
    const TMidiAlias in("Keys In", "", atIn), out("keys OUT", "", atOut);
    const TMidiAlias otherIn("From Keys", "", atIn), outWordsIn("Keys Out", "", atIn);
    const TMidiAlias removed("Keys Out", "", atNone);
    EXPECT_TRUE(in.isInOutPairWith(&out));
    EXPECT_TRUE(out.isInOutPairWith(&otherIn));
    EXPECT_FALSE(in.isInOutPairWith(&otherIn)); // same direction
    EXPECT_FALSE(outWordsIn.isInOutPairWith(&out));
    EXPECT_FALSE(in.isInOutPairWith(&removed));
    EXPECT_FALSE(in.isInOutPairWith(nullptr));
}

TEST_F(AliasEntryOnDisk, entriesAreWrittenAsTypeColonDeviceAndLoadBackUnchanged) {
    TMidiAlias input("MIDI Input", "USB Keys: Port 1", atIn);
    input.flags = mafUsed;
    TMidiAlias thru("MIDI Thru", "", atOut);
    thru.flags = mafNonePersistent;
    const TMidiAlias awkward("\"Quoted\" In\n[Current]\r\nName1=x \\", "Port\nDevice1=1:y", atIn);
    std::string longText;
    for (int i = 0; i < 1300; ++i)
        longText += "\xC3\xA9"; // é; 2600 bytes fit into what one settings line keeps
    const TMidiAlias longAlias(("Long " + longText).c_str(), ("Port " + longText).c_str(), atOut);
    const TMidiAlias* const saved[] = {&input, &thru, &awkward, &longAlias};
    for (int k = 0; k < 4; ++k)
        saved[k]->saveToIniFile(ini, k);
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Name0", "").c_str(), "MIDI Input");
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Device0", "").c_str(), "1:USB Keys: Port 1");
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Device1", "").c_str(), "2:(none persistent)");

    TIniFile reread = afterRestart(ini);
    EXPECT_FALSE(reread.ValueExists("Current", "Name1"));
    EXPECT_FALSE(reread.ValueExists(SECTION_ALIAS, "Name4"));
    for (int k = 0; k < 4; ++k) {
        const TMidiAlias loaded = loadedEntry(reread, k);
        EXPECT_STREQ(loaded.name.c_str(), saved[k]->name.c_str()) << k;
        EXPECT_STREQ(loaded.deviceName.c_str(), saved[k]->deviceName.c_str()) << k;
        EXPECT_EQ(loaded.type, saved[k]->type) << k;
        EXPECT_EQ(loaded.flags, saved[k]->flags & mafNonePersistent) << k;
    }
}

TEST_F(AliasEntryOnDisk, overlongNamesLoadCutShortButStillAsAnAlias) {
    const std::string longText(20000, 'x');
    const TMidiAlias alias(("Long " + longText).c_str(), ("Port " + longText).c_str(), atOut);
    alias.saveToIniFile(ini, 0);
    TIniFile reread = afterRestart(ini);
    const TMidiAlias loaded = loadedEntry(reread, 0);
    EXPECT_EQ(loaded.type, atOut);
    EXPECT_TRUE(loaded.name.length() > 1000 && alias.name.startsWith(loaded.name));
    EXPECT_TRUE(loaded.deviceName.length() > 1000 &&
                alias.deviceName.startsWith(loaded.deviceName));
}

TEST(MidiAliasEntry, deviceValuesOfEveryShapeLoadAsTypeAndDevice) {
    struct Case {
        const char* value;
        TAliasType type;
        const char* device;
        bool nonePersistent;
    };
    const Case cases[] = {
        {"1:  Keys ", atIn, "Keys", false},
        {"  2 :Keys", atOut, "Keys", false},
        {"2:(NONE PERSISTENT)", atOut, "", true},
        {"0:Keys", atNone, "Keys", false},
        {"1:Port:A", atIn, "Port:A", false},
        {"1:", atIn, "", false},
        // malformed: no colon, colon first, not a number, out of range
        {":Keys", atNone, "", false},
        {"x:Keys", atNone, "", false},
        {"3:Keys", atNone, "", false},
        {"-1:Keys", atNone, "", false},
        {"1.5:Keys", atNone, "", false},
        {"Keys", atNone, "", false},
        {"1", atNone, "", false},
        {"", atNone, "", false},
    };
    for (const Case& c : cases) {
        TIniFile ini("unused");
        ini.WriteString(SECTION_ALIAS, "Device3", c.value);
        const TMidiAlias alias(" Entry ", ini, 3);
        EXPECT_EQ(alias.type, c.type) << '"' << c.value << '"';
        EXPECT_STREQ(alias.deviceName.c_str(), c.device) << '"' << c.value << '"';
        EXPECT_EQ((alias.flags & mafNonePersistent) != 0, c.nonePersistent) << c.value;
        EXPECT_STREQ(alias.name.c_str(), "Entry");
    }
}

TEST(MidiAliasEntry, reloadingReplacesTypeDeviceAndTheNoneMarkOnly) {
    TIniFile ini("unused");
    ini.WriteString(SECTION_ALIAS, "Device0", "2:(none persistent)");
    ini.WriteString(SECTION_ALIAS, "Device1", "1:Keys");
    TMidiAlias alias("Thru", ini, 0);
    alias.flags |= mafUsed;
    alias.loadFromIniFile(ini, 1);
    EXPECT_EQ(alias.type, atIn);
    EXPECT_STREQ(alias.deviceName.c_str(), "Keys");
    EXPECT_EQ(alias.flags, static_cast<uint32_t>(mafUsed));
    alias.loadFromIniFile(ini, 7); // missing: inert, whatever it was bound to before
    EXPECT_EQ(alias.type, atNone);
    EXPECT_TRUE(alias.deviceName.isEmpty());
}

TEST(MidiAliasList, holdsEachAliasOnceInOrderAndNeverOwnsThem) {
    TMidiAlias a("A", "", atIn), b("B", "", atOut), c("C", "", atOut);
    TMidiAliasList list, other;
    list.Add(&a);
    list.Add(&b);
    list.Add(&a);
    list.Add(static_cast<TMidiAlias*>(nullptr));
    other.Add(&c);
    other.Add(&b);
    list.Add(&other);
    list.Add(&list);
    ASSERT_EQ(list.getCount(), 3);
    EXPECT_EQ(list.GetAlias(2), &c);
    EXPECT_EQ(list.GetAlias(3), nullptr);
    EXPECT_EQ(list.GetAlias(-1), nullptr);

    list.AssignFrom(&list);
    EXPECT_EQ(list.getCount(), 3);
    list.AssignFrom(&other);
    ASSERT_EQ(list.getCount(), 2);
    EXPECT_EQ(list.GetAlias(0), &c);
    list.AssignFrom(nullptr);
    EXPECT_EQ(list.getCount(), 0);
}
