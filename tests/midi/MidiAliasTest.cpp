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

void writeEntry(TIniFile& ini, int k, const OxString& name, const OxString& device) {
    ini.WriteString(SECTION_ALIAS, TMidiAlias::nameKey(k), name);
    ini.WriteString(SECTION_ALIAS, TMidiAlias::deviceKey(k), device);
}

// The device entry saved with the alias of that name; empty when there is none.
OxString savedDevice(const TIniFile& ini, const char* name) {
    for (int k = 0; ini.ValueExists(SECTION_ALIAS, TMidiAlias::nameKey(k)); ++k)
        if (ini.ReadString(SECTION_ALIAS, TMidiAlias::nameKey(k), "").equals(name))
            return ini.ReadString(SECTION_ALIAS, TMidiAlias::deviceKey(k), "");
    return OxString();
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

    AliasListener counter;
};

struct NameCase {
    const char* a;
    const char* b;
    const char* expected;
};

} // namespace

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

TEST(MidiAliasEntry, entriesAreWrittenAsTypeColonDeviceAndLoadBackUnchangedOrCutShort) {
    dokatest::TempDir dir("aliasentry");
    TIniFile ini(dir.file("settings.ini").c_str());
    TMidiAlias input("MIDI Input", "USB Keys: Port 1", atIn);
    input.flags = mafUsed;
    TMidiAlias thru("MIDI Thru", "", atOut);
    thru.flags = mafNonePersistent;
    const TMidiAlias awkward("\"Quoted\" In\n[Current]\r\nName1=x \\", "Port\nDevice1=1:y", atIn);
    std::string longText;
    for (int i = 0; i < 1300; ++i)
        longText += "\xC3\xA9"; // é; 2600 bytes fit into what one settings line keeps
    const TMidiAlias longAlias(("Long " + longText).c_str(), ("Port " + longText).c_str(), atOut);
    const TMidiAlias overlong(("Long " + std::string(20000, 'x')).c_str(), "Port", atOut);
    const TMidiAlias* const saved[] = {&input, &thru, &awkward, &longAlias};
    for (int k = 0; k < 4; ++k)
        saved[k]->saveToIniFile(ini, k);
    overlong.saveToIniFile(ini, 4);
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Name0", "").c_str(), "MIDI Input");
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Device0", "").c_str(), "1:USB Keys: Port 1");
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Device1", "").c_str(), "2:(none persistent)");

    TIniFile reread = afterRestart(ini);
    EXPECT_FALSE(reread.ValueExists("Current", "Name1"));
    EXPECT_FALSE(reread.ValueExists(SECTION_ALIAS, "Name5"));
    for (int k = 0; k < 4; ++k) {
        const TMidiAlias loaded = loadedEntry(reread, k);
        EXPECT_STREQ(loaded.name.c_str(), saved[k]->name.c_str()) << k;
        EXPECT_STREQ(loaded.deviceName.c_str(), saved[k]->deviceName.c_str()) << k;
        EXPECT_EQ(loaded.type, saved[k]->type) << k;
        EXPECT_EQ(loaded.flags, saved[k]->flags & mafNonePersistent) << k;
    }
    // Longer than a settings line keeps: cut short, but still an alias.
    const TMidiAlias cut = loadedEntry(reread, 4);
    EXPECT_EQ(cut.type, atOut);
    EXPECT_TRUE(cut.name.length() > 1000 && overlong.name.startsWith(cut.name));
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

TEST_F(MidiAliasManagerTest, lookupIgnoresCaseAndBlanksButNotTheDirection) {
    TMidiAlias* in = aliases->GetAliasByName("MIDI Input", atIn, 1, 0);
    EXPECT_EQ(in->flags, 0u);
    EXPECT_EQ(aliases->GetAliasByName("  midi input ", atIn, 0, 0), in);
    EXPECT_EQ(aliases->GetAliasByName("MIDI Input", atOut, 0, 0), nullptr);
    EXPECT_EQ(aliases->GetAliasByName("midi input", atIn, 1, -1), in);
    EXPECT_NE(in->flags & mafUsed, 0u);

    const int count = aliases->GetCount();
    EXPECT_TRUE(aliases->RemoveAlias(aliases->IndexOf("MIDI Input", atIn)));
    EXPECT_FALSE(aliases->RemoveAlias(aliases->GetCount()));
    EXPECT_EQ(aliases->GetCount(), count);
    EXPECT_EQ(aliases->IndexOf("MIDI Input", atIn), -1);
    EXPECT_EQ(in->type, atNone); // still valid
}

TEST_F(MidiAliasManagerTest, changesInsideUpdateBracketsAreToldOnceAtTheOutermostEnd) {
    aliases->BeginUpdate();
    aliases->BeginUpdate();
    aliases->AddAlias("A", "Keys", atIn, 0);
    aliases->AddAlias("B", "Synth", atOut, 0);
    aliases->EndUpdate();
    TMidiAlias* a = aliases->GetAliasByName("A", atIn, 0, 0);
    aliases->SetAliasDevice(a, "Pads");
    EXPECT_EQ(counter.calls, 0);
    aliases->EndUpdate();
    EXPECT_EQ(counter.calls, 1);

    aliases->BeginUpdate();
    aliases->EndUpdate();
    EXPECT_EQ(counter.calls, 1);

    EXPECT_FALSE(aliases->SetAliasDevice(a, "Pads"));
    EXPECT_EQ(counter.calls, 1);
    EXPECT_TRUE(aliases->SetAliasDevice(a, "pads")); // exact comparison here
    EXPECT_EQ(counter.calls, 2);
    aliases->EndUpdate(); // unbalanced: ignored, later changes are still told
    aliases->AddAlias("C", "X", atIn, 0);
    EXPECT_EQ(counter.calls, 3);
}

TEST_F(MidiAliasManagerTest, listenersMayChangeAliasesWhileCalled) {
    counter.onChange = [&] {
        if (counter.calls == 1)
            aliases->GetAliasByName("Nested", atIn, 1, 0);
    };
    aliases->AddAlias("A", "Keys", atIn, 0);
    EXPECT_GE(aliases->IndexOf("Nested", atIn), 0);
    EXPECT_EQ(counter.calls, 2); // the first change and the nested one
}

TEST_F(MidiAliasManagerTest, everyKnownPortGetsADeviceAlias) {
    plug(1, "Keys");
    plug(0, "Synth");
    TMidiAlias* keys = aliases->GetAliasByName("Keys", atIn, 0, 0);
    ASSERT_NE(keys, nullptr);
    EXPECT_STREQ(keys->deviceName.c_str(), "Keys");
    EXPECT_EQ(keys->userID, indexOf("Keys", 1));
    EXPECT_NE(aliases->GetAliasByName("Synth", atOut, 0, 0), nullptr);
    EXPECT_EQ(aliases->GetAliasByName("Synth", atIn, 0, 0), nullptr);
}

TEST_F(MidiAliasManagerTest, savedAliasesLoadBackAndLeftoverEntriesAreDeleted) {
    plug(1, "Keys");
    plug(0, "Synth");
    manager->Open(indexOf("Synth", 0), 0, nullptr);
    aliases->SetAliasDevice(aliases->GetAliasByName("MIDI Input", atIn, 1, -1), "Keys");
    aliases->GetAliasByName("Silent", atOut, 1, mafNonePersistent);
    aliases->GetAliasByName("Hidden", atOut, 1, mafHidden | mafNonePersistent);
    TIniFile ini("unused.ini");
    for (int k = 0; k <= 5; ++k) // an earlier, longer list
        writeEntry(ini, k, "Old", "1:Old");
    aliases->saveToIniFile(ini);

    // The closed port's device alias is not kept; the open one's is.
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Name0", "").c_str(), "Synth");
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Name1", "").c_str(), "MIDI Input");
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Device1", "").c_str(), "1:Keys");
    EXPECT_STREQ(ini.ReadString(SECTION_ALIAS, "Device2", "").c_str(), "2:(none persistent)");
    for (const char* gone : {"Name3", "Name5", "Device5"})
        EXPECT_FALSE(ini.ValueExists(SECTION_ALIAS, gone)) << gone;

    OrvoSystem::shutdown();
    aliases = TMidiAliasManager::instance();
    AliasListener loaded;
    aliases->AddAliasChangeListener(&loaded);
    aliases->loadFromIniFile(ini);
    EXPECT_EQ(loaded.calls, 1);
    TMidiAlias* input = aliases->GetAliasByName("MIDI Input", atIn, 0, 0);
    ASSERT_NE(input, nullptr);
    EXPECT_STREQ(input->deviceName.c_str(), "Keys");
    TMidiAlias* silent = aliases->GetAliasByName("Silent", atOut, 0, 0);
    ASSERT_NE(silent, nullptr);
    EXPECT_TRUE(silent->deviceName.isEmpty());
    EXPECT_NE(silent->flags & mafNonePersistent, 0u);
    aliases->RemoveAliasChangeListener(&loaded);
}

TEST_F(MidiAliasManagerTest, damagedAliasSectionLoadsUpToTheGapAndKeepsBadEntriesInert) {
    TIniFile ini("unused.ini");
    writeEntry(ini, 0, "MIDI Input", "1:Keys");
    writeEntry(ini, 1, " midi input ", "1:Pads"); // the same alias again: rebinds it
    writeEntry(ini, 2, "MIDI Input", "2:Synth");  // the other direction: an alias of its own
    writeEntry(ini, 3, "Broken", "x:Keys");
    writeEntry(ini, 4, "Typeless", "Keys");
    writeEntry(ini, 5, "  ", "1:Keys"); // an empty name is a gap
    writeEntry(ini, 6, "After Gap", "1:Keys");
    const int before = aliases->GetCount();
    aliases->loadFromIniFile(ini);

    EXPECT_EQ(counter.calls, 1);
    EXPECT_EQ(aliases->GetCount(), before + 4);
    TMidiAlias* input = aliases->GetAliasByName("MIDI Input", atIn, 0, 0);
    ASSERT_NE(input, nullptr);
    EXPECT_STREQ(input->deviceName.c_str(), "Pads");
    TMidiAlias* output = aliases->GetAliasByName("MIDI Input", atOut, 0, 0);
    ASSERT_NE(output, nullptr);
    EXPECT_STREQ(output->deviceName.c_str(), "Synth");
    EXPECT_EQ(aliases->IndexOf("After Gap", atIn), -1);
    for (const char* bad : {"Broken", "Typeless"}) {
        const TMidiAlias* alias = aliases->GetAlias(aliases->IndexOf(bad, atNone));
        ASSERT_NE(alias, nullptr) << bad;
        EXPECT_TRUE(alias->deviceName.isEmpty()) << bad;
    }

    // Bad entries never bind to a port and are not written back.
    plug(1, "Keys");
    EXPECT_EQ(aliases->GetAlias(aliases->IndexOf("Broken", atNone))->userID, -1);
    TIniFile saved("unused.ini");
    aliases->saveToIniFile(saved);
    EXPECT_TRUE(savedDevice(saved, "MIDI Input").isNotEmpty());
    EXPECT_TRUE(savedDevice(saved, "Broken").isEmpty());
    EXPECT_TRUE(savedDevice(saved, "Typeless").isEmpty());
}

TEST_F(MidiAliasManagerTest, aRepeatedEntryRebindsTheAliasWithItsUnboundOnPurposeMark) {
    TIniFile ini("unused.ini");
    writeEntry(ini, 0, "Out A", "2:(none persistent)");
    writeEntry(ini, 1, "Out A", "2:Synth"); // bound after all
    writeEntry(ini, 2, "Out B", "2:Synth");
    writeEntry(ini, 3, "out b", "2:(none persistent)"); // unbound on purpose after all
    aliases->loadFromIniFile(ini);

    const TMidiAlias* bound = aliases->GetAliasByName("Out A", atOut, 0, 0);
    ASSERT_NE(bound, nullptr);
    EXPECT_STREQ(bound->deviceName.c_str(), "Synth");
    EXPECT_EQ(bound->flags & mafNonePersistent, 0u);
    const TMidiAlias* unbound = aliases->GetAliasByName("Out B", atOut, 0, 0);
    ASSERT_NE(unbound, nullptr);
    EXPECT_STREQ(unbound->name.c_str(), "out b");
    EXPECT_TRUE(unbound->deviceName.isEmpty());
    EXPECT_NE(unbound->flags & mafNonePersistent, 0u);

    // Both are written back as they were read last, the unbound one included.
    TIniFile saved("unused.ini");
    aliases->saveToIniFile(saved);
    EXPECT_STREQ(savedDevice(saved, "Out A").c_str(), "2:Synth");
    EXPECT_STREQ(savedDevice(saved, "out b").c_str(), "2:(none persistent)");
}

TEST(PortNames, normalisedNameDropsNumberingAndTheWordsOfItsOwnDirectionOnly) {
    // b: "in" for an input, "" for an output
    const NameCase cases[] = {{"From Keys", "in", "Keys"},
                              {"Keys Input", "in", "Keys"},
                              {"To Keys", "", "Keys"},
                              {"Keys Output", "", "Keys"},
                              {"FROM Keys IN", "in", "Keys"},
                              {"Keys Out", "in", "Keys Out"},
                              {"Keys In", "", "Keys In"},
                              {"2- From Keys In", "in", "Keys"},
                              {"10-Synth", "", "Synth"},
                              {"2 - Keys", "", "2 - Keys"},
                              {"-Synth", "", "-Synth"},
                              {"Keys Input In", "in", "Keys"},
                              {" Keys In ", "in", " Keys In "},
                              {"In", "in", "In"},
                              {" In", "in", ""}};
    for (const NameCase& c : cases)
        EXPECT_STREQ(getNormalizedMIDIPortName(c.a, *c.b != 0).c_str(), c.expected) << c.a;
}

TEST(PortNames, commonStringIsTheSharedPartOfTwoHalvesOfOneDevice) {
    const NameCase cases[] = {{"USB Keys In", "Keys Out", "Keys"},
                              {"USB  Keys", "  Keys", "Keys"},
                              {"MIDI Keys In", "Keys Out", ""}, // the rests share too little
                              {"Keys 1", "Keys 2", ""},
                              {"Keys In", "Keys Out", "Keys"},
                              {"Keys", "Keys 2", "Keys"},
                              {"Keyboard", "Key", ""},
                              {"Drum", "Bass", ""},
                              {"Piano", "Organ", "an"},
                              {"2- Keys In", "3- Keys Out", "Keys"},
                              {"Café In", "Café Out", "Café"},
                              {"", "Keys", ""},
                              {"   ", "   ", ""}};
    for (const NameCase& c : cases)
        EXPECT_STREQ(getPortNameCommonString(c.a, c.b).c_str(), c.expected) << c.a << "/" << c.b;

    const OxString shared("Keys In");
    EXPECT_STREQ(getPortNameCommonString(shared, shared).c_str(), "Keys In");
    const OxString a(std::string(3000, 'a').c_str()), b(std::string(3000, 'b').c_str());
    EXPECT_TRUE(getPortNameCommonString(a, b).isEmpty());
    EXPECT_EQ(getPortNameCommonString(a, a + " In").length(), 3000);
}
