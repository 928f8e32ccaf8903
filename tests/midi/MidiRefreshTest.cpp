#include "midi/MidiAlias.h"
#include "midi/MidiRouter.h"
#include "tests/midi/support/MidiManagerFixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

using namespace Lk;
using namespace std::chrono_literals;

namespace {

bool waitFor(const std::function<bool()>& condition, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

size_t countContaining(const std::vector<std::string>& lines, const char* text) {
    size_t n = 0;
    for (const std::string& line : lines)
        n += line.find(text) != std::string::npos;
    return n;
}

class MidiRefreshTest : public MidiManagerTestBase {
protected:
    // "Keys" routed to "Synth" through the two aliases, both opened.
    void openThru() {
        TMidiAliasManager* aliases = TMidiAliasManager::instance();
        TMidiAlias* in = aliases->GetAliasByName("MIDI Input", atIn, 1, -1);
        TMidiAlias* out = aliases->GetAliasByName("MIDI Thru", atOut, 1, -1);
        aliases->SetAliasDevice(in, "Keys");
        aliases->SetAliasDevice(out, "Synth");
        TMidiRouter::instance()->AddRoute(in, out);
        ASSERT_EQ(manager->Open(in->userID, 1, nullptr), 1);
        ASSERT_EQ(manager->Open(out->userID, 0, nullptr), 1);
    }
};

} // namespace

TEST_F(MidiRefreshTest, portFailingToOpenIsRetriedEvery15SecondsWithoutTexts) {
    const int id = plug(0, "Synth");
    factory->failOpen(id, "busy");
    EXPECT_EQ(manager->Open(0, 0, nullptr), 0);
    EXPECT_EQ(countContaining(log.take(), "could not be opened"), 1u);

    std::this_thread::sleep_for(17s); // one retry has failed by now
    EXPECT_TRUE(manager->GetDevDescriptor(0, 0)->IsPending());
    EXPECT_EQ(countContaining(log.take(), "error"), 0u);
    EXPECT_TRUE(manager->IsCheckPendingTimerRunning());

    factory->failOpen(id, OxString());
    EXPECT_TRUE(waitFor([&] { return manager->GetDevDescriptor(0, 0)->IsOpen() != 0; }, 40s));
    EXPECT_TRUE(waitFor([&] { return !manager->IsCheckPendingTimerRunning(); }, 5s));
    EXPECT_EQ(countContaining(log.take(), "Opened MIDI OUT: Synth"), 1u);
}

TEST_F(MidiRefreshTest, lostPortIsReopenedByTheAsynchronousRefresh) {
    const int id = plug(1, "Keys");
    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    log.take();
    factory->advanceClock(2 * MidiDeviceFactory::CACHE_LIFETIME_MS);
    factory->reportUnexpectedClose(id);
    MidiManagerDev* entry = manager->GetDevDescriptor(0, 1);
    EXPECT_TRUE(waitFor([&] { return entry->IsOpen() && !entry->IsPending(); }, 10s));
    // Really closed and opened again, not left open behind the "closed" report.
    EXPECT_EQ(countContaining(log.take(), "Opened MIDI IN: Keys"), 1u);
}

TEST_F(MidiRefreshTest, pluggedPortIsFoundAfterAHotplugNotification) {
    const int id = plug(1, "Keys");
    manager->Open(0, 1, nullptr);
    factory->removePort(id);
    refresh();
    log.take();

    factory->replugPort(id);
    factory->addPort(0, "Synth");
    factory->advanceClock(2 * MidiDeviceFactory::CACHE_LIFETIME_MS);
    HotplugWatcher::instance()->onHotplugEvent(HotplugWatcher::htMidi);
    EXPECT_TRUE(waitFor([&] { return manager->GetDevIndex("Synth", 0) >= 0; }, 10s));
    EXPECT_TRUE(waitFor([&] { return manager->GetDevDescriptor(0, 1)->IsOpen() != 0; }, 10s));
    EXPECT_EQ(countContaining(log.take(), "Opened MIDI IN: Keys"), 1u);
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
    log.take();
    // The list is read again and again, as the window does; the clock stands still, so the
    // enumeration is never older than its lifetime.
    factory->setClock(1000);
    OxStringList names;
    factory->GetDeviceList(1, names);

    factory->removePort(id);
    manager->RefreshDevList(1, 1);
    MidiManagerDev* entry = manager->GetDevDescriptor(0, 1);
    EXPECT_FALSE(entry->IsOpen());
    EXPECT_TRUE(entry->IsPending());

    factory->replugPort(id);
    manager->RefreshDevList(1, 1);
    EXPECT_TRUE(entry->IsOpen());
    EXPECT_EQ(factory->openPortObjects(id), 1);
    EXPECT_EQ(countContaining(log.take(), "Opened MIDI IN: Keys"), 1u);
}

TEST_F(MidiRefreshTest, aPortPluggedInLeavesTheOpenPortsListedAfterItOpen) {
    const int first = plug(0, "Drums", "D1");
    plug(0, "Synth");
    ASSERT_EQ(manager->Open(1, 0, nullptr), 1);
    log.take();
    // Listed before the open port, now under a new name: a new entry that the port moves to.
    factory->renamePort(first, "Drums Pro");
    refresh();
    EXPECT_GE(manager->GetDevIndex("Drums Pro", 0), 0);
    EXPECT_TRUE(manager->GetDevDescriptor(manager->GetDevIndex("Synth", 0), 0)->IsOpen());
    EXPECT_EQ(countContaining(log.take(), "Synth"), 0u);
}

// Unplugged and plugged again between two refreshes, at a new address and at the old one:
// either way its connection is gone, and it is opened again where it is now.
TEST_F(MidiRefreshTest, openPortBackBeforeTheNextRefreshIsOpenedAgainWhereItIsNow) {
    const int first = plug(1, "Keys");
    ASSERT_EQ(manager->Open(0, 1, nullptr), 1);
    log.take();
    factory->removePort(first);
    const int second = factory->addPort(1, "Keys");
    refresh();
    EXPECT_EQ(manager->GetDevIndex("Keys", 1), 0);
    EXPECT_TRUE(manager->GetDevDescriptor(0, 1)->IsOpen());
    EXPECT_EQ(factory->openPortObjects(second), 1);
    EXPECT_EQ(countContaining(log.take(), "Opened MIDI IN: Keys"), 1u);

    factory->removePort(second);
    factory->replugPort(second);
    refresh();
    EXPECT_TRUE(manager->GetDevDescriptor(0, 1)->IsOpen());
    EXPECT_EQ(factory->feed(second, {0x90, 60, 100}), 1);
    EXPECT_EQ(countContaining(log.take(), "Opened MIDI IN: Keys"), 1u);
}

// Feeds a note into an input the moment a port is reported open.
class FeedOnOpen : public ControlLog {
public:
    FeedOnOpen(TestMidiFactory& factory, int input) : factory(factory), input(input) {}
    void OnAfterOpenMidiDevice(int, int) override { factory.feed(input, {0x90, 0x3C, 0x40}); }

private:
    TestMidiFactory& factory;
    const int input;
};

TEST_F(MidiRefreshTest, portsThatComeBackForwardThruFromTheMomentTheyOpen) {
    const int keys = plug(1, "Keys");
    const int synth = plug(0, "Synth");
    ASSERT_NO_FATAL_FAILURE(openThru());
    FeedOnOpen feeder(*factory, keys);
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
    ASSERT_NO_FATAL_FAILURE(openThru());
    TMidiAliasManager* aliases = TMidiAliasManager::instance();

    std::atomic<bool> stop{false};
    std::atomic<int> fed{0};
    std::thread receiver([&] {
        for (int i = 0; !stop.load(); ++i)
            fed += factory->feed(keys, {0x90, static_cast<unsigned char>(i & 0x7F), 0x40});
    });
    const int spare = factory->addPort(0, "Spare");
    TMidiAlias* other = aliases->GetAliasByName("Other", atOut, 1, 0);
    ASSERT_TRUE(waitFor([&] { return fed.load() > 0; }, 10s));
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
    ASSERT_NO_FATAL_FAILURE(openThru());

    std::atomic<bool> stop{false};
    std::atomic<int> fed{0};
    std::thread receiver([&] {
        while (!stop.load())
            fed += factory->feed(keys, {0x90, 0x40, 0x7F});
    });
    ASSERT_TRUE(waitFor([&] { return fed.load() > 100; }, 10s));
    delete manager;
    manager = nullptr;
    EXPECT_EQ(factory->openPortObjects(keys), 0);
    EXPECT_EQ(factory->openPortObjects(synth), 0);
    stop = true;
    receiver.join();
}
