// How fast the HM-210 receive path turns bytes into reply units, against what the line
// delivers: 2400 bit/s is 240 bytes a second.

#include <benchmark/benchmark.h>

#include "reply_machine.h"
#include "settings_block.h"

namespace {

// A gamma ADC spectrum stream: 256-byte units, re-armed by the machine itself.
void AdcSpectrumStream(benchmark::State& state) {
    prm::LinkState s;
    s.state = prm::code::kAdcSpectrum;
    prm::setCommandBytes(s, "H");
    prm::processByte(s, prm::kEchoByte);
    uint8_t b = 0;
    int units = 0;
    for (auto _ : state) {
        if (prm::processByte(s, b++) != prm::ReplyOwner::None) ++units;
    }
    state.SetBytesProcessed(state.iterations());
    state.counters["units"] = units;
    state.counters["line_bytes_per_s"] = 240;
}
BENCHMARK(AdcSpectrumStream);

// The receive ring: a 64-byte batch in, taken out byte by byte.
void RingThroughput(benchmark::State& state) {
    prm::LinkState s;
    uint8_t batch[64] = {};
    for (auto _ : state) {
        prm::ringPut(s, batch, sizeof batch);
        while (!prm::ringEmpty(s))
            benchmark::DoNotOptimize(prm::ringTake(s));
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(sizeof batch));
}
BENCHMARK(RingThroughput);

// Checking and decoding a 31-byte settings block into the field texts.
void SettingsBlockDecode(benchmark::State& state) {
    uint8_t block[prm::kSettingsReadBlockSize] = {0x4B, 5, 30, 25};
    uint8_t x = 0;
    for (int i = 0; i < prm::kSettingsReadBlockSize - 1; ++i)
        x ^= block[i];
    block[prm::kSettingsReadBlockSize - 1] = x;
    for (auto _ : state) {
        benchmark::DoNotOptimize(prm::readBlockValid(block));
        benchmark::DoNotOptimize(prm::fieldTextsOf(block));
    }
}
BENCHMARK(SettingsBlockDecode);

}  // namespace

BENCHMARK_MAIN();
