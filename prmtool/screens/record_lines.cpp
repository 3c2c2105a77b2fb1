#include "record_lines.h"

#include <cstdio>

namespace prm {

namespace {

constexpr uint8_t kEndMarker = 0xAA;
constexpr uint8_t kHeaderError = 'E';
constexpr char kAlarmTypeA = 'A';

uint16_t u16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
int16_t s16(const uint8_t* p) {
    return static_cast<int16_t>(u16(p));
}
uint32_t u32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
// The record's bytes are shown as short numbers, 0 to 255.
short h(uint8_t v) {
    return static_cast<short>(v);
}

template <typename... Args>
QByteArray format(const char* fmt, Args... args) {
    char text[128];
    const int n = std::snprintf(text, sizeof text, fmt, args...);
    return QByteArray(text, n < 0 ? 0 : std::min<int>(n, sizeof text - 1));
}

}  // namespace

HeaderKind classifyHeader(const uint8_t* b) {
    if (b[0] == kHeaderError && b[1] == kHeaderError && b[2] == kHeaderError &&
        b[3] == kHeaderError) {
        return HeaderKind::Unreadable;
    }
    for (int i = 0; i < kRecordBlockSize; ++i) {
        if (b[i] != i) return HeaderKind::Normal;
    }
    return HeaderKind::TestPattern;
}

bool isEndBlock(const uint8_t* b) {
    return b[0] == kEndMarker || b[1] == kEndMarker || b[2] == kEndMarker || b[3] == kEndMarker;
}

QByteArray headerLine(const uint8_t* b) {
    return format("%04X %04X %02hd/%02hd/%02hd %02hd:%02hd:%02hd %04u %cV%c%c %c", u16(&b[0]),
                  u16(&b[2]), h(b[4]), h(b[5]), h(b[6]), h(b[7]), h(b[8]), h(b[9]),
                  static_cast<unsigned>(u16(&b[10])), b[12], b[13], b[14], b[15]);
}

QByteArray recordLine(RecordKind kind, const uint8_t* b) {
    const char type = static_cast<char>(b[15]);
    if (kind == RecordKind::Dose) {
        return format("%02hd/%02hd/%02hd %02hd:%02hd:%02hd   %6u %6u %6.2f %3hd %c", h(b[0]),
                      h(b[1]), h(b[2]), h(b[3]), h(b[4]), h(b[5]), u32(&b[6]),
                      static_cast<unsigned>(u16(&b[10])), u16(&b[12]) / 100.0, h(b[14]), type);
    }
    if (type == kAlarmTypeA) {
        return format("%02hd/%02hd/%02hd %02hd:%02hd:%02hd   %6u %6u %6d %3hd %c", h(b[0]), h(b[1]),
                      h(b[2]), h(b[3]), h(b[4]), h(b[5]), static_cast<unsigned>(u16(&b[6])),
                      static_cast<unsigned>(u16(&b[8])), static_cast<int32_t>(u32(&b[10])),
                      h(b[14]), type);
    }
    return format("%02hd/%02hd/%02hd %02hd:%02hd:%02hd   %6.2f %6d %3hd %2hd %3hd %c", h(b[0]),
                  h(b[1]), h(b[2]), h(b[3]), h(b[4]), h(b[5]), u16(&b[6]) / 100.0,
                  static_cast<int>(s16(&b[8])), h(b[12]), h(b[13]), h(b[14]), type);
}

QByteArray countLine(int records) {
    return format("Number of Records = %3d", records);
}

QByteArray fileLine(const QByteArray& line, int fixedLength) {
    return line.left(fixedLength) + '\r';
}

}  // namespace prm
