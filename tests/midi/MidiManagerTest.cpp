#include "tests/midi/support/MidiManagerFixture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace Lk;
using Lines = std::vector<std::string>;

namespace {

using MidiManagerTest = MidiManagerFixture;

const Lines keysOpened{"beforeOpen 0 1", "text 0 1 Opened MIDI IN: Keys", "afterOpen 0 1"};
const Lines keysClosed{"beforeClose 0 1", "text 0 1 Closed MIDI IN: Keys", "afterClose 0 1"};

std::string describe(const MidiPortState& s) {
    const char* names[] = {"not chosen", "absent", "closed", "pending", "open"};
    std::string text = names[static_cast<int>(s.status)];
    if (s.lastError.isNotEmpty())
        text += std::string(": ") + s.lastError.c_str();
    return text;
}

} // namespace

TEST_F(MidiManagerTest, badIndexGoesToTheErrorListOrToTheListenersWithIndexMinusOne) {
    plug(1, "Keys");
    OxStringList errors;
    EXPECT_EQ(manager->Open(5, 1, &errors), 0);
    EXPECT_EQ(errors.getText(), "Internal error: illegal MIDI In device ID: 5\n");
    EXPECT_TRUE(log.take().empty());

    manager->Open(7, 0, nullptr);
    manager->Close(-1, 1, 0);
    EXPECT_EQ(log.take(), (Lines{"error -1 0 Internal error: illegal MIDI Out device ID: 7",
                                 "error -1 1 Internal error: illegal MIDI In device ID: -1"}));
}

TEST_F(MidiManagerTest, openAndCloseAreReportedToEveryListenerAndOnlyOnce) {
    plug(1, "Keys");
    ControlLog second;
    manager->AddDeviceControlListener(&second);
    EXPECT_EQ(manager->Open(indexOf("Keys", 1), 1, nullptr), 1);
    EXPECT_EQ(second.take(), keysOpened);
    EXPECT_EQ(log.take(), keysOpened);

    manager->Close(0, 1, 0);
    EXPECT_EQ(log.take(), keysClosed);
    manager->Close(0, 1, 0); // not open: nothing to tell
    EXPECT_TRUE(log.take().empty());
    manager->RemoveDeviceControlListener(&second);
}

TEST_F(MidiManagerTest, unplugAndReplugKeepTheIndexAndReopenThePendingPort) {
    const int id = plug(1, "Keys");
    plug(1, "Pads");
    ASSERT_EQ(manager->Open(indexOf("Keys", 1), 1, nullptr), 1);
    log.clear();

    factory->removePort(id);
    refresh();
    Lines expected = keysClosed;
    expected.push_back("error 0 1 MIDI input \"Keys\" unplugged. It is set to 'pending' so that it "
                       "is used automatically when you plug it in.");
    EXPECT_EQ(log.take(), expected);
    MidiManagerDev* entry = manager->GetDevDescriptor(0, 1);
    EXPECT_TRUE(!entry->Exists() && entry->IsPending());

    factory->replugPort(id);
    refresh();
    EXPECT_EQ(indexOf("Keys", 1), 0);
    EXPECT_EQ(indexOf("Pads", 1), 1);
    EXPECT_EQ(manager->GetDevCount(1), 2);
    EXPECT_TRUE(entry->Exists() && entry->IsOpen() && !entry->IsPending());
    EXPECT_EQ(log.take(), keysOpened);
}

TEST_F(MidiManagerTest, absentPortBecomesPendingAndClosedPortJustVanishes) {
    const int id = plug(0, "Synth");
    factory->removePort(id);
    refresh();
    EXPECT_TRUE(log.take().empty()); // closed ports vanish silently

    EXPECT_EQ(manager->Open(0, 0, nullptr), 0);
    EXPECT_EQ(log.take(), (Lines{"error 0 0 MIDI output \"Synth\" does not exist. It is set to "
                                 "'pending' so that it is used automatically when you plug it "
                                 "in."}));
    EXPECT_TRUE(manager->GetDevDescriptor(0, 0)->IsPending());
    manager->Close(0, 0, 0); // closing a pending absent port forgets the wish
    EXPECT_FALSE(manager->GetDevDescriptor(0, 0)->IsPending());

    manager->Open(0, 0, nullptr);
    factory->replugPort(id);
    refresh();
    EXPECT_TRUE(manager->GetDevDescriptor(0, 0)->IsOpen());
}

