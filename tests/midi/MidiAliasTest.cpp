// Aliases: their entries in the settings, the manager that keeps them and the port names
// they match.
#include "midi/MidiPortNames.h"
#include "tests/midi/support/MidiManagerFixture.h"
#include "tests/support/TempDir.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace Lk;

namespace {

void writeEntry(TIniFile& ini, int k, const OxString& name, const OxString& device) {
    ini.WriteString(SECTION_ALIAS, TMidiAlias::nameKey(k), name);
    ini.WriteString(SECTION_ALIAS, TMidiAlias::deviceKey(k), device);
}

// The device entry saved with the alias of that name; empty when there is none.
std::string savedDevice(const TIniFile& ini, const char* name) {
    for (int k = 0; ini.ValueExists(SECTION_ALIAS, TMidiAlias::nameKey(k)); ++k)
        if (ini.ReadString(SECTION_ALIAS, TMidiAlias::nameKey(k), "").equals(name))
            return ini.ReadString(SECTION_ALIAS, TMidiAlias::deviceKey(k), "").c_str();
    return "";
}

// Counts the notifications and runs the test's code from inside each.
struct AliasListener : TMidiAliasChangeListener {
    void OnMidiAliasListChanged() override {
        ++calls;
        onChange();
    }
    int calls = 0;
    std::function<void()> onChange = [] {};
};

class MidiAliasManagerTest : public MidiManagerFixture {
protected:
    void SetUp() override {
        MidiManagerFixture::SetUp();
        aliases->AddAliasChangeListener(&counter);
    }
    void TearDown() override {
        TMidiAliasManager::instance()->RemoveAliasChangeListener(&counter);
        MidiManagerFixture::TearDown();
    }

    // Loads the settings and saves them into a fresh object.
    TIniFile loadAndSave(TIniFile& ini) {
        aliases->loadFromIniFile(ini);
        TIniFile saved("unused.ini");
        aliases->saveToIniFile(saved);
        return saved;
    }
    const TMidiAlias* alias(const char* name, TAliasType type) {
        const TMidiAlias* a = aliases->GetAlias(aliases->IndexOf(name, type));
        EXPECT_NE(a, nullptr) << name;
        return a;
    }

    AliasListener counter;
};

} // namespace

// What the alias chooser shows and pairs.
TEST(PortNames, normalisedNameDropsNumberingAndTheWordsOfItsOwnDirectionOnly) {
    const struct {
        const char* name;
        int isInput;
        const char* expected;
    } cases[] = {{"From Keys", 1, "Keys"},
                 {"Keys Output", 0, "Keys"},
                 {"FROM Keys IN", 1, "Keys"},
                 {"Keys Out", 1, "Keys Out"},
                 {"2- From Keys In", 1, "Keys"},
                 {"2 - Keys", 0, "2 - Keys"},
                 {"-Synth", 0, "-Synth"},
                 {"Keys Input In", 1, "Keys"},
                 {" Keys In ", 1, " Keys In "},
                 {"In", 1, "In"},
                 {" In", 1, ""}};
    for (const auto& c : cases)
        EXPECT_STREQ(getNormalizedMIDIPortName(c.name, c.isInput).c_str(), c.expected) << c.name;

    const TMidiAlias in("Keys In", "", atIn), out("keys OUT", "", atOut);
    EXPECT_TRUE(in.isInOutPairWith(&out));
    EXPECT_FALSE(in.isInOutPairWith(&in));
    EXPECT_FALSE(TMidiAlias("Keys Out", "", atIn).isInOutPairWith(&out));
    EXPECT_FALSE(in.isInOutPairWith(nullptr));
}

