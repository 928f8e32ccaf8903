#include "midi/MidiManager.h"
#include "tests/midi/support/MidiManagerFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

using namespace Lk;
using Lines = std::vector<std::string>;

namespace {

class MidiManagerTest : public MidiManagerTestBase {};

// Also told by the asynchronous refresh on the timer thread.
class DevListCounter : public TMidiDeviceListListener {
public:
    void OnMidiDeviceListChanged() override { ++calls; }
    std::atomic<int> calls{0};
};

} // namespace

TEST_F(MidiManagerTest, badIndexGoesToTheErrorListOrToTheListenersWithIndexMinusOne) {
    plug(1, "Keys");
    OxStringList errors;
    EXPECT_EQ(manager->Open(5, 1, &errors), 0);
    ASSERT_EQ(errors.list.getCount(), 1);
    EXPECT_STREQ(errors.list[0].c_str(), "Internal error: illegal MIDI In device ID: 5");
    EXPECT_TRUE(log.take().empty());

    manager->Open(7, 0, nullptr);
    manager->Close(-1, 1, 0);
    EXPECT_EQ(log.take(), (Lines{"error -1 0 Internal error: illegal MIDI Out device ID: 7",
                                 "error -1 1 Internal error: illegal MIDI In device ID: -1"}));
}

TEST_F(MidiManagerTest, openAndCloseAreReportedToEachListenerLastRegisteredFirst) {
    plug(1, "Keys");
    ControlLog second;
    manager->AddDeviceControlListener(&second);
    const int keys = indexOf("Keys", 1);

    EXPECT_EQ(manager->Open(keys, 1, nullptr), 1);
    const Lines opened{"beforeOpen 0 1", "text 0 1 Opened MIDI IN: Keys", "afterOpen 0 1"};
    EXPECT_EQ(second.take(), opened);
    EXPECT_EQ(log.take(), opened);

    manager->Close(keys, 1, 0);
    EXPECT_EQ(log.take(),
              (Lines{"beforeClose 0 1", "text 0 1 Closed MIDI IN: Keys", "afterClose 0 1"}));
    manager->Close(keys, 1, 0); // not open: nothing to tell
    EXPECT_TRUE(log.take().empty());
    manager->RemoveDeviceControlListener(&second);
}

TEST_F(MidiManagerTest, unplugAndReplugKeepTheIndexAndReopenThePendingPort) {
    const int id = plug(1, "Keys");
    plug(1, "Pads");
    const int keys = indexOf("Keys", 1);
    ASSERT_EQ(manager->Open(keys, 1, nullptr), 1);
    log.take();

    factory->removePort(id);
    refresh();
    EXPECT_EQ(log.take(),
              (Lines{"beforeClose 0 1", "text 0 1 Closed MIDI IN: Keys", "afterClose 0 1",
                     "error 0 1 MIDI input \"Keys\" unplugged. It is set to 'pending' so that it "
                     "is used automatically when you plug it in."}));
    MidiManagerDev* entry = manager->GetDevDescriptor(keys, 1);
    ASSERT_NE(entry, nullptr);
    EXPECT_FALSE(entry->Exists());
    EXPECT_TRUE(entry->IsPending());

    factory->replugPort(id);
    refresh();
    EXPECT_EQ(indexOf("Keys", 1), keys);
    EXPECT_EQ(indexOf("Pads", 1), 1);
    EXPECT_TRUE(entry->Exists() && entry->IsOpen() && !entry->IsPending());
    EXPECT_EQ(log.take(),
              (Lines{"beforeOpen 0 1", "text 0 1 Opened MIDI IN: Keys", "afterOpen 0 1"}));
    EXPECT_EQ(manager->GetDevCount(1), 2);
}