TEST_F(MidiManagerTest, secondSameNamedDeviceTakesOverThePlainNameWhenTheFirstIsUnplugged) {
    const int first = plug(1, "Keys", "A");
    const int second = plug(1, "Keys", "B");
    const int plain = indexOf("Keys", 1);
    const int numbered = indexOf("Keys (2)", 1);
    ASSERT_TRUE(plain >= 0 && numbered >= 0);
    ASSERT_EQ(manager->Open(plain, 1, nullptr), 1);
    ASSERT_EQ(manager->Open(numbered, 1, nullptr), 1);
    log.clear();

    factory->removePort(first);
    refresh();
    MidiManagerDev* plainEntry = manager->GetDevDescriptor(plain, 1);
    EXPECT_TRUE(plainEntry->Exists() && plainEntry->IsOpen());
    EXPECT_STREQ(plainEntry->GetDescriptor()->serial.c_str(), "B");
    EXPECT_FALSE(manager->GetDevDescriptor(numbered, 1)->Exists());
    EXPECT_EQ(log.takeContaining("unplugged"), 0u);
    // The second device's port object moved: what it receives arrives under the plain index.
    EXPECT_EQ(factory->openPortObjects(second), 1);
}

TEST_F(MidiManagerTest, nothingIsOpenedOrRefreshedWhileSuspended) {
    plug(1, "Keys");
    manager->SetSuspended(1);
    factory->addPort(1, "Pads");
    EXPECT_EQ(refresh(), 0);
    EXPECT_EQ(manager->GetDevCount(1), 1);
    EXPECT_EQ(manager->Open(0, 1, nullptr), 0);
    EXPECT_TRUE(log.take().empty());
    EXPECT_TRUE(manager->GetDevDescriptor(0, 1)->IsPending());

    manager->SetSuspended(0); // resuming refreshes; the pending port opens
    EXPECT_EQ(manager->GetDevCount(1), 2);
    EXPECT_TRUE(manager->GetDevDescriptor(0, 1)->IsOpen());
}

TEST_F(MidiManagerTest, failedOpensLeaveEachPortPendingWithItsOwnReasonsUntilASilentRetry) {
    const int synth = plug(0, "Synth");
    const int pads = plug(0, "Pads");
    factory->failOpen(synth, "Synth is busy");
    factory->failOpen(pads, "Pads are busy");
    // The caller's list takes the texts, the backend's reason first; the state keeps them.
    OxStringList errors;
    EXPECT_EQ(manager->Open(0, 0, &errors), 0);
    const std::string couldNot = "MIDI output \"Synth\" could not be opened";
    EXPECT_EQ(std::string(errors.getText().c_str()).rfind("Synth is busy\n" + couldNot, 0), 0u);
    EXPECT_STREQ(manager->GetDevDescriptor(0, 0)->lastError.c_str(), errors.getText().c_str());
    EXPECT_EQ(log.take(), Lines{"beforeOpen 0 0"});
    EXPECT_TRUE(manager->IsCheckPendingTimerRunning());
    // Without a list the listeners get the manager's text only.
    EXPECT_EQ(manager->Open(1, 0, nullptr), 0);
    EXPECT_EQ(log.take(), (Lines{"beforeOpen 1 0",
                                 "error 1 0 MIDI output \"Pads\" could not be opened (maybe in "
                                 "use by another program?). It is set to 'pending' so that it "
                                 "is used automatically when it becomes available."}));

    // One retry for both, silent while it fails: each keeps its own reasons, not the other's.
    factory->failOpen(synth, "Synth still busy");
    EXPECT_EQ(manager->checkPendingExistingDevices(), 1);
    EXPECT_EQ(log.takeContaining("error"), 0u);
    std::string state = describe(manager->GetPortStateByName("Synth", 0));
    EXPECT_EQ(state.rfind("pending: Synth still busy\n" + couldNot, 0), 0u) << state;
    EXPECT_EQ(state.find("Pads"), std::string::npos) << state;
    state = describe(manager->GetPortStateByName("Pads", 0));
    EXPECT_EQ(state.rfind("pending: Pads are busy\n", 0), 0u) << state;
    EXPECT_EQ(state.find("Synth"), std::string::npos) << state;

    factory->failOpen(pads, OxString());
    EXPECT_EQ(manager->checkPendingExistingDevices(), 1);
    EXPECT_EQ(describe(manager->GetPortStateByName("Pads", 0)), "open");
    factory->failOpen(synth, OxString());
    EXPECT_EQ(manager->checkPendingExistingDevices(), 0);
    EXPECT_EQ(log.takeContaining("Opened MIDI OUT"), 2u);
}

