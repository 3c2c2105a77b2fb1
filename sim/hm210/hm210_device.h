#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace hm210sim {

// Fault modes of the simulated monitor.
enum class Fault {
    None,
    NoEcho,        // commands are not answered at all
    WrongEcho,     // '?' in place of the echo byte
    ZEcho,         // 'Z' in place of the echo: switched off by its user
    BadCheck,      // settings blocks go out with a wrong check byte
    ShortBlock,    // settings blocks stop after 20 of their 31 bytes
    WriteRefused,  // a settings write is answered with a refusal
};

bool parseFault(const std::string& name, Fault* fault);

// What the record memory's header block holds.
enum class RecordHeader {
    Normal,
    Unreadable,   // "EEEE": the monitor could not read its header
    TestPattern,  // 0, 1, ... 15, left by the memory test
};
bool parseRecordHeader(const std::string& name, RecordHeader* header);

// Values the monitor's self-tests report.
struct TestValues {
    int16_t temperature = 2100;  // 1/100 degree C
    int16_t battery = 500;       // 1/100 V
    uint8_t ramResult = 0;       // 0 = OK, else an error code
    uint8_t eepromResult = 0;
    double doseRate = 0.5;                                // uSv/h that the counters follow
    std::vector<uint8_t> keyEvents = {0x01, 0x02, 0xFF};  // sent during the button test
    std::chrono::milliseconds streamPeriod{100};          // between key events and battery reports
    // How long one second of measuring time takes: 1000 ms at real speed, short in tests.
    std::chrono::milliseconds measuringSecond{10};
};

// The record memory the monitor keeps for its docking station.
struct RecordMemory {
    RecordHeader header = RecordHeader::Normal;
    int alarms = 12;
    int dose = 8;
    int endMarkerByte = 0;       // which of bytes 0-3 of the end block holds 0xAA
    bool docked = true;          // out of its dock it answers record commands with "Z"
    uint8_t clearStatus = 0xAA;  // status byte after a clear ("E": header write failed)
};
const char* faultNames();

// The monitor as its serial line sees it: bytes in, bytes out. Time is passed in so that
// the model stays deterministic under test.
class Device {
  public:
    using Clock = std::chrono::system_clock;
    static constexpr size_t kReadBlockSize = 31;
    static constexpr size_t kWriteBlockSize = 21;

    explicit Device(Fault fault = Fault::None);

    void setFault(Fault fault) { fault_ = fault; }
    RecordMemory& records() { return records_; }
    TestValues& tests() { return tests_; }
    // Bytes a running stream (key events, battery reports) has due by now.
    std::vector<uint8_t> due(std::chrono::steady_clock::time_point now);
    // Takes one byte from the line; returns the bytes the monitor sends in answer.
    std::vector<uint8_t> receive(uint8_t byte, Clock::time_point now);
    // A parameter block that does not arrive in time is given up (the monitor goes back to
    // waiting for commands).
    void lineIdle() { expecting_ = Expect::Command; }

    // The stored settings, as the next read would send them (check byte included).
    std::array<uint8_t, kReadBlockSize> defaultBlock(Clock::time_point now) const;
    std::array<uint8_t, kReadBlockSize> userBlock(Clock::time_point now) const;
    uint8_t liveContrastCoarse() const { return liveCoarse_; }
    uint8_t liveContrastFine() const { return liveFine_; }
    int writesAccepted() const { return writesAccepted_; }

  private:
    struct Settings {
        uint8_t flags;
        uint8_t coarse;
        uint8_t fine;
        uint8_t lcdTemperature;
        int16_t gammaDiscr;
        int16_t neutronDiscr;
        uint8_t gammaAlarm;
        uint8_t neutronAlarm;
        uint8_t dangerGamma;
        uint8_t dangerNeutron;
        std::string serial;  // four characters
    };
    enum class Expect {
        Command,
        ContrastCoarse,
        ContrastFine,
        WriteBlock,
        DacBlock,
        ClockBlock,
        Backlight,
        MeasureTime,
    };
    enum class Stream { None, Keys, Battery, Scan, Adc };

    std::array<uint8_t, kReadBlockSize> encode(const Settings& s, Clock::time_point now) const;
    std::vector<uint8_t> readSettings(const Settings& s, Clock::time_point now) const;
    std::vector<uint8_t> echo() const;
    std::vector<uint8_t> readRecords(bool dose) const;
    std::vector<uint8_t> withData(std::vector<uint8_t> data) const;
    std::vector<uint8_t> counters(std::chrono::steady_clock::time_point now);
    std::vector<uint8_t> countsData(std::chrono::steady_clock::time_point now);
    std::vector<uint8_t> streamDue(std::chrono::steady_clock::time_point now);
    std::vector<uint8_t> clockBytes(Clock::time_point now) const;
    std::vector<uint8_t> scanStep(int step) const;
    std::vector<uint8_t> adcBlock(int block) const;
    std::vector<uint8_t> offlineWords() const;
    std::vector<uint8_t> clearRecords(bool dose);
    uint8_t applyWriteBlock(Clock::time_point now);
    void setClock(const uint8_t* clockBytes, Clock::time_point now);

    Fault fault_;
    Settings defaults_;
    Settings user_;
    std::chrono::seconds clockOffset_{0};
    int16_t temperature_ = 2350;  // 1/100 degree C
    int16_t battery_ = 295;       // 1/100 V
    std::array<char, 4> version_{'1', '7', '0', '2'};
    uint8_t liveCoarse_ = 4;
    uint8_t liveFine_ = 22;

    RecordMemory records_;
    TestValues tests_;
    Stream stream_ = Stream::None;
    size_t streamIndex_ = 0;
    std::chrono::steady_clock::time_point nextStreamOutput_{};
    uint32_t countersCalls_ = 0;
    bool countsOwed_ = false;  // a "C" was echoed, its counts follow at countsDue_
    std::chrono::steady_clock::time_point countsDue_{};
    std::chrono::steady_clock::time_point lastCounts_{};
    bool backlightOn_ = false;
    char timedCommand_ = 0;  // S, n, H, s or d: waits for its 2-byte measuring time
    char offlineKind_ = 0;   // s or d: what the off-line measurement holds
    uint16_t measureTime_ = 0;
    int streamStep_ = 0;
    Expect expecting_ = Expect::Command;
    bool writeBoth_ = false;
    std::vector<uint8_t> block_;
    int writesAccepted_ = 0;
};

}  // namespace hm210sim
