#include "tests/midi/support/MidiManagerFixture.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace Lk;
using dokatest::waitUntil;

namespace {

using MidiRefreshTest = MidiManagerFixture;

} // namespace

TEST_F(MidiRefreshTest, portFailingToOpenIsRetriedEvery15SecondsWithoutTexts) {
    const int id = plug(0, "Synth");
    factory->failOpen(id, "busy");
    EXPECT_EQ(manager->Open(0, 0, nullptr), 0);
    EXPECT_EQ(log.takeContaining("could not be opened"), 1u);

    std::this_thread::sleep_for(std::chrono::seconds(17)); // one retry has failed by now
    EXPECT_TRUE(manager->GetDevDescriptor(0, 0)->IsPending());
    EXPECT_EQ(log.takeContaining("error"), 0u);
    EXPECT_TRUE(manager->IsCheckPendingTimerRunning());

    factory->failOpen(id, OxString());
    EXPECT_TRUE(waitUntil([&] { return manager->GetDevDescriptor(0, 0)->IsOpen() != 0; }, 40000));
    EXPECT_TRUE(waitUntil([&] { return !manager->IsCheckPendingTimerRunning(); }));
    EXPECT_EQ(log.takeContaining("Opened MIDI OUT: Synth"), 1u);
}

TEST_F(MidiRefreshTest, lostPortIsReportedPendingAndReopenedByTheAsynchronousRefresh) {
    const int id = plug(1, "Keys");
    std::atomic<int> listChanges{0};
    ManagerHooks devList;
    devList.listChanged = [&] { ++listChanges; };
    manager->AddDevListChangeListener(&devList);
    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    log.clear();
    factory->advanceClock(2 * MidiDeviceFactory::CACHE_LIFETIME_MS);
    factory->reportUnexpectedClose(id);
    // Told at once; the refresh that follows may already be reopening the port.
    std::vector<std::string> lines = log.snapshot();
    ASSERT_GE(lines.size(), 3u);
    lines.resize(3);
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "error 0 1 MIDI input \"Keys\" unexpectedly closed. It is set to "
                         "'pending' so that it is used automatically when it becomes available "
                         "again.",
                         "text 0 1 Closed MIDI IN: Keys", "afterClose 0 1"}));

    MidiManagerDev* entry = manager->GetDevDescriptor(0, 1);
    EXPECT_TRUE(waitUntil([&] { return entry->IsOpen() && !entry->IsPending(); }));
    // Really closed and opened again, not left open behind the "closed" report.
    EXPECT_EQ(log.takeContaining("Opened MIDI IN: Keys"), 1u);
    EXPECT_GE(listChanges.load(), 1);
    manager->RemoveDevListChangeListener(&devList);
}

TEST_F(MidiRefreshTest, pluggedPortIsFoundAfterAHotplugNotification) {
    const int id = plug(1, "Keys");
    manager->Open(0, 1, nullptr);
    factory->removePort(id);
    refresh();
    log.clear();

    factory->replugPort(id);
    factory->addPort(0, "Synth");
    factory->advanceClock(2 * MidiDeviceFactory::CACHE_LIFETIME_MS);
    HotplugWatcher::instance()->onHotplugEvent(HotplugWatcher::htMidi);
    EXPECT_TRUE(waitUntil([&] { return indexOf("Synth", 0) >= 0; }));
    EXPECT_TRUE(waitUntil([&] { return manager->GetDevDescriptor(0, 1)->IsOpen() != 0; }));
    EXPECT_EQ(log.takeContaining("Opened MIDI IN: Keys"), 1u);
}

TEST_F(MidiRefreshTest, aPortPluggedWhileTheWatchingStartsIsListedAtTheResume) {
    manager->SetSuspended(1);
    // Plugged while the notifications are being set up: never announced.
    hotplugSource->setOpenAction([this] {
        factory->addPort(1, "Keys");
        factory->advanceClock(2 * MidiDeviceFactory::CACHE_LIFETIME_MS);
    });
    manager->SetSuspended(0);
    EXPECT_GE(indexOf("Keys", 1), 0);
}

TEST_F(MidiRefreshTest, refreshesAskedForByChangesSeeThemHoweverRecentlyTheListWasRead) {
    const int id = plug(1, "Keys");
    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    log.clear();
    // The list is read again and again, as the window does; the clock stands still, so the
    // enumeration is never older than its lifetime.
    factory->setClock(1000);
    OxStringList names;
    factory->GetDeviceList(1, names);

    factory->removePort(id);
    manager->RefreshDevList(1, 1);
    MidiManagerDev* entry = manager->GetDevDescriptor(0, 1);
    EXPECT_TRUE(!entry->IsOpen() && entry->IsPending());

    factory->replugPort(id);
    manager->RefreshDevList(1, 1);
    EXPECT_TRUE(entry->IsOpen());
    EXPECT_EQ(factory->openPortObjects(id), 1);
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
// either way its connection is gone, and it is opened again where it is now.
TEST_F(MidiRefreshTest, openPortBackBeforeTheNextRefreshIsOpenedAgainWhereItIsNow) {
    const int first = plug(1, "Keys");
    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    log.clear();
    factory->removePort(first);
    const int second = factory->addPort(1, "Keys");
    refresh();
    EXPECT_EQ(indexOf("Keys", 1), 0);
    EXPECT_TRUE(manager->GetDevDescriptor(0, 1)->IsOpen());
    EXPECT_EQ(factory->openPortObjects(second), 1);
    EXPECT_EQ(log.takeContaining("Opened MIDI IN: Keys"), 1u);

    factory->removePort(second);
    factory->replugPort(second);
    refresh();
    EXPECT_TRUE(manager->GetDevDescriptor(0, 1)->IsOpen());
    EXPECT_EQ(factory->feed(second, {0x90, 60, 100}), 1);
    EXPECT_EQ(log.takeContaining("Opened MIDI IN: Keys"), 1u);
}

TEST_F(MidiRefreshTest, portsThatComeBackForwardThruFromTheMomentTheyOpen) {
    const int keys = plug(1, "Keys");
    const int synth = plug(0, "Synth");
    routeThru("Keys", "Synth");
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
    const int keys = plug(1, "Keys");
    const int synth = plug(0, "Synth");
    routeThru("Keys", "Synth");
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
    const int keys = plug(1, "Keys");
    const int synth = plug(0, "Synth");
    routeThru("Keys", "Synth");

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
