#pragma once

#include <QByteArray>
#include <cstdint>

namespace prm {

// The 16-byte blocks of the monitor's record memory and the text lines made of them.
constexpr int kRecordBlockSize = 16;
constexpr int kHeaderLineLength = 39;
constexpr int kRecordLineLength = 46;
constexpr int kCountLineLength = 23;

enum class RecordKind { Alarms = 0, Dose = 1 };

enum class HeaderKind {
    Normal,
    Unreadable,   // bytes 0-3 all "E": the monitor could not read its header
    TestPattern,  // bytes 0-15 are 0, 1, ... 15: left by the memory test
};
HeaderKind classifyHeader(const uint8_t* block);

// The end block: any of bytes 0-3 is 0xAA.
bool isEndBlock(const uint8_t* block);

QByteArray headerLine(const uint8_t* block);
QByteArray recordLine(RecordKind kind, const uint8_t* block);
QByteArray countLine(int records);

// A line as the record file holds it: cut to its fixed length, then one carriage return.
QByteArray fileLine(const QByteArray& line, int fixedLength);

}  // namespace prm
