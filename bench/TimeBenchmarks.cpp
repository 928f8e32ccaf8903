#include "platform/OxTime.h"

#include <benchmark/benchmark.h>

namespace {

// Read for every timer pass and every MIDI time stamp: one clock read and a division.
void BM_GetMilliTime(benchmark::State& state) {
    Lk::getMilliTime();
    for (auto _ : state)
        benchmark::DoNotOptimize(Lk::getMilliTime());
}
BENCHMARK(BM_GetMilliTime);

} // namespace
