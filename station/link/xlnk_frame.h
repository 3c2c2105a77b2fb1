// Bytes of the XLNK line: frame headers, the CRC-16 and the file block record.
// Pure functions, no I/O; all multi-byte fields are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace station {

constexpr uint8_t kFrameMarker = 0x10;
constexpr size_t kHeaderSize = 6;
constexpr size_t kFrameBufferSize = 2100;  // receive frame buffer: header plus data
constexpr size_t kMaxDataLength = 2096;    // largest data length the station sends
constexpr uint16_t kRequestBit = 0x8000;   // a request awaiting an answer

// Command ids.
constexpr uint16_t CMD_FILE_REQUEST = 0xC004;
constexpr uint16_t CMD_FILE_REQUEST_ACK = 0x4004;
constexpr uint16_t CMD_FILE_ANNOUNCE = 0xC00A;
constexpr uint16_t CMD_FILE_ANNOUNCE_ACK = 0x400A;
constexpr uint16_t CMD_FILE_BLOCK = 0xC00B;
constexpr uint16_t CMD_FILE_BLOCK_ACK = 0x400B;
constexpr uint16_t CMD_FILE_END = 0xC00C;
constexpr uint16_t CMD_FILE_END_ACK = 0x400C;
constexpr uint16_t CMD_FILE_REPEAT = 0x400D;
constexpr uint16_t CMD_FILE_ABORT = 0x6900;
constexpr uint16_t CMD_WRITE_PARAMETERS = 0xC0F0;
constexpr uint16_t CMD_MODEM = 0xC700;     // raw modem command line, tracked
constexpr uint16_t CMD_RAW_TEXT = 0x4700;  // raw text, not tracked
constexpr size_t kParameterWriteLength = 176;

uint8_t HeaderChecksum(const uint8_t* bytes, size_t count);
uint16_t Crc16(uint16_t initial, const uint8_t* bytes, size_t count);

struct FrameHeader {
    uint16_t length = 0;
    uint16_t command = 0;
    bool valid = false;  // the XOR of all six bytes is 0
};
FrameHeader ParseHeader(const uint8_t* header);

// The bytes a command puts on the line: raw data for the modem ids, else a frame
// (0xC0F0 carries the CRC of its data behind the data, not counted in the length).
std::vector<uint8_t> BuildCommandBytes(uint16_t cmd, const uint8_t* data, size_t length);

// File block record: number, block size, valid count, block-size data bytes, CRC.
constexpr size_t kBlockHeaderSize = 8;
constexpr size_t kBlockOverhead = kBlockHeaderSize + 2;
constexpr size_t kMaxBlockFrameLength = 1034;

std::vector<uint8_t> BuildBlockRecord(uint32_t number, uint16_t blockSize, const uint8_t* data,
                                      uint16_t valid);

struct BlockRecord {
    uint32_t number = 0;
    uint16_t blockSize = 0;
    uint16_t valid = 0;
    const uint8_t* data = nullptr;
};
// A record is accepted only when its length is in bounds, its CRC is right and it
// carries at least the valid bytes it claims.
std::optional<BlockRecord> ParseBlockRecord(const uint8_t* record, size_t length);

inline uint16_t GetU16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline void PutU16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void PutU32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

}  // namespace station