TEST(MidiAliasEntry, entriesAreWrittenAsTypeColonDeviceAndLoadBackUnchangedOrCutShort) {
    dokatest::TempDir dir("aliasentry");
    TIniFile ini(dir.file("settings.ini").c_str());
    TMidiAlias thru("MIDI Thru", "", atOut);
    thru.flags = mafNonePersistent;
    std::string longText;
    for (int i = 0; i < 1300; ++i)
        longText += "\xC3\xA9"; // é; 2600 bytes fit into what one settings line keeps
    const TMidiAlias saved[] = {
        {"MIDI Input", "USB Keys: Port 1", atIn},
        thru,
        {"\"Quoted\" In\n[Current]\r\nName1=x \\", "Port\nDevice1=1:y", atIn},
        {("Long " + longText).c_str(), ("Port " + longText).c_str(), atOut},
        {("Long " + std::string(20000, 'x')).c_str(), "Port", atOut}};
    for (int k = 0; k < 5; ++k)
        saved[k].saveToIniFile(ini, k);
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Device0", "").c_str(), "1:USB Keys: Port 1");
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Device1", "").c_str(), "2:(none persistent)");

    // As a restart reads them.
    ASSERT_TRUE(ini.WriteToFile());
    TIniFile reread(ini.GetFileName());
    ASSERT_TRUE(reread.ReadFromFileNoException());
    EXPECT_FALSE(reread.ValueExists("Current", "Name1"));
    EXPECT_FALSE(reread.ValueExists(SECTION_ALIAS, "Name5"));
    for (int k = 0; k < 5; ++k) {
        const TMidiAlias loaded(reread.ReadString(SECTION_ALIAS, TMidiAlias::nameKey(k), ""),
                                reread, k);
        EXPECT_EQ(loaded.type, saved[k].type) << k;
        EXPECT_STREQ(loaded.deviceName.c_str(), saved[k].deviceName.c_str()) << k;
        EXPECT_EQ(loaded.flags, saved[k].flags) << k;
        if (k < 4)
            EXPECT_STREQ(loaded.name.c_str(), saved[k].name.c_str()) << k;
        else // longer than a settings line keeps: cut short, but still an alias
            EXPECT_TRUE(loaded.name.length() > 1000 && saved[k].name.startsWith(loaded.name));
    }
}

TEST(MidiAliasEntry, deviceValuesOfEveryShapeLoadAsTypeAndDevice) {
    const struct {
        const char* value;
        TAliasType type;
        const char* device;
    } cases[] = {
        {"  2 :Keys ", atOut, "Keys"},
        {"2:(NONE PERSISTENT)", atOut, ""},
        {"0:Keys", atNone, "Keys"},
        {"1:Port:A", atIn, "Port:A"},
        {"1:", atIn, ""},
        // malformed: colon first, not a number, out of range, no colon
        {":Keys", atNone, ""},
        {"x:Keys", atNone, ""},
        {"3:Keys", atNone, ""},
        {"Keys", atNone, ""},
    };
    for (const auto& c : cases) {
        TIniFile ini("unused");
        ini.WriteString(SECTION_ALIAS, "Device3", c.value);
        const TMidiAlias alias(" Entry ", ini, 3);
        EXPECT_EQ(alias.type, c.type) << c.value;
        EXPECT_STREQ(alias.deviceName.c_str(), c.device) << c.value;
        EXPECT_EQ(alias.flags, c.value[2] == '(' ? mafNonePersistent : 0u) << c.value;
        EXPECT_STREQ(alias.name.c_str(), "Entry");
    }
}

// Case, blanks and direction in names are the damaged section's case.
TEST_F(MidiAliasManagerTest, lookupMarksTheAliasUsedAndARemovedAliasStaysValid) {
    TMidiAlias* in = aliases->GetAliasByName("MIDI Input", atIn, 1, 0);
    EXPECT_EQ(in->flags, 0u);
    EXPECT_EQ(aliases->GetAliasByName("midi input", atIn, 1, -1), in);
    EXPECT_EQ(in->flags, static_cast<uint32_t>(mafUsed));
    EXPECT_TRUE(aliases->RemoveAlias(aliases->IndexOf("MIDI Input", atIn)));
    EXPECT_FALSE(aliases->RemoveAlias(aliases->GetCount()));
    EXPECT_EQ(in->type, atNone);
}

