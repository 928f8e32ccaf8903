#include "core/inifile/TIniFile.h"

#include <benchmark/benchmark.h>

namespace {

using Lk::OxString;
using Lk::TIniFile;

const char* const kSection = "MIDI.alias";

OxString keyFor(int i) {
    return "Name" + OxString::fromInt(i);
}

// N keys written into a section that does not hold them yet.
void BM_IniWriteNewKeys(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    for (auto _ : state) {
        TIniFile ini("unused");
        for (int i = 0; i < n; ++i)
            ini.WriteString(kSection, keyFor(i), "USB Keys MIDI 1");
        benchmark::DoNotOptimize(ini);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_IniWriteNewKeys)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

// N keys that the file already holds written again, as saving the settings does after
// reading them: every write moves its line to the end of the section.
void BM_IniRewriteKeys(benchmark::State& state) {
    const int n = static_cast<int>(state.range(0));
    TIniFile read("unused");
    for (int i = 0; i < n; ++i)
        read.WriteString(kSection, keyFor(i), "USB Keys MIDI 1");
    for (auto _ : state) {
        state.PauseTiming();
        TIniFile ini = read;
        state.ResumeTiming();
        for (int i = 0; i < n; ++i)
            ini.WriteString(kSection, keyFor(i), "USB Keys MIDI 2");
        benchmark::DoNotOptimize(ini);
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_IniRewriteKeys)->Arg(100)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond);

} // namespace