TEST_F(MidiManagerTest, absentPortBecomesPendingAndClosedPortJustVanishes) {
    const int id = plug(0, "Synth");
    const int synth = indexOf("Synth", 0);
    factory->removePort(id);
    refresh();
    EXPECT_TRUE(log.take().empty()); // closed ports vanish silently

    EXPECT_EQ(manager->Open(synth, 0, nullptr), 0);
    EXPECT_EQ(log.take(), (Lines{"error 0 0 MIDI output \"Synth\" does not exist. It is set to "
                                 "'pending' so that it is used automatically when you plug it "
                                 "in."}));
    EXPECT_TRUE(manager->GetDevDescriptor(synth, 0)->IsPending());
    manager->Close(synth, 0, 0); // closing a pending absent port forgets the wish
    EXPECT_FALSE(manager->GetDevDescriptor(synth, 0)->IsPending());

    manager->Open(synth, 0, nullptr);
    log.take();
    factory->replugPort(id);
    refresh();
    EXPECT_TRUE(manager->GetDevDescriptor(synth, 0)->IsOpen());
}

TEST_F(MidiManagerTest, secondSameNamedDeviceTakesOverThePlainNameWhenTheFirstIsUnplugged) {
    const int first = plug(1, "Keys", "A");
    const int second = plug(1, "Keys", "B");
    const int plain = indexOf("Keys", 1);
    const int numbered = indexOf("Keys (2)", 1);
    ASSERT_GE(plain, 0);
    ASSERT_GE(numbered, 0);
    ASSERT_EQ(manager->Open(plain, 1, nullptr), 1);
    ASSERT_EQ(manager->Open(numbered, 1, nullptr), 1);
    log.take();

    factory->removePort(first);
    refresh();
    MidiManagerDev* plainEntry = manager->GetDevDescriptor(plain, 1);
    MidiManagerDev* numberedEntry = manager->GetDevDescriptor(numbered, 1);
    EXPECT_TRUE(plainEntry->Exists() && plainEntry->IsOpen());
    EXPECT_STREQ(plainEntry->GetDescriptor()->serial.c_str(), "B");
    EXPECT_FALSE(numberedEntry->Exists());
    for (const std::string& line : log.take())
        EXPECT_EQ(line.find("unplugged"), std::string::npos) << line;
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

TEST_F(MidiManagerTest, failedOpenMakesThePortPendingAndArmsTheRetry) {
    const int id = plug(0, "Synth");
    factory->failOpen(id, "busy");
    OxStringList errors;
    EXPECT_EQ(manager->Open(0, 0, &errors), 0);
    ASSERT_GE(errors.list.getCount(), 1);
    EXPECT_NE(std::string(errors.getText().c_str()).find("could not be opened"), std::string::npos);
    MidiManagerDev* entry = manager->GetDevDescriptor(0, 0);
    EXPECT_TRUE(entry->IsPending());
    EXPECT_STREQ(entry->lastError.c_str(), errors.getText().c_str());
    EXPECT_TRUE(manager->IsCheckPendingTimerRunning());
    EXPECT_EQ(log.take(), Lines{"beforeOpen 0 0"}); // the caller's list took the texts

    // The retry is silent while it fails.
    EXPECT_EQ(manager->checkPendingExistingDevices(), 1);
    EXPECT_EQ(log.take(), Lines{"beforeOpen 0 0"});
    factory->failOpen(id, OxString());
    EXPECT_EQ(manager->checkPendingExistingDevices(), 0);
    EXPECT_EQ(log.take(),
              (Lines{"beforeOpen 0 0", "text 0 0 Opened MIDI OUT: Synth", "afterOpen 0 0"}));
}

TEST_F(MidiManagerTest, unexpectedCloseMakesThePortPendingAndTellsEveryone) {
    const int id = plug(1, "Keys");
    DevListCounter devList;
    manager->AddDevListChangeListener(&devList);
    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    log.take();
    factory->reportUnexpectedClose(id);
    // The asynchronous refresh that follows may already have reopened the port.
    Lines lines = log.take();
    ASSERT_GE(lines.size(), 3u);
    lines.resize(3);
    EXPECT_EQ(lines,
              (Lines{"error 0 1 MIDI input \"Keys\" unexpectedly closed. It is set to 'pending' "
                     "so that it is used automatically when it becomes available again.",
                     "text 0 1 Closed MIDI IN: Keys", "afterClose 0 1"}));
    EXPECT_GE(devList.calls, 1);
    manager->RemoveDevListChangeListener(&devList);
}

namespace {

// Re-enters the manager from inside its calls, as an application does.
class ReentrantListener : public MidiManagerDeviceControlListener, public TMidiDeviceListListener {
public:
    void OnAfterOpenMidiDevice(int index, int isInput) override {
        MidiManager* m = MidiManager::instance();
        m->RemoveDeviceControlListener(this); // once is enough
        m->AddDeviceControlListener(&late);
        refreshResult = m->RefreshDevList(1, 1);
        m->Open(index == 0 ? 1 : 0, isInput, nullptr);
    }
    void OnMidiErrorMessage(int, int, const OxString&) override {}
    void OnMidiDeviceListChanged() override { ++listChanges; }

    ControlLog late;
    int refreshResult = -1;
    int listChanges = 0;
};

} // namespace

TEST_F(MidiManagerTest, listenersMayReenterTheManagerWhileCalled) {
    plug(1, "Keys");
    plug(1, "Pads");
    ReentrantListener reentrant;
    manager->AddDeviceControlListener(&reentrant);
    EXPECT_EQ(manager->Open(0, 1, nullptr), 1);
    EXPECT_EQ(reentrant.refreshResult, 1);
    EXPECT_TRUE(manager->GetDevDescriptor(1, 1)->IsOpen());
    // Added during a call: told about the nested open only.
    EXPECT_EQ(reentrant.late.take(),
              (Lines{"beforeOpen 1 1", "text 1 1 Opened MIDI IN: Pads", "afterOpen 1 1"}));
    manager->RemoveDeviceControlListener(&reentrant.late);
}

namespace {

// Plugs another port and asks for a refresh while a refresh reports an open.
class RefreshingListener : public MidiManagerDeviceControlListener {
public:
    explicit RefreshingListener(TestMidiFactory& factory) : factory(factory) {}
    void OnAfterOpenMidiDevice(int, int) override {
        if (result != -1)
            return;
        factory.addPort(1, "Drums");
        factory.advanceClock(2 * MidiDeviceFactory::CACHE_LIFETIME_MS);
        result = MidiManager::instance()->RefreshDevList(1, 1);
    }
    void OnMidiErrorMessage(int, int, const OxString&) override {}

    TestMidiFactory& factory;
    int result = -1;
};

} // namespace

TEST_F(MidiManagerTest, refreshAskedForDuringARefreshMakesItStartOver) {
    const int id = plug(1, "Keys");
    manager->Open(0, 1, nullptr);
    factory->removePort(id);
    refresh();
    RefreshingListener refreshing(*factory);
    manager->AddDeviceControlListener(&refreshing);

    factory->replugPort(id);
    refresh(); // reopens Keys, whose report asks for the nested refresh
    EXPECT_EQ(refreshing.result, 0);
    EXPECT_EQ(indexOf("Drums", 1), 1); // found by the repeated pass
    EXPECT_TRUE(manager->GetDevDescriptor(0, 1)->IsOpen());
    manager->RemoveDeviceControlListener(&refreshing);
}

namespace {

// Closes the port whose open it is told of and unregisters a listener not yet told.
class ClosingListener : public MidiManagerDeviceControlListener {
public:
    explicit ClosingListener(MidiManagerDeviceControlListener& other) : other(other) {}
    void OnAfterOpenMidiDevice(int index, int isInput) override {
        MidiManager::instance()->RemoveDeviceControlListener(&other);
        MidiManager::instance()->Close(index, isInput, 0);
    }
    void OnMidiErrorMessage(int, int, const OxString&) override {}

    MidiManagerDeviceControlListener& other;
};

// Told of the first list change: unregisters, refreshes and opens a port.
class OpeningListListener : public TMidiDeviceListListener {
public:
    void OnMidiDeviceListChanged() override {
        MidiManager* m = MidiManager::instance();
        m->RemoveDevListChangeListener(this);
        refreshResult = m->RefreshDevList(1, 1);
        opened = m->Open(m->GetDevIndex("Pads", 1), 1, nullptr);
    }
    int refreshResult = -1;
    int opened = -1;
};

} // namespace

TEST_F(MidiManagerTest, listenersMayCloseOpenAndUnregisterWhileCalled) {
    plug(1, "Keys");
    ControlLog other;
    manager->AddDeviceControlListener(&other);
    ClosingListener closing(other);
    manager->AddDeviceControlListener(&closing); // called first
    manager->Open(0, 1, nullptr);
    EXPECT_FALSE(manager->GetDevDescriptor(0, 1)->IsOpen());
    EXPECT_EQ(other.take(), Lines{"beforeOpen 0 1"});
    EXPECT_EQ(log.take(),
              (Lines{"beforeOpen 0 1", "beforeClose 0 1", "text 0 1 Closed MIDI IN: Keys",
                     "afterClose 0 1", "text 0 1 Opened MIDI IN: Keys", "afterOpen 0 1"}));
    manager->RemoveDeviceControlListener(&closing);
    EXPECT_EQ(manager->Open(0, 1, nullptr), 1);

    OpeningListListener opening;
    manager->AddDevListChangeListener(&opening);
    plug(1, "Pads");
    EXPECT_EQ(opening.refreshResult, 1);
    EXPECT_EQ(opening.opened, 1);
    EXPECT_TRUE(manager->GetDevDescriptor(indexOf("Pads", 1), 1)->IsOpen());
}

TEST_F(MidiManagerTest, portSettingsRoundTripAsPendingPlaceholders) {
    plug(1, "Keys");
    plug(0, "Synth");
    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    manager->Open(0, 0, nullptr);
    TIniFile ini("unused.ini");
    MidiManagerDev* keys = manager->GetDevDescriptor(0, 1);
    EXPECT_TRUE(keys->shouldSaveToIni());
    keys->saveToIniFile(ini, 0);
    manager->GetDevDescriptor(0, 0)->saveToIniFile(ini, 3);
    EXPECT_STREQ(ini.ReadString(SECTION_MIDI_IN, "Name0", "").c_str(), "Keys");
    EXPECT_STREQ(ini.ReadString(SECTION_MIDI_IN, "Options0", "").c_str(), "FTFF54534554T");
    EXPECT_STREQ(ini.ReadString(SECTION_MIDI_OUT, "Options3", "").c_str(), "FF54534554T");

    MMDevIn in(nullptr, 7);
    in.loadFromIniFile(ini, 0);
    EXPECT_STREQ(in.GetDescriptor()->GetName().c_str(), "Keys");
    EXPECT_EQ(in.GetDescriptor()->GetType(), TestMidiFactory::DEFAULT_TYPE);
    EXPECT_TRUE(in.IsPending());
    EXPECT_FALSE(in.Exists());

    ini.WriteString(SECTION_MIDI_IN, "Options1", "TF");
    MMDevIn partial(nullptr, 8);
    partial.loadFromIniFile(ini, 1);
    EXPECT_EQ(partial.activeSensing, 1);
    EXPECT_EQ(partial.timingClock, 0);
    EXPECT_TRUE(partial.IsPending());

    ini.WriteString(SECTION_MIDI_OUT, "Options4", "FF54534554F");
    MMDevOut out(nullptr, 9);
    out.loadFromIniFile(ini, 4); // "F" at the end keeps the pending state as it was
    EXPECT_FALSE(out.IsPending());
}

TEST_F(MidiManagerTest, factoriesAreAddedOnceAndAtMostTen) {
    EXPECT_EQ(manager->AddFactory(factory, 0), 0);
    EXPECT_EQ(manager->AddFactory(nullptr, 0), 0);
    for (unsigned type = 1; type < MidiManager::MAX_FACTORIES; ++type)
        EXPECT_EQ(manager->AddFactory(new TestMidiFactory(type), 0), 1);
    auto* eleventh = new TestMidiFactory(99);
    EXPECT_EQ(manager->AddFactory(eleventh, 0), 0);
    EXPECT_EQ(manager->GetFactory(99), nullptr);
    EXPECT_EQ(manager->GetFactory(TestMidiFactory::DEFAULT_TYPE), factory);
}

namespace {

std::string describe(const MidiPortState& s) {
    const char* names[] = {"not chosen", "absent", "closed", "pending", "open"};
    std::string text = names[static_cast<int>(s.status)];
    if (s.lastError.isNotEmpty())
        text += std::string(": ") + s.lastError.c_str();
    return text;
}

} // namespace

TEST_F(MidiManagerTest, portStateFollowsPluggingOpeningAndClosing) {
    EXPECT_EQ(describe(manager->GetPortStateByName("", 1)), "not chosen");
    EXPECT_EQ(describe(manager->GetPortState(3, 1)), "not chosen");
    EXPECT_EQ(describe(manager->GetPortStateByName("Keys", 1)), "absent"); // never seen

    const int id = plug(1, "Keys");
    const int keys = indexOf("Keys", 1);
    EXPECT_EQ(describe(manager->GetPortStateByName("keys", 1)), "closed"); // as aliases match
    ASSERT_EQ(manager->Open(keys, 1, nullptr), 1);
    EXPECT_EQ(describe(manager->GetPortState(keys, 1)), "open");
    EXPECT_EQ(describe(manager->GetPortStateByName("Keys", 0)), "absent"); // no such output

    // Unplugged while open: still wanted, but what the user needs to know is that it is gone.
    factory->removePort(id);
    refresh();
    EXPECT_TRUE(manager->GetDevDescriptor(keys, 1)->IsPending());
    EXPECT_EQ(describe(manager->GetPortStateByName("Keys", 1)), "absent");
    factory->replugPort(id);
    refresh();
    EXPECT_EQ(describe(manager->GetPortStateByName("Keys", 1)), "open");
    manager->Close(keys, 1, 0);
    EXPECT_EQ(describe(manager->GetPortState(keys, 1)), "closed");
}

TEST_F(MidiManagerTest, pendingPortStateCarriesTheReasonsOfItsOwnLastOpenOnly) {
    const int synth = plug(0, "Synth");
    const int pads = plug(0, "Pads");
    factory->failOpen(synth, "Synth is busy");
    factory->failOpen(pads, "Pads are busy");
    // Without an error list the listeners get the manager's text only, as before; the
    // backend's reason is kept for the state.
    EXPECT_EQ(manager->Open(indexOf("Synth", 0), 0, nullptr), 0);
    EXPECT_EQ(log.take(), (Lines{"beforeOpen 0 0",
                                 "error 0 0 MIDI output \"Synth\" could not be opened (maybe in "
                                 "use by another program?). It is set to 'pending' so that it "
                                 "is used automatically when it becomes available."}));
    const std::string couldNot = "could not be opened";
    std::string state = describe(manager->GetPortStateByName("Synth", 0));
    EXPECT_EQ(state.rfind("pending: Synth is busy\nMIDI output \"Synth\" " + couldNot, 0), 0u)
        << state;

    // One retry for both: each keeps its own reasons, not the other's.
    EXPECT_EQ(manager->Open(indexOf("Pads", 0), 0, nullptr), 0);
    factory->failOpen(synth, "Synth still busy");
    EXPECT_EQ(manager->checkPendingExistingDevices(), 1);
    state = describe(manager->GetPortStateByName("Synth", 0));
    EXPECT_NE(state.find("Synth still busy"), std::string::npos) << state;
    EXPECT_EQ(state.find("Pads"), std::string::npos) << state;
    state = describe(manager->GetPortStateByName("Pads", 0));
    EXPECT_EQ(state.rfind("pending: Pads are busy\n", 0), 0u) << state;
    EXPECT_EQ(state.find("Synth"), std::string::npos) << state;

    factory->failOpen(pads, OxString());
    EXPECT_EQ(manager->checkPendingExistingDevices(), 1);
    EXPECT_EQ(describe(manager->GetPortStateByName("Pads", 0)), "open");
}
