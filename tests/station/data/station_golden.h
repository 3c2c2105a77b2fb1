// Hand-made station files: the bytes the unit writes, with the values each must parse to
// written beside them.

#pragma once

#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "para_418.h"
#include "station_files.h"

namespace vm418::golden {

// One alarm record, 121 bytes: coded number 150 (in, alarm 50), segment 3, speed 45, InBG 12;
// 03-04-99 10:20:30; level 7, OutBG 15, threshold 250, Len 3; Max 880, Min 40, detector C;
// status word ending in 'U' (month first), its 25th byte '#' (becomes NUL); background time
// "00:12:30" and '#'; graph 100, 200, -1; four unused bytes.
inline const char kRecordA[] =
    "150 3 45 12      "
    "03-04-99 10:20:30 "
    "7 15 250 3          "
    "880 40 C        "
    "ABCDEFGHIJKLMNOPQRSTUVWU#"
    "00:12:30#"
    "\x64\x00\x00\x00\xC8\x00\x00\x00\xFF\xFF\xFF\xFF"
    "XXXX";
inline constexpr int kRecordASize = 121;
static_assert(sizeof(kRecordA) - 1 == kRecordASize);

inline std::string padded(const std::string& s, std::size_t width, char fill = ' ') {
    return s.size() >= width ? s.substr(0, width) : s + std::string(width - s.size(), fill);
}

// A record built from its pieces, padded to their widths.
inline std::string alarmRecord(const std::string& numbers, const std::string& date,
                               const std::string& levels, const std::string& counts,
                               const std::string& status24,
                               const std::vector<int32_t>& graph = {}) {
    std::string r = padded(numbers, 17) + padded(date, 18) + padded(levels, 20) +
                    padded(counts, 16) + padded(status24, 24) + "#" + "00:00:10#";
    for (int32_t v : graph) {
        const uint32_t u = static_cast<uint32_t>(v);
        for (int k = 0; k < 4; ++k)
            r.push_back(static_cast<char>((u >> (8 * k)) & 0xFF));
    }
    return r + "----";
}

inline std::vector<uint8_t> emptyRing() {
    return std::vector<uint8_t>(kAlarmRingSize, 0);
}

// Writes `record` into the ring from `offset`, wrapping at the ring's end.
inline void putRecord(std::vector<uint8_t>& ring, int offset, const std::string& record) {
    for (std::size_t i = 0; i < record.size(); ++i)
        ring[(offset + i) % kAlarmRingSize] = static_cast<uint8_t>(record[i]);
}

// One 28-byte history slot: six characters of event code, 18 of date (or text), and the
// end marker of a used slot.
inline std::string historySlot(const std::string& code, const std::string& date18,
                               bool marked = true) {
    return padded(code, 6) + padded(date18, 18, '\0') +
           (marked ? std::string(4, '\xFF') : std::string(4, '\0'));
}

inline std::vector<uint8_t> historyFile(const std::vector<std::string>& slotTexts) {
    std::vector<uint8_t> f(kHistoryFileSize, 0);
    std::size_t at = 0;
    for (const std::string& s : slotTexts) {
        std::memcpy(f.data() + at, s.data(), s.size());
        at += s.size();
    }
    return f;
}

// A parameter block that passes every check: password 1418, alarm timeout 10, number
// parameter 20, vehicle parameter 20, scale 10000, L1 AB 10, L2 10, H3 5, 4 detectors,
// no optical sensor, contrast 50, speed limit 5, segment 5, OS level 10, serial 4711.
struct ParaByte {
    int offset;
    std::vector<uint8_t> bytes;
};
inline const ParaByte kValidBlock[] = {
    {0, {'1', '.', '2', '3', 0}},
    {5, {'1', '4', '1', '8', 0}},
    {54, {0x67, 0x12}},              // serial 4711
    {57, {10, 20, 20}},              // alarm timeout, number parameter, vehicle parameter
    {60, {0x10, 0x27, 0x00, 0x00}},  // analog scale 10000
    {64, {0, 10, 10, 10, 0, 5, 0}},  // mode, L1 AB, L1 ab, L2 = 10, H3 = 5
    {72, {4, 0, 1, 1}},              // detectors, optical sensors, modem CEL, print YES-INT
    {98, {50, 0, 0, 5}},             // contrast 50, speed alert NO, speed limit 5
    {146, {5, 10}},                  // segment, OS level
    {172, {10, 10, 0, 0}},           // L1 CD, L1 EF, dust, TLC
};

inline std::vector<uint8_t> blockBytes(const ParaByte* begin, const ParaByte* end) {
    std::vector<uint8_t> b(kParaSize, 0);
    for (const ParaByte* p = begin; p != end; ++p)
        std::memcpy(b.data() + p->offset, p->bytes.data(), p->bytes.size());
    return b;
}

inline PARA_418 validBlock() {
    const std::vector<uint8_t> b = blockBytes(std::begin(kValidBlock), std::end(kValidBlock));
    PARA_418 p;
    std::memcpy(&p, b.data(), kParaSize);
    return p;
}

inline std::tm localFields(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    return tm;
}

}  // namespace vm418::golden
