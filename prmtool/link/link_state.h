#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>

namespace prm {

constexpr int kRingSize = 1000;        // receive ring; holds at most 999 unread bytes
constexpr int kReplyDataSize = 3100;   // reply area of streamed and block replies
constexpr int kCommandBytesSize = 11;  // command characters and their 0 terminator
constexpr int kLogTextSize = 80;       // start and end texts of a command

// Values of activeScreen.
constexpr int16_t kScreenMain = 1;
constexpr int16_t kScreenTestConsole = 2;
constexpr int16_t kScreenSettings = 3;
constexpr int16_t kScreenRecords = 5;

// Log budgets: the console keeps the newest 12 lines, the records screen 21.
constexpr int32_t kTestConsoleLogLines = 12;
constexpr int32_t kRecordsLogLines = 21;

// Dose-unit codes: the option flags masked with 0x70.
constexpr uint8_t kDoseUnitGy = 0x10;
constexpr uint8_t kDoseUnitR = 0x20;
constexpr uint8_t kDoseUnitSv = 0x40;

// The monitor's user settings as the settings editor decoded them from the last read block.
struct UserSettings {
    bool vibratorOn = false;
    bool buzzerOn = false;
    bool backlightOn = false;
    bool keyBeepOn = false;
    bool doseGy = false;
    bool doseR = false;
    bool doseSv = true;
    uint8_t doseUnitCode = kDoseUnitSv;
    uint8_t contrastCoarse = 0;  // LCD ratio, bits 0-2
    uint8_t contrastFine = 0;    // LCD contrast, bits 0-5
    uint8_t lcdTemperature = 0;
    int16_t gammaDiscriminator = 0;    // steps
    int16_t neutronDiscriminator = 0;  // steps; 4095 switches the neutron detector off
    uint8_t gammaAlarm = 0;            // tenths of a sigma; 0 switches the gamma alarm off
    uint8_t neutronAlarm = 0;          // counts per 6 s
    uint8_t dangerGamma = 0;           // uSv/h
    uint8_t dangerNeutron = 0;         // counts per 6 s
    int16_t temperature = 0;           // 1/100 degree C
    int16_t battery = 0;               // 1/100 V
    std::string serialNumber;          // four characters as read
    std::string version;               // five characters: first, 'V', second to fourth
};

// The one shared link record. The GUI thread and the data-in worker share it under the
// link's lock (see Link); reply handlers run on the GUI thread with that lock held.
struct LinkState {
    std::string startedButtonCaption;
    bool busy = false;
    bool firstEchoPending = false;
    bool dataPending = false;
    bool singleMode = true;
    bool settingsLoaded = false;
    uint8_t lastEchoByte = 0;
    std::array<uint8_t, kReplyDataSize> replyData{};
    std::array<char, kCommandBytesSize> commandBytes{};
    std::string startText;
    std::string endText;
    std::string fileName;
    int ringWrite = 0;
    int ringRead = 0;
    std::array<uint8_t, kRingSize> ring{};
    int16_t startedButtonIndex = 0;
    int16_t receivedCount = 0;
    int16_t readIndex = 0;
    int16_t activeScreen = 0;
    int16_t expectedCount = 0;
    int32_t logBudget = 0;
    int32_t awaitingEcho = 0;
    int32_t state = 0;
    int32_t replyCode = 0;
    int32_t echoCount = 0;
    std::FILE* recordFile = nullptr;
    // The records screen's own record files.
    std::FILE* alarmFile = nullptr;
    std::FILE* doseFile = nullptr;

    UserSettings settings;

    // Bookkeeping of our own: bytes dropped because the ring was full, and whether the
    // current overrun has been reported (once per overrun, until the ring drains).
    long ringDropped = 0;
    bool ringOverrunReported = false;
    // Reply bytes dropped because the handler did not consume a stream fast enough.
    long replyDropped = 0;
};

// The ring. ringPut stores as many bytes as fit and returns how many were dropped.
int ringPut(LinkState& s, const uint8_t* bytes, int count);
bool ringEmpty(const LinkState& s);
int ringUnread(const LinkState& s);
uint8_t ringTake(LinkState& s);
void ringReset(LinkState& s);

// Stores the command characters followed by 0 (cut to fit).
void setCommandBytes(LinkState& s, const std::string& chars);
// The command characters up to the first 0.
std::string commandString(const LinkState& s);

}  // namespace prm
