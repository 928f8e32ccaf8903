// The manager's port tables: opening, closing, plugging, failing and the refreshes that
// follow them, with the listeners told of it all.
#include "tests/midi/support/MidiManagerFixture.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

using namespace Lk;
using dokatest::waitUntil;
using Lines = std::vector<std::string>;

namespace {

using MidiManagerTest = MidiManagerFixture;
// The refreshes that plugging, failures and notifications bring, some on the manager's threads.
using MidiRefreshTest = MidiManagerFixture;

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

TEST_F(MidiManagerTest, badIndexGoesToTheErrorListOrElseToTheListenersWithIndexMinusOne) {
    plug(1, "Keys");
    OxStringList errors;
    EXPECT_EQ(manager->Open(5, 1, &errors), 0);
    EXPECT_EQ(errors.getText(), "Internal error: illegal MIDI In device ID: 5\n");
    manager->Open(7, 0, nullptr);
    manager->Close(-1, 1, 0);
    EXPECT_EQ(log.take(), (Lines{"error -1 0 Internal error: illegal MIDI Out device ID: 7",
                                 "error -1 1 Internal error: illegal MIDI In device ID: -1"}));
}

TEST_F(MidiManagerTest, opensClosesAndUnplugsAreToldAndTheReplugReopensUnderTheSameIndex) {
    const int id = plug(1, "Keys");
    const int pads = plug(1, "Pads");
    ASSERT_EQ(manager->Open(indexOf("Keys", 1), 1, nullptr), 1);
    EXPECT_EQ(log.take(), keysOpened);
    manager->Close(0, 1, 0);
    EXPECT_EQ(log.take(), keysClosed);
    manager->Close(0, 1, 0); // not open: nothing to tell
    EXPECT_TRUE(log.take().empty());

    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    log.clear();
    factory->removePort(id);
    factory->removePort(pads); // closed: vanishes silently
    refresh();
    Lines told = log.take();
    ASSERT_EQ(told.size(), 4u);
    EXPECT_EQ(Lines(told.begin(), told.begin() + 3), keysClosed);
    EXPECT_EQ(told[3].rfind("error 0 1 MIDI input \"Keys\" unplugged.", 0), 0u);
    MidiManagerDev* entry = manager->GetDevDescriptor(0, 1);
    EXPECT_TRUE(!entry->Exists() && entry->IsPending());
    // An absent port asked to open is pending too; closing it forgets the wish.
    EXPECT_EQ(manager->Open(1, 1, nullptr), 0);
    EXPECT_EQ(log.takeContaining("error 1 1 MIDI input \"Pads\" does not exist."), 1u);
    EXPECT_TRUE(manager->GetDevDescriptor(1, 1)->IsPending());
    manager->Close(1, 1, 0);
    EXPECT_FALSE(manager->GetDevDescriptor(1, 1)->IsPending());

    factory->replugPort(id);
    factory->replugPort(pads);
    refresh();
    EXPECT_EQ(indexOf("Keys", 1), 0);
    EXPECT_EQ(indexOf("Pads", 1), 1);
    EXPECT_TRUE(entry->Exists() && entry->IsOpen() && !entry->IsPending());
    EXPECT_FALSE(manager->GetDevDescriptor(1, 1)->IsOpen());
    EXPECT_EQ(log.take(), keysOpened);
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

TEST_F(MidiManagerTest, nothingIsOpenedOrRefreshedWhileSuspendedAndTheResumeFindsEveryPort) {
    plug(1, "Keys");
    manager->SetSuspended(1);
    factory->addPort(1, "Pads");
    EXPECT_EQ(refresh(), 0);
    EXPECT_EQ(manager->GetDevCount(1), 1);
    EXPECT_EQ(manager->Open(0, 1, nullptr), 0);
    EXPECT_TRUE(log.take().empty());
    EXPECT_TRUE(manager->GetDevDescriptor(0, 1)->IsPending());

    // Plugged while the notifications are being set up: never announced.
    hotplugSource->setOpenAction([this] {
        factory->addPort(1, "Drums");
        factory->advanceClock(2 * MidiDeviceFactory::CACHE_LIFETIME_MS);
    });
    manager->SetSuspended(0); // resuming refreshes; the pending port opens
    EXPECT_EQ(manager->GetDevCount(1), 3);
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
    EXPECT_EQ(log.take(), Lines{"beforeOpen 0 0"});
    // Without a list the listeners get the manager's text only.
    EXPECT_EQ(manager->Open(1, 0, nullptr), 0);
    const std::string told = log.take().back();
    EXPECT_EQ(told.rfind("error 1 0 MIDI output \"Pads\" could not be opened", 0), 0u) << told;
    EXPECT_EQ(told.find("busy"), std::string::npos) << told;

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

    // The retry timer, every 15 s, opens the last one and stops: the list is told.
    std::atomic<int> listChanges{0};
    ManagerHooks devList;
    devList.listChanged = [&] { ++listChanges; };
    manager->AddDevListChangeListener(&devList);
    factory->failOpen(synth, OxString());
    EXPECT_TRUE(waitUntil([&] { return listChanges.load() > 0; }, 30000));
    EXPECT_EQ(describe(manager->GetPortStateByName("Synth", 0)), "open");
    EXPECT_EQ(log.takeContaining("Opened MIDI OUT"), 2u);
    manager->RemoveDevListChangeListener(&devList);
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

TEST_F(MidiManagerTest, listenersMayRefreshCloseOpenAndUnregisterWhileCalled) {
    plug(1, "Keys");
    ControlLog other;
    manager->AddDeviceControlListener(&other);
    // Called first: refreshes, closes the port it is told of and unregisters a listener not
    // yet told.
    ManagerHooks closing;
    int refreshed = -1;
    closing.afterOpen = [&](int index, int isInput) {
        manager->RemoveDeviceControlListener(&other);
        refreshed = manager->RefreshDevList(1, 1);
        manager->Close(index, isInput, 0);
    };
    manager->AddDeviceControlListener(&closing);
    manager->Open(0, 1, nullptr);
    EXPECT_EQ(refreshed, 1);
    EXPECT_FALSE(manager->GetDevDescriptor(0, 1)->IsOpen());
    EXPECT_EQ(other.take(), Lines{"beforeOpen 0 1"});
    EXPECT_EQ(log.take(),
              (Lines{"beforeOpen 0 1", "beforeClose 0 1", "text 0 1 Closed MIDI IN: Keys",
                     "afterClose 0 1", "text 0 1 Opened MIDI IN: Keys", "afterOpen 0 1"}));
    manager->RemoveDeviceControlListener(&closing);

    // Told of the first list change: unregisters, registers another, refreshes and opens.
    ManagerHooks opening;
    ControlLog late;
    int opened = -1;
    opening.listChanged = [&] {
        manager->RemoveDevListChangeListener(&opening);
        manager->AddDeviceControlListener(&late);
        refreshed = manager->RefreshDevList(1, 1);
        opened = manager->Open(indexOf("Pads", 1), 1, nullptr);
    };
    manager->AddDevListChangeListener(&opening);
    refreshed = -1;
    plug(1, "Pads");
    EXPECT_EQ(refreshed, 1);
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(late.take(),
              (Lines{"beforeOpen 1 1", "text 1 1 Opened MIDI IN: Pads", "afterOpen 1 1"}));
    manager->RemoveDeviceControlListener(&late);
}

// How the states follow plugging, opening and failing is watched in the port dialog's test.
TEST_F(MidiManagerTest, portStateIsFoundByNameIgnoringCaseAndDirection) {
    EXPECT_EQ(describe(manager->GetPortState(3, 1)), "not chosen");
    plug(1, "Keys");
    EXPECT_EQ(describe(manager->GetPortStateByName("keys", 1)), "closed"); // as aliases match
    EXPECT_EQ(describe(manager->GetPortStateByName("Keys", 0)), "absent"); // no such output
}

TEST_F(MidiRefreshTest, hotplugNotificationRefreshesAndTheAsynchronousRefreshReopensALostPort) {
    const int id = plug(1, "Keys");
    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    factory->addPort(0, "Synth");
    HotplugWatcher::instance()->onHotplugEvent(HotplugWatcher::htMidi);
    EXPECT_TRUE(waitUntil([&] { return indexOf("Synth", 0) >= 0; }));
    log.clear();

    factory->reportUnexpectedClose(id);
    // Told at once; the refresh that follows may already be reopening the port.
    Lines lines = log.snapshot();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("error 0 1 MIDI input \"Keys\" unexpectedly closed.", 0), 0u);
    EXPECT_EQ(Lines(lines.begin() + 1, lines.begin() + 3),
              Lines(keysClosed.begin() + 1, keysClosed.end()));
    MidiManagerDev* entry = manager->GetDevDescriptor(0, 1);
    EXPECT_TRUE(waitUntil([&] { return entry->IsOpen() && !entry->IsPending(); }));
    // Really closed and opened again, not left open behind the "closed" report.
    EXPECT_EQ(log.takeContaining("Opened MIDI IN: Keys"), 1u);
}

TEST_F(MidiRefreshTest, aPortPluggedInLeavesTheOpenPortsListedAfterItOpen) {
    const int first = plug(0, "Drums", "D1");
    plug(0, "Synth");
    ASSERT_EQ(manager->Open(1, 0, nullptr), 1);
    log.clear();
    // Listed before the open port, now under a new name: a new entry that the port moves to.
    factory->renamePort(first, "Drums Pro");
    refresh();
    EXPECT_GE(indexOf("Drums Pro", 0), 0);
    EXPECT_TRUE(manager->GetDevDescriptor(indexOf("Synth", 0), 0)->IsOpen());
    EXPECT_EQ(log.takeContaining("Synth"), 0u);
}

// Unplugged and plugged again between two refreshes, at a new address and at the old one:
// either way its connection is gone, and it is opened again where it is now. The port box and
// the sender threads read its name meanwhile, while the refresh replaces its descriptors.
TEST_F(MidiRefreshTest, openPortBackBeforeTheNextRefreshIsOpenedAgainWhereItIsNow) {
    int id = plug(1, "Keys");
    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    MidiManagerDev* entry = manager->GetDevDescriptor(0, 1);
    TMidiDeviceBase* port = entry->GetDevice(); // opened again, never replaced
    std::atomic<bool> stop{false};
    std::atomic<int> reads{0};
    std::thread reader([&] {
        while (!stop.load())
            reads += entry->GetDisplayDevName().equals("Keys") &&
                     port->GetDescriptor()->GetName().equals("Keys");
    });
    log.clear();
    for (int round = 0; round < 300 || reads.load() == 0; ++round) {
        factory->removePort(id);
        id = factory->addPort(1, "Keys");
        refresh();
        EXPECT_EQ(log.takeContaining("Opened MIDI IN: Keys"), 1u);
    }
    EXPECT_EQ(indexOf("Keys", 1), 0);
    EXPECT_EQ(entry->GetDevice(), port);
    EXPECT_EQ(factory->openPortObjects(id), 1);

    factory->removePort(id);
    factory->replugPort(id);
    refresh();
    stop = true;
    reader.join();
    EXPECT_TRUE(entry->IsOpen());
    EXPECT_EQ(factory->feed(id, {0x90, 60, 100}), 1);
    EXPECT_EQ(log.takeContaining("Opened MIDI IN: Keys"), 1u);
}

TEST_F(MidiRefreshTest, portsThatComeBackForwardThruFromTheMomentTheyOpen) {
    routeThru();
    // Feeds a note the moment a port is reported open.
    ManagerHooks feeder;
    feeder.afterOpen = [&](int, int) { factory->feed(keys, {0x90, 0x3C, 0x40}); };
    manager->AddDeviceControlListener(&feeder);

    for (const int port : {synth, keys}) {
        factory->removePort(port);
        refresh();
        factory->replugPort(port);
        refresh();
    }
    // One note from each open: the synth's, and the input's own first one.
    EXPECT_EQ(factory->sentMessages(synth).size(), 2u);
    manager->RemoveDeviceControlListener(&feeder);
}

TEST_F(MidiRefreshTest, thruLosesNothingWhileAliasesAndPortsChange) {
    routeThru();
    manager->SetDataListener(nullptr);

    std::atomic<bool> stop{false};
    std::atomic<int> fed{0};
    std::thread receiver([&] {
        for (int i = 0; !stop.load(); ++i)
            fed += factory->feed(keys, {0x90, static_cast<unsigned char>(i & 0x7F), 0x40});
    });
    const int spare = factory->addPort(0, "Spare");
    TMidiAlias* other = aliases->GetAliasByName("Other", atOut, 1, 0);
    ASSERT_TRUE(waitUntil([&] { return fed.load() > 0; }));
    const int before = fed.load();
    for (int round = 0; round < 30 || fed.load() < before + 500; ++round) {
        aliases->SetAliasDevice(other, round % 2 ? "Spare" : "Synth");
        round % 2 ? factory->removePort(spare) : factory->replugPort(spare);
        refresh();
    }
    stop = true;
    receiver.join();
    EXPECT_EQ(factory->sentMessages(synth).size(), static_cast<size_t>(fed.load()));
}

TEST_F(MidiRefreshTest, managerDeletedUnderTrafficStopsDeliveringFirst) {
    routeThru();

    std::atomic<bool> stop{false};
    std::atomic<int> fed{0};
    std::thread receiver([&] {
        while (!stop.load())
            fed += factory->feed(keys, {0x90, 0x40, 0x7F});
    });
    ASSERT_TRUE(waitUntil([&] { return fed.load() > 100; }));
    delete manager;
    manager = nullptr;
    EXPECT_EQ(factory->openPortObjects(keys), 0);
    EXPECT_EQ(factory->openPortObjects(synth), 0);
    stop = true;
    receiver.join();
}

// As in the application, the alias manager is made first and so is first in the shutdown
// registry: a refresh held open on the timer thread must end before it is deleted.
TEST(MidiShutdownTest, shutdownStopsTheManagersThreadsBeforeDeletingWhatTheyUse) {
    OrvoSystem::shutdown();
    TMidiAliasManager::instance();
    MidiManager* manager = MidiManager::instance();
    manager->AddFactory(new TestMidiFactory(), 0);
    manager->SetSuspended(0);
    std::atomic<int> refreshes{0};
    ManagerHooks hold; // the first refresh, until the shutdown had the time to delete it
    hold.listChanged = [&] {
        if (refreshes++ == 0 &&
            waitUntil([] { return !TMidiAliasManager::IsInstanceAllocated(); }, 500))
            ADD_FAILURE() << "the alias manager was deleted under a running refresh";
    };
    manager->AddDevListChangeListener(&hold);
    manager->RefreshDevListAsync(1);
    ASSERT_TRUE(waitUntil([&] { return refreshes.load() > 0; }));
    OrvoSystem::shutdown();
    EXPECT_FALSE(TMidiAliasManager::IsInstanceAllocated());
}
