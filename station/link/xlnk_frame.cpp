#include "xlnk_frame.h"

#include <array>
#include <cstring>

namespace station {

namespace {

// CRC-16, polynomial 0x1021, most significant bit first, no reflection, no final XOR.
constexpr std::array<uint16_t, 256> MakeCrcTable() {
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        unsigned crc = i << 8;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1;
        table[i] = static_cast<uint16_t>(crc);
    }
    return table;
}
constexpr auto kCrcTable = MakeCrcTable();

}  // namespace

uint8_t HeaderChecksum(const uint8_t* bytes, size_t count) {
    uint8_t x = bytes[0];
    for (size_t i = 1; i < count; ++i)
        x ^= bytes[i];
    return x;
}

uint16_t Crc16(uint16_t initial, const uint8_t* bytes, size_t count) {
    uint16_t crc = initial;
    for (size_t i = 0; i < count; ++i)
        crc = static_cast<uint16_t>(kCrcTable[(bytes[i] ^ (crc >> 8)) & 0xFF] ^ (crc << 8));
    return crc;
}

FrameHeader ParseHeader(const uint8_t* header) {
    FrameHeader h;
    h.length = GetU16(header + 1);
    h.command = GetU16(header + 3);
    h.valid = header[0] == kFrameMarker && HeaderChecksum(header, kHeaderSize) == 0;
    return h;
}

std::vector<uint8_t> BuildCommandBytes(uint16_t cmd, const uint8_t* data, size_t length) {
    if (cmd == CMD_MODEM || cmd == CMD_RAW_TEXT)
        return std::vector<uint8_t>(data, data + length);
    const bool withCrc = cmd == CMD_WRITE_PARAMETERS;
    std::vector<uint8_t> out(kHeaderSize + length + (withCrc ? 2 : 0));
    out[0] = kFrameMarker;
    PutU16(&out[1], static_cast<uint16_t>(length));
    PutU16(&out[3], cmd);
    out[5] = HeaderChecksum(out.data(), 5);
    if (length > 0)
        std::memcpy(&out[kHeaderSize], data, length);
    if (withCrc)
        PutU16(&out[kHeaderSize + length], Crc16(0, data, length));
    return out;
}

std::vector<uint8_t> BuildBlockRecord(uint32_t number, uint16_t blockSize, const uint8_t* data,
                                      uint16_t valid) {
    std::vector<uint8_t> rec(kBlockOverhead + blockSize, 0);
    PutU32(&rec[0], number);
    PutU16(&rec[4], blockSize);
    PutU16(&rec[6], valid);
    if (valid > 0)
        std::memcpy(&rec[kBlockHeaderSize], data, valid);
    PutU16(&rec[kBlockHeaderSize + blockSize], Crc16(0, rec.data(), kBlockHeaderSize + blockSize));
    return rec;
}

std::optional<BlockRecord> ParseBlockRecord(const uint8_t* record, size_t length) {
    if (length < kBlockOverhead || length > kMaxBlockFrameLength)
        return std::nullopt;
    BlockRecord b;
    b.number = GetU32(record);
    b.blockSize = GetU16(record + 4);
    b.valid = GetU16(record + 6);
    b.data = record + kBlockHeaderSize;
    if (b.valid > length - kBlockOverhead)
        return std::nullopt;
    if (Crc16(0, record, length - 2) != GetU16(record + length - 2))
        return std::nullopt;
    return b;
}

}  // namespace station
