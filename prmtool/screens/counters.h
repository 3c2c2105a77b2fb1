#pragma once

#include <QByteArray>
#include <array>
#include <cstdint>

namespace prm {

// The counters test's evaluation: four raw counts of the gamma thresholds and the neutron
// counter give a dose rate. Even and odd requests alternate between two evaluations; the
// odd one averages the first count over the pair.
struct CountersState {
    uint8_t cycleCount = 0;
    std::array<uint16_t, 4> raw{};
    std::array<uint16_t, 5> corrected{};
    std::array<uint16_t, 5> pairs{};
    float doseRaw = 0;
    float doseCorrected = 0;
};

// Dead-time correction of a count: n / (1 - n * 0.000057), truncated, in extended precision.
uint16_t deadTimeCorrected(uint16_t n);

struct CountersResult {
    QByteArray logLine;     // empty when the dose-unit code names no unit
    QByteArray recordLine;  // the line of the counters recording, line feed included
    bool oddCycle = false;
};

// Evaluates one reply (four counts) for the settings' dose-unit code and advances the cycle.
CountersResult evaluateCounters(CountersState& s, const std::array<uint16_t, 4>& raw,
                                uint8_t doseUnitCode);

// The histogram bin of a first count: the count itself below 127, else 127.
int histogramBin(uint16_t firstCount);
constexpr int kHistogramBins = 128;

}  // namespace prm