TEST_F(MidiManagerTest, listenersMayReenterTheManagerWhileCalled) {
    plug(1, "Keys");
    plug(1, "Pads");
    ManagerHooks reentrant;
    ControlLog late;
    int refreshed = -1;
    reentrant.afterOpen = [&](int index, int isInput) {
        manager->RemoveDeviceControlListener(&reentrant); // once is enough
        manager->AddDeviceControlListener(&late);
        refreshed = manager->RefreshDevList(1, 1);
        manager->Open(index == 0 ? 1 : 0, isInput, nullptr);
    };
    manager->AddDeviceControlListener(&reentrant);
    EXPECT_EQ(manager->Open(0, 1, nullptr), 1);
    EXPECT_EQ(refreshed, 1);
    EXPECT_TRUE(manager->GetDevDescriptor(1, 1)->IsOpen());
    // Added during a call: told about the nested open only.
    EXPECT_EQ(late.take(),
              (Lines{"beforeOpen 1 1", "text 1 1 Opened MIDI IN: Pads", "afterOpen 1 1"}));
    manager->RemoveDeviceControlListener(&late);
}

TEST_F(MidiManagerTest, refreshAskedForDuringARefreshMakesItStartOver) {
    const int id = plug(1, "Keys");
    manager->Open(0, 1, nullptr);
    factory->removePort(id);
    refresh();
    // Plugs another port and refreshes while the refresh reports the reopened port.
    ManagerHooks refreshing;
    int nested = -1;
    refreshing.afterOpen = [&](int, int) {
        if (nested != -1)
            return;
        factory->addPort(1, "Drums");
        nested = refresh();
    };
    manager->AddDeviceControlListener(&refreshing);

    factory->replugPort(id);
    refresh();
    EXPECT_EQ(nested, 0);
    EXPECT_EQ(indexOf("Drums", 1), 1); // found by the repeated pass
    EXPECT_TRUE(manager->GetDevDescriptor(0, 1)->IsOpen());
    manager->RemoveDeviceControlListener(&refreshing);
}

TEST_F(MidiManagerTest, listenersMayCloseOpenAndUnregisterWhileCalled) {
    plug(1, "Keys");
    ControlLog other;
    manager->AddDeviceControlListener(&other);
    // Called first: closes the port it is told of and unregisters a listener not yet told.
    ManagerHooks closing;
    closing.afterOpen = [&](int index, int isInput) {
        manager->RemoveDeviceControlListener(&other);
        manager->Close(index, isInput, 0);
    };
    manager->AddDeviceControlListener(&closing);
    manager->Open(0, 1, nullptr);
    EXPECT_FALSE(manager->GetDevDescriptor(0, 1)->IsOpen());
    EXPECT_EQ(other.take(), Lines{"beforeOpen 0 1"});
    EXPECT_EQ(log.take(),
              (Lines{"beforeOpen 0 1", "beforeClose 0 1", "text 0 1 Closed MIDI IN: Keys",
                     "afterClose 0 1", "text 0 1 Opened MIDI IN: Keys", "afterOpen 0 1"}));
    manager->RemoveDeviceControlListener(&closing);
    EXPECT_EQ(manager->Open(0, 1, nullptr), 1);

    // Told of the first list change: unregisters, refreshes and opens a port.
    ManagerHooks opening;
    int refreshed = -1;
    int opened = -1;
    opening.listChanged = [&] {
        manager->RemoveDevListChangeListener(&opening);
        refreshed = manager->RefreshDevList(1, 1);
        opened = manager->Open(indexOf("Pads", 1), 1, nullptr);
    };
    manager->AddDevListChangeListener(&opening);
    plug(1, "Pads");
    EXPECT_EQ(refreshed, 1);
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(manager->GetDevDescriptor(indexOf("Pads", 1), 1)->IsOpen());
}

