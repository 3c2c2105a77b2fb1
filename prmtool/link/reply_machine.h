#pragma once

#include <cstdint>

#include "link_state.h"

namespace prm {

// Command codes held in LinkState::state; code + 100 while data bytes are being received.
namespace code {
constexpr int32_t kWaitAnnouncement = 0;
constexpr int32_t kUart = 1;
constexpr int32_t kButtons = 6;
constexpr int32_t kTemperature = 7;
constexpr int32_t kBattery = 8;
constexpr int32_t kAdcSpectrum = 9;
constexpr int32_t kDac = 10;
constexpr int32_t kCounters = 11;
constexpr int32_t kReadClock = 13;
constexpr int32_t kStatus = 15;
constexpr int32_t kRamTest = 16;
constexpr int32_t kEepromTest = 17;
constexpr int32_t kThresholdScan = 18;
constexpr int32_t kSetClock = 19;
constexpr int32_t kBatteryRecording = 24;
constexpr int32_t kOfflineSpectrum = 30;
constexpr int32_t kOfflineHistogram = 31;
constexpr int32_t kOfflineRead = 33;
constexpr int32_t kContrast = 35;  // replies are ignored in this code
constexpr int32_t kWriteDefaultAndUser = 207;
constexpr int32_t kReadDefault = 211;
constexpr int32_t kReadUser = 212;
constexpr int32_t kWriteUser = 213;
constexpr int32_t kClearRecords = 401;
constexpr int32_t kReadRecords = 402;
constexpr int32_t kDataOffset = 100;  // added to a code while its data bytes arrive
constexpr int32_t kZEcho = 98;        // the monitor answered "Z" in place of the echo
constexpr int32_t kWrongEcho = 99;    // any other byte in place of the echo
}  // namespace code

constexpr uint8_t kEchoByte = 0xAA;  // the monitor acknowledges every command with it
constexpr uint8_t kZByte = 0x5A;     // "Z": the monitor was switched off or left the dock

// The screen whose reply handler owns a state: below 200 the test console, 200 to 399 the
// settings editor, 400 and above the records screen.
enum class ReplyOwner { None, TestConsole, Settings, Records };
ReplyOwner ownerOfState(int32_t state);

// Data bytes that follow the echo for a reply code, or -1 when the code has no entry.
// firstCommandByte tells the gamma threshold scan ("S", 4 bytes a step) from the neutron one.
int replyLength(int32_t replyCode, char firstCommandByte);

bool isEchoState(int32_t state);
bool isDataState(int32_t state);

// Runs one received byte through the echo/data state machine. Returns the screen whose
// reply handler must now be called, or ReplyOwner::None when the byte completes nothing.
ReplyOwner processByte(LinkState& s, uint8_t byte);

}  // namespace prm