TEST_F(MidiAliasManagerTest, changesInsideUpdateBracketsAreToldOnceAtTheOutermostEnd) {
    aliases->BeginUpdate();
    aliases->BeginUpdate();
    aliases->AddAlias("A", "Keys", atIn, 0);
    aliases->EndUpdate();
    TMidiAlias* a = aliases->GetAliasByName("A", atIn, 0, 0);
    aliases->SetAliasDevice(a, "Pads");
    EXPECT_EQ(counter.calls, 0);
    aliases->EndUpdate();
    EXPECT_EQ(counter.calls, 1);

    aliases->BeginUpdate();
    aliases->EndUpdate();
    EXPECT_FALSE(aliases->SetAliasDevice(a, "Pads"));
    EXPECT_EQ(counter.calls, 1);
    EXPECT_TRUE(aliases->SetAliasDevice(a, "pads")); // exact comparison here
    EXPECT_EQ(counter.calls, 2);
    aliases->EndUpdate(); // unbalanced: ignored, later changes are still told
    // A listener may change the aliases while it is told.
    counter.onChange = [&] { aliases->GetAliasByName("Nested", atIn, 1, 0); };
    aliases->AddAlias("C", "X", atIn, 0);
    EXPECT_GE(aliases->IndexOf("Nested", atIn), 0);
    EXPECT_EQ(counter.calls, 4); // the change and the nested one
}

TEST_F(MidiAliasManagerTest, savedAliasesAreTheUsedAndOpenOnesAndLeftoverEntriesAreDeleted) {
    plug(1, "Keys");
    plug(0, "Synth");
    plug(0, "Pads");
    // Every known port has a device alias.
    EXPECT_EQ(alias("Keys", atIn)->userID, indexOf("Keys", 1));
    EXPECT_EQ(aliases->IndexOf("Synth", atIn), -1);
    manager->Open(indexOf("Synth", 0), 0, nullptr);
    aliases->SetAliasDevice(aliases->GetAliasByName("MIDI Input", atIn, 1, -1), "Keys");
    aliases->GetAliasByName("Hidden", atOut, 1, mafHidden | mafNonePersistent);
    TIniFile ini("unused.ini");
    for (int k = 0; k <= 5; ++k) // an earlier, longer list
        writeEntry(ini, k, "Old", "1:Old");
    aliases->saveToIniFile(ini);

    // The closed ports' device aliases are not kept; the open one's is.
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Name0", "").c_str(), "Synth");
    EXPECT_EQ(savedDevice(ini, "MIDI Input"), "1:Keys");
    for (const char* gone : {"Name2", "Name5", "Device5"})
        EXPECT_FALSE(ini.ValueExists(SECTION_ALIAS, gone)) << gone;
}

TEST_F(MidiAliasManagerTest, damagedAliasSectionLoadsUpToTheGapAndKeepsBadEntriesInert) {
    TIniFile ini("unused.ini");
    writeEntry(ini, 0, "MIDI Input", "1:Keys");
    writeEntry(ini, 1, " midi input ", "1:Pads"); // the same alias again: rebinds it
    writeEntry(ini, 2, "MIDI Input", "2:Synth");  // the other direction: an alias of its own
    writeEntry(ini, 3, "Broken", "x:Keys");
    // A repeated entry takes its unbound-on-purpose mark along, either way.
    writeEntry(ini, 4, "Out A", "2:(none persistent)");
    writeEntry(ini, 5, "Out A", "2:Synth");
    writeEntry(ini, 6, "Out B", "2:Synth");
    writeEntry(ini, 7, "out b", "2:(none persistent)");
    writeEntry(ini, 8, "  ", "1:Keys"); // an empty name is a gap
    writeEntry(ini, 9, "After Gap", "1:Keys");
    plug(1, "Keys");
    const int before = aliases->GetCount();
    counter.calls = 0;
    const TIniFile saved = loadAndSave(ini);

    EXPECT_EQ(counter.calls, 1);
    EXPECT_EQ(aliases->GetCount(), before + 5);
    EXPECT_STREQ(alias("MIDI Input", atIn)->deviceName.c_str(), "Pads");
    EXPECT_STREQ(alias("MIDI Input", atOut)->deviceName.c_str(), "Synth");
    EXPECT_EQ(aliases->IndexOf("After Gap", atIn), -1);
    // A bad entry never binds to a port and is not written back.
    EXPECT_EQ(alias("Broken", atNone)->userID, -1);
    EXPECT_EQ(savedDevice(saved, "Broken"), "");
    EXPECT_NE(savedDevice(saved, "MIDI Input"), "");
    EXPECT_EQ(alias("Out A", atOut)->flags & mafNonePersistent, 0u);
    EXPECT_STREQ(alias("Out B", atOut)->name.c_str(), "out b");
    EXPECT_EQ(savedDevice(saved, "Out A"), "2:Synth");
    EXPECT_EQ(savedDevice(saved, "out b"), "2:(none persistent)");
}