TEST_F(MidiManagerTest, portSettingsRoundTripAsPendingPlaceholders) {
    plug(1, "Keys");
    plug(0, "Synth");
    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    manager->Open(0, 0, nullptr);
    TIniFile ini("unused.ini");
    EXPECT_TRUE(manager->GetDevDescriptor(0, 1)->shouldSaveToIni());
    manager->GetDevDescriptor(0, 1)->saveToIniFile(ini, 0);
    manager->GetDevDescriptor(0, 0)->saveToIniFile(ini, 3);
    EXPECT_STREQ(ini.ReadString(SECTION_MIDI_IN, "Name0", "").c_str(), "Keys");
    EXPECT_STREQ(ini.ReadString(SECTION_MIDI_IN, "Options0", "").c_str(), "FTFF54534554T");
    EXPECT_STREQ(ini.ReadString(SECTION_MIDI_OUT, "Options3", "").c_str(), "FF54534554T");

    MMDevIn in(nullptr, 7);
    in.loadFromIniFile(ini, 0);
    EXPECT_STREQ(in.GetDescriptor()->GetName().c_str(), "Keys");
    EXPECT_EQ(in.GetDescriptor()->GetType(), TestMidiFactory::DEFAULT_TYPE);
    EXPECT_TRUE(in.IsPending() && !in.Exists());
    // A short options entry sets what it has.
    ini.WriteString(SECTION_MIDI_IN, "Options1", "TF");
    MMDevIn partial(nullptr, 8);
    partial.loadFromIniFile(ini, 1);
    EXPECT_EQ(partial.activeSensing, 1);
    EXPECT_EQ(partial.timingClock, 0);
    EXPECT_TRUE(partial.IsPending());
    // "F" at the end keeps the pending state as it was.
    ini.WriteString(SECTION_MIDI_OUT, "Options4", "FF54534554F");
    MMDevOut out(nullptr, 9);
    out.loadFromIniFile(ini, 4);
    EXPECT_FALSE(out.IsPending());
}

TEST_F(MidiManagerTest, factoriesAreAddedOnceAndAtMostTen) {
    EXPECT_EQ(manager->AddFactory(factory, 0), 0);
    EXPECT_EQ(manager->AddFactory(nullptr, 0), 0);
    for (unsigned type = 1; type < MidiManager::MAX_FACTORIES; ++type)
        EXPECT_EQ(manager->AddFactory(new TestMidiFactory(type), 0), 1);
    EXPECT_EQ(manager->AddFactory(new TestMidiFactory(99), 0), 0);
    EXPECT_EQ(manager->GetFactory(99), nullptr);
    EXPECT_EQ(manager->GetFactory(TestMidiFactory::DEFAULT_TYPE), factory);
}

TEST_F(MidiManagerTest, portStateFollowsPluggingOpeningAndClosing) {
    EXPECT_EQ(describe(manager->GetPortStateByName("", 1)), "not chosen");
    EXPECT_EQ(describe(manager->GetPortState(3, 1)), "not chosen");
    EXPECT_EQ(describe(manager->GetPortStateByName("Keys", 1)), "absent"); // never seen

    const int id = plug(1, "Keys");
    EXPECT_EQ(describe(manager->GetPortStateByName("keys", 1)), "closed"); // as aliases match
    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    EXPECT_EQ(describe(manager->GetPortState(0, 1)), "open");
    EXPECT_EQ(describe(manager->GetPortStateByName("Keys", 0)), "absent"); // no such output

    // Unplugged while open: still wanted, but what the user needs to know is that it is gone.
    factory->removePort(id);
    refresh();
    EXPECT_TRUE(manager->GetDevDescriptor(0, 1)->IsPending());
    EXPECT_EQ(describe(manager->GetPortStateByName("Keys", 1)), "absent");
    factory->replugPort(id);
    refresh();
    EXPECT_EQ(describe(manager->GetPortStateByName("Keys", 1)), "open");
    manager->Close(0, 1, 0);
    EXPECT_EQ(describe(manager->GetPortState(0, 1)), "closed");
}
