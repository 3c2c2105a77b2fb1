#include "station_files.h"

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
    std::snprintf(buf, sizeof buf, "%4d %4d %3d %4d", number, static_cast<int>(rng() % 4),
                  static_cast<int>(rng() % 90), static_cast<int>(100 + rng() % 300));
    PutField(rec, 17, buf);
    std::snprintf(buf, sizeof buf, "%02d-%02d-%02d %02d:%02d:%02d", 1 + number % 12,
                  1 + number % 28, 26, number % 24, (number * 7) % 60, (number * 13) % 60);
    PutField(rec, 18, buf);
    std::snprintf(buf, sizeof buf, "%3d %5d %6d %3d", static_cast<int>(rng() % 9),
                  static_cast<int>(rng() % 5000), static_cast<int>(1000 + rng() % 9000), len);
    PutField(rec, 20, buf);
    std::snprintf(buf, sizeof buf, "%6d %6d %c", static_cast<int>(rng() % 99999),
                  static_cast<int>(rng() % 999), "ACEG"[rng() % 4]);
    PutField(rec, 16, buf);
    PutField(rec, 24, "OK  ALARM  GAMMA  AB   U");
    rec.push_back(0);
    PutField(rec, 8, "00:01:30");
    rec.push_back(0);
    for (int i = 0; i < len; ++i) {
        const uint32_t v = rng() % 100000;
        for (int b = 0; b < 4; ++b)
            rec.push_back(static_cast<uint8_t>(v >> (8 * b)));
    }
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

    f.parameters.assign(kParameterSize, 0);
    const char ident[] = "VM418 SIMULATED STATION";
    std::memcpy(f.parameters.data(), ident, sizeof ident - 1);
    for (size_t i = 32; i < 79; ++i)
        f.parameters[i] = static_cast<uint8_t>(rng());
    f.parameters[79] = kRingOldest & 0xFF;
    f.parameters[80] = kRingOldest >> 8;
    f.parameters[81] = pos & 0xFF;
    f.parameters[82] = static_cast<uint8_t>(pos >> 8);
    for (size_t i = 83; i < kParameterSize; ++i)
        f.parameters[i] = static_cast<uint8_t>(rng());

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
