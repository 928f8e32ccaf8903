#include "tests/midi/support/MidiManagerFixture.h"

#include <gtest/gtest.h>

#include <functional>

using namespace Lk;

namespace {

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

} // namespace

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
