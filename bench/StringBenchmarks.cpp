#include "platform/OxString.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

const char* const kTwentyBytes = "Virtual Raw MIDI 0-0";

// A copy of an OxString shares the text: one atomic increment, no allocation.
void BM_OxStringCopy(benchmark::State& state) {
    const Lk::OxString source(kTwentyBytes);
    for (auto _ : state) {
        Lk::OxString copy(source);
        benchmark::DoNotOptimize(copy);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_OxStringCopy);

// The same 20-byte text in std::string: beyond the small-string buffer, so a copy allocates.
void BM_StdStringCopy(benchmark::State& state) {
    const std::string source(kTwentyBytes);
    for (auto _ : state) {
        std::string copy(source);
        benchmark::DoNotOptimize(copy);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_StdStringCopy);

} // namespace
