// The unit's discriminator settings and channel counts as bytes, and the statistics the
// discriminator screen shows: pure functions, no I/O.
//
// Discriminator block (48 bytes): bytes 2i and 2i + 1 hold the first and second setting of
// channel i (A1 = 0 .. H2 = 15), byte 32 + i its third; each byte is two packed decimal
// digits. Counts record (40 bytes, little-endian): sixteen 16-bit counts, status words S1
// and S2, four unused bytes.
#pragma once

#include <QString>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>

namespace vm418 {

constexpr int kDiscrChannels = 16;
constexpr int kDiscrSettings = 3;  // first (left), second (right), third (above)
constexpr size_t kDiscrBlockSize = 48;
constexpr size_t kCountsRecordSize = 40;
constexpr int kStatisticsSamples = 30;  // counts per average and spread

// "A1", "A2", "B1" .. "H2".
QString discrChannelName(int channel);

// A packed decimal byte as 0..99; a digit above 9 reads as 9.
int decodePackedDecimal(uint8_t byte);
// The low byte of `value` as a packed decimal byte; above 99 it is written as 99 (300 gives
// 0x44, -1 gives 0x99).
uint8_t encodePackedDecimal(int value);

using DiscrSettings = std::array<std::array<int, kDiscrSettings>, kDiscrChannels>;

// The settings of a block, or nothing (and `error` says why) when fewer than 48 bytes came.
std::optional<DiscrSettings> decodeDiscrBlock(const uint8_t* data, size_t length,
                                              QString* error = nullptr);
std::array<uint8_t, kDiscrBlockSize> encodeDiscrBlock(const DiscrSettings& settings);

struct CountsRecord {
    std::array<uint16_t, kDiscrChannels> counts{};
    uint16_t S1 = 0;
    uint16_t S2 = 0;
};
// The counts of a record, or nothing (and `error` says why) when fewer than 40 bytes came.
std::optional<CountsRecord> parseCountsRecord(const uint8_t* data, size_t length,
                                              QString* error = nullptr);

struct ChannelStatistics {
    double mean = 0;
    double relativeSpread = 1;  // spread (n - 1) over the square root of the mean; 1 when m <= 0
};
ChannelStatistics channelStatistics(const std::array<uint32_t, kStatisticsSamples>& samples);

}  // namespace vm418
