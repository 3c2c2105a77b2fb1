#include "station_files.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>

namespace vm418sim {

namespace {

constexpr size_t kRingSize = 15000;
constexpr size_t kParameterSize = 212;
constexpr size_t kHistorySlots = 100;
constexpr size_t kHistorySlot = 28;
constexpr int kRingOldest = 14100;  // the first record starts near the end, so records wrap
constexpr int kAlarmCount = 48;

// Text of exactly `width` bytes: the formatted value, blank-padded.
void PutField(Bytes& out, size_t width, const char* text) {
    const size_t n = std::min(width, std::strlen(text));
    out.insert(out.end(), text, text + n);
    out.insert(out.end(), width - n, ' ');
}

Bytes MakeAlarm(std::mt19937& rng, int number) {
    Bytes rec;
    char buf[64];
    const int len = 8 + static_cast<int>(rng() % 40);
    // Counts a portal sees: a background of a hundred to a few hundred a second, and as the
    // vehicle passes a peak that rises above the alarm threshold and falls back. The station
    // keeps them tenfold in 16 bits, so everything stays under 3276.
    const int outBG = 100 + static_cast<int>(rng() % 300);
    const int inBG = outBG - 10 + static_cast<int>(rng() % 21);
    const int threshold = outBG + 40 + static_cast<int>(rng() % 80);
    const int peak = threshold + 30 + static_cast<int>(rng() % 2500);
    // The pulse covers the middle half of the graph; before and after it only background.
    const int start = len / 4;
    const int end = len - 1 - len / 4;
    const double pi = std::acos(-1.0);
    std::vector<int> graph;
    for (int i = 0; i < len; ++i) {
        const double s = i > start && i < end ? std::sin(pi * (i - start) / (end - start)) : 0.0;
        const int noise = static_cast<int>(rng() % 21) - 10;
        graph.push_back(static_cast<int>(outBG + (peak - outBG) * s * s) + noise);
    }
    const int max = *std::max_element(graph.begin(), graph.end());
    const int min = *std::min_element(graph.begin(), graph.end());
    // The level follows how far the peak went over the threshold.
    const int level = max < 2 * threshold   ? 1 + static_cast<int>(rng() % 2)
                      : max < 4 * threshold ? 3 + static_cast<int>(rng() % 2)
                                            : 5;
    std::snprintf(buf, sizeof buf, "%4d %3d %3d %4d", number, static_cast<int>(rng() % 4),
                  static_cast<int>(rng() % 90), inBG);
    PutField(rec, 17, buf);
    std::snprintf(buf, sizeof buf, "%02d-%02d-%02d %02d:%02d:%02d", 1 + number % 12,
                  1 + number % 28, 26, number % 24, (number * 7) % 60, (number * 13) % 60);
    PutField(rec, 18, buf);
    std::snprintf(buf, sizeof buf, "%3d %5d %6d %3d", level, outBG, threshold, len);
    PutField(rec, 20, buf);
    std::snprintf(buf, sizeof buf, "%6d %6d %c", max, min, "ACEG"[rng() % 4]);
    PutField(rec, 16, buf);
    PutField(rec, 24, "OK  ALARM  GAMMA  AB   U");
    rec.push_back(0);
    PutField(rec, 8, "00:01:30");
    rec.push_back(0);
    for (const int v : graph)
        for (int b = 0; b < 4; ++b)
            rec.push_back(static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * b)));
    rec.insert(rec.end(), 4, 0);
    return rec;
}

}  // namespace

UnitFiles MakeUnitFiles(unsigned seed) {
    std::mt19937 rng(seed);
    UnitFiles f;
    f.alarmRing.assign(kRingSize, 0);
    size_t pos = kRingOldest;
    for (int i = 0; i < kAlarmCount; ++i) {
        Bytes rec = MakeAlarm(rng, i + 1);
        for (uint8_t b : rec) {
            f.alarmRing[pos] = b;
            pos = (pos + 1) % kRingSize;
        }
        f.alarms.push_back(std::move(rec));
    }

    // A parameter block a station would accept: the unit's settings at their offsets, the
    // bytes nobody reads left as noise.
    f.parameters.assign(kParameterSize, 0);
    for (size_t i = 0; i < kParameterSize; ++i)
        f.parameters[i] = static_cast<uint8_t>(rng());
    auto text = [&f](size_t at, size_t width, const char* value) {
        std::memset(&f.parameters[at], 0, width);
        std::memcpy(&f.parameters[at], value, std::min(width, std::strlen(value)));
    };
    auto put = [&f](size_t at, int64_t value, int width) {
        for (int i = 0; i < width; ++i)
            f.parameters[at + i] = static_cast<uint8_t>((value >> (8 * i)) & 0xFF);
    };
    text(0, 5, "41S");   // software version
    text(5, 5, "1418");  // password
    text(10, 44, "VM418 SIMULATED STATION");
    put(54, 418, 2);    // serial number
    put(57, 5, 1);      // alarm timeout
    put(58, 20, 1);     // number parameter
    put(59, 20, 1);     // vehicle parameter
    put(60, 10000, 4);  // analog scale
    put(64, 0, 1);      // alarm mode
    put(65, 30, 1);     // low alarm L1 AB
    put(66, 30, 1);     // low alarm L1 ab
    put(67, 10, 2);     // low alarm L2
    put(69, 4, 2);      // high alarm H3
    put(72, 8, 1);      // detectors
    put(73, 2, 1);      // optical sensors
    put(74, 0, 1);      // modem TEL
    put(75, 1, 1);      // print alarms
    put(79, static_cast<int64_t>(kRingOldest), 2);
    put(81, static_cast<int64_t>(pos), 2);
    put(97, 0, 1);   // US format
    put(98, 50, 2);  // contrast
    put(100, 1, 1);  // speed alert
    put(101, 5, 1);  // speed limit
    put(104, 0, 1);  // speed in km/h
    put(135, 1, 1);  // alarms only by optical sensors
    put(138, 0, 1);  // optical sensor distance
    put(144, 2, 1);  // background corrections
    put(145, 2, 1);
    put(146, 3, 1);   // segment parameter
    put(147, 10, 1);  // optical sensor level
    put(172, 30, 1);  // low alarm L1 CD
    put(173, 30, 1);  // low alarm L1 EF
    put(174, 0, 1);   // dust parameter
    put(175, 0, 1);   // TLC output

    f.history.assign(kHistorySlots * kHistorySlot, 0);
    for (size_t s = 0; s < 60; ++s) {
        uint8_t* slot = &f.history[s * kHistorySlot];
        char buf[32];
        std::snprintf(buf, sizeof buf, "EV%04d", static_cast<int>(rng() % 10000));
        std::memcpy(slot, buf, 6);
        std::snprintf(buf, sizeof buf, "%02d-%02d-%02d %02d:%02d:%02d",
                      1 + static_cast<int>(s % 12), 1 + static_cast<int>(s % 28), 26,
                      static_cast<int>(s % 24), static_cast<int>(s % 60),
                      static_cast<int>((s * 3) % 60));
        std::memcpy(slot + 6, buf, 17);
        std::memset(slot + 24, 0xFF, 4);
    }
    return f;
}

}  // namespace vm418sim
