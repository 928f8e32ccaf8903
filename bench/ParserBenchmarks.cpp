#include "midi/MidiInput.h"

#include <alsa/asoundlib.h>
#include <benchmark/benchmark.h>

#include <ctime>
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

void parseOnce(BenchInput& input, const Bytes& stream, int packetSize) {
    const int length = static_cast<int>(stream.size());
    for (int offset = 0; offset < length; offset += packetSize)
        input.parseAndDispatch(stream.data() + offset,
                               packetSize < length - offset ? packetSize : length - offset);
}

// Feeds `stream` in packets of `packetSize` bytes, over and over.
void parseInPackets(benchmark::State& state, const Bytes& stream, int packetSize) {
    BenchInput input;
    for (auto _ : state)
        parseOnce(input, stream, packetSize);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(stream.size()));
    benchmark::DoNotOptimize(input.delivered);
}

// ALSA's byte-to-event encoder, which its clients feed a raw byte stream one byte at a
// time; events of up to one chunk, as this parser delivers them.
class AlsaEncoder {
public:
    AlsaEncoder() {
        if (snd_midi_event_new(Lk::TMidiInputBase::MAX_CHUNK, &encoder) < 0)
            encoder = nullptr;
    }
    AlsaEncoder(const AlsaEncoder&) = delete;
    AlsaEncoder& operator=(const AlsaEncoder&) = delete;
    ~AlsaEncoder() {
        if (encoder != nullptr)
            snd_midi_event_free(encoder);
    }
    bool isValid() const { return encoder != nullptr; }

    void encodeOnce(const Bytes& stream) {
        snd_seq_event_t event;
        for (const unsigned char byte : stream)
            if (snd_midi_event_encode_byte(encoder, byte, &event) == 1) {
                benchmark::DoNotOptimize(event);
                ++events;
            }
    }

    long events = 0;

private:
    snd_midi_event_t* encoder = nullptr;
};

// CPU time of this thread: on a busy machine wall time would count other programs too.
double threadSeconds() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Both over the same bytes in turn, each timed on its own: the counters give the MB/s
// (10^6 bytes) of each and how many times faster this parser is.
void compareWithAlsa(benchmark::State& state, const Bytes& stream, int packetSize) {
    BenchInput input;
    AlsaEncoder alsa;
    if (!alsa.isValid()) {
        state.SkipWithError("snd_midi_event_new failed");
        return;
    }
    double ours = 0;
    double theirs = 0;
    for (auto _ : state) {
        const double start = threadSeconds();
        parseOnce(input, stream, packetSize);
        const double parsed = threadSeconds();
        alsa.encodeOnce(stream);
        theirs += threadSeconds() - parsed;
        ours += parsed - start;
    }
    if (ours <= 0 || theirs <= 0)
        return;
    const double megabytes = static_cast<double>(state.iterations()) * stream.size() / 1e6;
    state.counters["doka_MB/s"] = megabytes / ours;
    state.counters["alsa_MB/s"] = megabytes / theirs;
    state.counters["x_alsa"] = theirs / ours;
    benchmark::DoNotOptimize(input.delivered);
    benchmark::DoNotOptimize(alsa.events);
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

// Channel messages one per packet, as a USB port delivers them, or many per packet.
void BM_VersusAlsaChannelMessages(benchmark::State& state) {
    compareWithAlsa(state, channelMessages(), static_cast<int>(state.range(0)));
}
BENCHMARK(BM_VersusAlsaChannelMessages)->Arg(3)->Arg(1023);

void BM_VersusAlsaRunningStatus(benchmark::State& state) {
    compareWithAlsa(state, runningStatusStream(), 1024);
}
BENCHMARK(BM_VersusAlsaRunningStatus);

void BM_VersusAlsaSystemExclusive(benchmark::State& state) {
    compareWithAlsa(state, systemExclusive(), 4096);
}
BENCHMARK(BM_VersusAlsaSystemExclusive);

} // namespace
