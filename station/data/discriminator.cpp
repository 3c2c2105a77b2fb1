#include "discriminator.h"

#include <algorithm>
#include <cmath>

namespace vm418 {

namespace {

constexpr size_t kThirdSettingOffset = 32;  // byte 32 + i: the third setting of channel i
constexpr size_t kStatusOffset = 2 * kDiscrChannels;

uint16_t le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}

QString shortText(const char* what, size_t got, size_t needed) {
    return QString::asprintf("%s too short: %zu of %zu bytes", what, got, needed);
}

}  // namespace

QString discrChannelName(int channel) {
    return QString(QChar('A' + channel / 2)) + QChar('1' + channel % 2);
}

int decodePackedDecimal(uint8_t byte) {
    const int tens = std::min(byte >> 4, 9);
    const int units = std::min(byte & 0x0F, 9);
    return tens * 10 + units;
}

uint8_t encodePackedDecimal(int value) {
    // The value's low byte, as the unit's block holds one byte a setting: 300 is 44, -1 is 255
    // and so 99.
    const int low = value & 0xFF;
    const int v = std::min(low, 99);
    return static_cast<uint8_t>((v / 10) << 4 | v % 10);
}

std::optional<DiscrSettings> decodeDiscrBlock(const uint8_t* data, size_t length, QString* error) {
    if (data == nullptr || length < kDiscrBlockSize) {
        if (error) *error = shortText("Discriminator settings", length, kDiscrBlockSize);
        return std::nullopt;
    }
    DiscrSettings s{};
    for (int i = 0; i < kDiscrChannels; ++i) {
        s[i][0] = decodePackedDecimal(data[2 * i]);
        s[i][1] = decodePackedDecimal(data[2 * i + 1]);
        s[i][2] = decodePackedDecimal(data[kThirdSettingOffset + i]);
    }
    return s;
}

std::array<uint8_t, kDiscrBlockSize> encodeDiscrBlock(const DiscrSettings& settings) {
    std::array<uint8_t, kDiscrBlockSize> block{};
    for (int i = 0; i < kDiscrChannels; ++i) {
        block[2 * i] = encodePackedDecimal(settings[i][0]);
        block[2 * i + 1] = encodePackedDecimal(settings[i][1]);
        block[kThirdSettingOffset + i] = encodePackedDecimal(settings[i][2]);
    }
    return block;
}

std::optional<CountsRecord> parseCountsRecord(const uint8_t* data, size_t length, QString* error) {
    if (data == nullptr || length < kCountsRecordSize) {
        if (error) *error = shortText("Counts record", length, kCountsRecordSize);
        return std::nullopt;
    }
    CountsRecord r;
    for (int i = 0; i < kDiscrChannels; ++i)
        r.counts[i] = le16(data + 2 * i);
    r.S1 = le16(data + kStatusOffset);
    r.S2 = le16(data + kStatusOffset + 2);
    return r;
}

ChannelStatistics channelStatistics(const std::array<uint32_t, kStatisticsSamples>& samples) {
    double sum = 0;
    for (const uint32_t v : samples)
        sum += v;
    ChannelStatistics st;
    st.mean = sum / kStatisticsSamples;
    double squares = 0;
    for (const uint32_t v : samples)
        squares += (v - st.mean) * (v - st.mean);
    const double spread = std::sqrt(squares / (kStatisticsSamples - 1));
    st.relativeSpread = st.mean > 0 ? spread / std::sqrt(st.mean) : 1.0;
    return st;
}

}  // namespace vm418
