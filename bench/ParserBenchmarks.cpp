#include "midi/MidiInput.h"

#include <benchmark/benchmark.h>

#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

constexpr int STREAM_BYTES = 60 * 1024;

// A port that is never opened: the parser runs without a backend.
class BenchInput : public Lk::TMidiInputBase, public Lk::TMidiDeviceDataListener {
public:
    BenchInput() : TMidiInputBase(nullptr) { SetDataListener(this); }
    int OpenImpl(Lk::OxStringList*) override { return 0; }
    int CloseImpl(void*) override { return 1; }
    void OnMidiDeviceMessage(Lk::TMidiInputBase*, unsigned long long, const unsigned char* data,
                             int length) override {
        benchmark::DoNotOptimize(data);
        delivered += length;
    }
    // The base reads the clock for every message; the parser alone is measured here.
    unsigned long long getTimestamp() override { return 0; }

    long delivered = 0;
};

// Feeds `stream` in packets of `packetSize` bytes, over and over.
void parseInPackets(benchmark::State& state, const Bytes& stream, int packetSize) {
    BenchInput input;
    const int length = static_cast<int>(stream.size());
    for (auto _ : state)
        for (int offset = 0; offset < length; offset += packetSize)
            input.parseAndDispatch(stream.data() + offset,
                                   packetSize < length - offset ? packetSize : length - offset);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    benchmark::DoNotOptimize(input.delivered);
}

Bytes channelMessages() {
    Bytes s;
    for (int i = 0; s.size() + 3 <= STREAM_BYTES; ++i)
        s.insert(s.end(), {static_cast<unsigned char>(0x90 | (i & 0x0F)),
                           static_cast<unsigned char>(i & 0x7F), 0x64});
    return s;
}

Bytes runningStatusStream() {
    Bytes s = {0x90};
    for (int i = 0; s.size() + 2 <= STREAM_BYTES; ++i)
        s.insert(s.end(), {static_cast<unsigned char>(i & 0x7F), 0x64});
    return s;
}

Bytes systemExclusive() {
    Bytes s(STREAM_BYTES, 0x2A);
    s.front() = 0xF0;
    s.back() = 0xF7;
    return s;
}

// One message per packet: the path that skips the byte parser.
void BM_ParseChannelMessagesOnePerPacket(benchmark::State& state) {
    parseInPackets(state, channelMessages(), 3);
}
BENCHMARK(BM_ParseChannelMessagesOnePerPacket);

// Many messages per packet go through the byte parser.
void BM_ParseChannelMessagesInLargePackets(benchmark::State& state) {
    parseInPackets(state, channelMessages(), 1023);
}
BENCHMARK(BM_ParseChannelMessagesInLargePackets);

void BM_ParseRunningStatus(benchmark::State& state) {
    parseInPackets(state, runningStatusStream(), static_cast<int>(state.range(0)));
}
BENCHMARK(BM_ParseRunningStatus)->Arg(2)->Arg(1024);

void BM_ParseSystemExclusive(benchmark::State& state) {
    parseInPackets(state, systemExclusive(), static_cast<int>(state.range(0)));
}
BENCHMARK(BM_ParseSystemExclusive)->Arg(256)->Arg(4096);

} // namespace
