// The MIDI manager on the in-process test backend: the whole receive path, the refresh and
// loading the aliases.
#include "midi/MidiAlias.h"
#include "midi/MidiAliasRecord.h"
#include "midi/MidiManager.h"
#include "midi/MidiRouter.h"
#include "platform/OrvoSystem.h"
#include "tests/core/support/FakeHotplugSource.h"
#include "tests/midi/support/TestMidiFactory.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <memory>

namespace {

using namespace Lk;

// One resumed manager for the whole run, on a test backend with 32 inputs and 32 outputs
// whose outputs only count what they are sent: "MIDI Input" on "In 0" is routed to "MIDI
// Thru" on "Out 0", and every second port is open. Made once and shut down at exit: the
// platform's singletons are not meant to be made again after a shutdown.
class BenchSetup {
public:
    static BenchSetup& get() {
        static BenchSetup* setup = new BenchSetup();
        return *setup;
    }

    // A refresh that enumerates the backend again.
    int refreshEnumerating() {
        factory->advanceClock(2 * MidiDeviceFactory::CACHE_LIFETIME_MS);
        return manager->RefreshDevList(1, 1);
    }

    MidiManager* manager = nullptr;
    TestMidiFactory* factory = nullptr;
    int input = 0;
    int thru = 0;
    bool routed = false;

private:
    BenchSetup() {
        HotplugWatcher::setSourceFactory([]() -> std::unique_ptr<HotplugSource> {
            return std::make_unique<FakeHotplugSource>();
        });
        manager = MidiManager::instance();
        // Deleted by the shutdown, after the ports.
        factory = new TestMidiFactory();
        factory->setClock(1000);
        factory->keepSentMessages(false);
        manager->AddFactory(factory, 0);
        manager->SetSuspended(0);
        input = factory->addPort(1, "In 0");
        thru = factory->addPort(0, "Out 0");
        for (int i = 1; i < PORTS_PER_DIRECTION; ++i) {
            factory->addPort(1, OxString::format("In %d", i));
            factory->addPort(0, OxString::format("Out %d", i));
        }
        refreshEnumerating();
        route();
        for (int i = 2; i < PORTS_PER_DIRECTION; i += 2) {
            manager->Open(i, 1, nullptr);
            manager->Open(i, 0, nullptr);
        }
        std::atexit([] { OrvoSystem::shutdown(); });
    }

    void route() {
        TMidiAliasManager* aliases = TMidiAliasManager::instance();
        TMidiAlias* in = aliases->GetAliasByName("MIDI Input", atIn, 1, -1);
        TMidiAlias* out = aliases->GetAliasByName("MIDI Thru", atOut, 1, -1);
        aliases->SetAliasDevice(in, "In 0");
        aliases->SetAliasDevice(out, "Out 0");
        routed = TMidiRouter::instance()->AddRoute(in, out) >= 0 &&
                 manager->Open(in->userID, 1, nullptr) && manager->Open(out->userID, 0, nullptr);
    }

    static constexpr int PORTS_PER_DIRECTION = 32;
};

class UnclaimingListener : public MidiManagerDataListener {
public:
    void OnMidiMessage(int, unsigned long long, const unsigned char* data, int,
                       int& handled) override {
        benchmark::DoNotOptimize(data);
        handled = 0;
    }
};

// One Note On per packet from "MIDI Input": parsed, given to the application's listener
// and sent on to "MIDI Thru". Time per iteration is time per message. Packets come stamped,
// as the platform backend stamps them with the sequencer's time.
void BM_ReceivePathPerMessage(benchmark::State& state) {
    BenchSetup& setup = BenchSetup::get();
    if (!setup.routed) {
        state.SkipWithError("the ports did not open");
        return;
    }
    UnclaimingListener listener;
    setup.manager->SetDataListener(&listener);
    setup.factory->clearSent(setup.thru);
    unsigned char message[3] = {0x90, 0x40, 0x64};
    unsigned long long packetTime = 1;
    for (auto _ : state) {
        message[1] = static_cast<unsigned char>((message[1] + 1) & 0x7F);
        setup.factory->feed(setup.input, message, 3, 0, ++packetTime);
    }
    state.SetItemsProcessed(state.iterations());
    setup.manager->SetDataListener(nullptr);
    if (setup.factory->sentTotals(setup.thru).messages != static_cast<size_t>(state.iterations()))
        state.SkipWithError("not every message reached the thru port");
}
BENCHMARK(BM_ReceivePathPerMessage);

// A refresh of the 64 ports that finds nothing changed; with argument 1 the backend is
// enumerated again, with 0 its cached list is used.
void BM_RefreshOf64UnchangedPorts(benchmark::State& state) {
    BenchSetup& setup = BenchSetup::get();
    const bool enumerate = state.range(0) != 0;
    for (auto _ : state) {
        if (enumerate)
            setup.refreshEnumerating();
        else
            setup.manager->RefreshDevList(1, 1);
    }
    if (setup.manager->GetDevCount(1) + setup.manager->GetDevCount(0) != 64)
        state.SkipWithError("the port tables changed");
}
BENCHMARK(BM_RefreshOf64UnchangedPorts)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// An alias section of N entries, half inputs and half outputs bound to ports that are not
// there, loaded as at start-up; from the second round on every entry rebinds an alias it
// made before. Five repetitions, reported as their median.
void BM_LoadAliasSection(benchmark::State& state) {
    BenchSetup::get();
    const int n = static_cast<int>(state.range(0));
    TStringList lines;
    lines.Add(OxString::format("[%s]", SECTION_ALIAS));
    for (int k = 0; k < n; ++k) {
        lines.Add(OxString::format("Name%d=Alias %d", k, k));
        lines.Add(OxString::format("Device%d=%d:Port %d", k, k % 2 + 1, k % 100));
    }
    TIniFile ini("unused.ini");
    ini.ParseStrings(lines);
    TMidiAliasManager* aliases = TMidiAliasManager::instance();
    for (auto _ : state)
        aliases->loadFromIniFile(ini);
    state.SetItemsProcessed(state.iterations() * n);
    if (aliases->IndexOf("Alias " + OxString::fromInt(n - 1), atOut) < 0)
        state.SkipWithError("the last entry was not loaded");
}
BENCHMARK(BM_LoadAliasSection)
    ->Arg(3000)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true)
    ->Unit(benchmark::kMillisecond);

} // namespace
