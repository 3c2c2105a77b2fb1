#include "counters.h"

#include <cstdio>

namespace prm {

namespace {

constexpr long double kDeadTime = 0.000057L;

template <typename... Args>
QByteArray format(const char* fmt, Args... args) {
    char text[256];
    const int n = std::snprintf(text, sizeof text, fmt, args...);
    return QByteArray(text, n < 0 ? 0 : std::min<int>(n, sizeof text - 1));
}

using L = long double;

}  // namespace

uint16_t deadTimeCorrected(uint16_t n) {
    const L corrected = static_cast<L>(n) / (1.0L - static_cast<L>(n) * kDeadTime);
    // Truncated to a whole number; only its low 16 bits are kept, as the count is 16-bit.
    return static_cast<uint16_t>(static_cast<int64_t>(corrected));
}

int histogramBin(uint16_t firstCount) {
    return firstCount < 127 ? firstCount : 127;
}

CountersResult evaluateCounters(CountersState& s, const std::array<uint16_t, 4>& raw,
                                uint8_t doseUnitCode) {
    CountersResult r;
    s.raw = raw;
    auto& c = s.corrected;
    auto& p = s.pairs;
    r.oddCycle = s.cycleCount & 1;
    if (!r.oddCycle) {
        p[0] = raw[0];
        p[2] = raw[1];
        p[4] = raw[2];
        // The differences are signed.
        const int d01 = raw[0] - raw[1];
        const int d12 = raw[1] - raw[2];
        float f = static_cast<float>(d01 * 0.586L + d12 * 6.32L + raw[2] * 38.8L);
        f = static_cast<float>(static_cast<L>(f) * (static_cast<L>(f) * 0.0000139L + 1.12L));
        s.doseRaw = static_cast<float>(static_cast<L>(f) * 0.001L);
        for (int i = 0; i < 4; ++i)
            c[i] = deadTimeCorrected(raw[i]);
        float g = static_cast<float>((c[0] - c[1]) * 0.586L);
        g = static_cast<float>((c[1] - c[2]) * 6.32L + c[2] * 38.8L + g);
        g = static_cast<float>(1.12L * g);
        g = static_cast<float>(0.001L * g);
        s.doseCorrected = static_cast<float>(static_cast<L>(g) * 1.142L);

        const char* unit = nullptr;
        L factor = 1.0L;
        switch (doseUnitCode) {
            case 0x10:
                unit = "uGy/h";
                break;
            case 0x20:
                unit = "uR/h";
                factor = 114.2L;
                break;
            case 0x40:
                unit = "uSv/h";
                factor = 1.142L;
                break;
            default:
                break;
        }
        if (unit) {
            r.logLine =
                format("Counters: %5u %5u %5u %5u, %8.2f %s @ %5u %5u %5u %5u, %8.2f %s", raw[0],
                       raw[1], raw[2], raw[3], static_cast<double>(s.doseRaw * factor), unit, c[0],
                       c[1], c[2], c[3], static_cast<double>(s.doseCorrected * factor), unit);
        }
        r.recordLine = format("%5u @ %5u %5u %5u %5u @ %5u %5u %5u %8.2f %8.2f\n", raw[0], raw[1],
                              raw[2], raw[3], c[0], c[1], c[2], c[3],
                              static_cast<double>(s.doseRaw), static_cast<double>(s.doseCorrected));
    } else {
        p[0] = static_cast<uint16_t>(static_cast<uint16_t>(p[0] + raw[0]) >> 1);
        p[1] = raw[1];
        p[3] = raw[2];
        for (int i = 0; i < 5; ++i)
            c[i] = deadTimeCorrected(p[i]);
        float d = static_cast<float>((c[0] - c[1]) * 0.517L);
        d = static_cast<float>((c[1] - c[2]) * 0.256L + (c[2] - c[3]) * 2.566L + d);
        d = static_cast<float>((c[3] - c[4]) * 12.73L + c[4] * 33.71L + d);
        d = static_cast<float>(static_cast<L>(d) * 1.21L);
        s.doseCorrected = static_cast<float>(0.001L * d);
        r.logLine = format("Counters: %5u %5u %5u %5u %5u @ %5u %5u %5u %5u %5u, %8.2f uSv/h", p[0],
                           p[1], p[2], p[3], p[4], c[0], c[1], c[2], c[3], c[4],
                           static_cast<double>(s.doseCorrected));
        r.recordLine =
            format("%5u %5u %5u %5u %5u %5u %5u %5u %5u %5u @ @ %8.2f\n", p[0], p[1], p[2], p[3],
                   p[4], c[0], c[1], c[2], c[3], c[4], static_cast<double>(s.doseCorrected));
    }
    ++s.cycleCount;
    return r;
}

}  // namespace prm
