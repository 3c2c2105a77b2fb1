#include "hm210_device.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace hm210sim {

namespace {

constexpr uint8_t kAck = 0xAA;      // echo of every command, and "accepted" after a write
constexpr uint8_t kRefused = 0x55;  // status byte of a refused write
constexpr size_t kShortBlock = 20;

void put16(uint8_t* p, int16_t v) {
    p[0] = static_cast<uint8_t>(v & 0xFF);
    p[1] = static_cast<uint8_t>((v >> 8) & 0xFF);
}

int16_t get16(const uint8_t* p) {
    return static_cast<int16_t>(p[0] | (p[1] << 8));
}

uint8_t xorOf(const uint8_t* p, size_t n) {
    uint8_t x = 0;
    for (size_t i = 0; i < n; ++i)
        x ^= p[i];
    return x;
}

}  // namespace

bool parseFault(const std::string& name, Fault* fault) {
    static const std::pair<const char*, Fault> kNames[] = {
        {"none", Fault::None},
        {"no-echo", Fault::NoEcho},
        {"wrong-echo", Fault::WrongEcho},
        {"z", Fault::ZEcho},
        {"bad-check", Fault::BadCheck},
        {"short-block", Fault::ShortBlock},
        {"write-refused", Fault::WriteRefused},
    };
    for (const auto& [n, f] : kNames) {
        if (name == n) {
            *fault = f;
            return true;
        }
    }
    return false;
}

bool parseRecordHeader(const std::string& name, RecordHeader* header) {
    if (name == "normal") {
        *header = RecordHeader::Normal;
    } else if (name == "EEEE") {
        *header = RecordHeader::Unreadable;
    } else if (name == "pattern") {
        *header = RecordHeader::TestPattern;
    } else {
        return false;
    }
    return true;
}

const char* faultNames() {
    return "none, no-echo, wrong-echo, z, bad-check, short-block, write-refused";
}

Device::Device(Fault fault) : fault_(fault) {
    // Factory defaults: Sv/hr, vibrator, buzzer and key beep on.
    defaults_ = {0x40 | 0x08 | 0x02 | 0x01, 5, 30, 25, 1780, 1684, 50, 3, 10, 10, "3200"};
    // The user's own settings differ, so a test can tell the two reads apart.
    user_ = {0x20 | 0x04 | 0x01, 4, 28, 24, 1700, 1650, 45, 4, 20, 12, "0417"};
}

std::array<uint8_t, Device::kReadBlockSize> Device::encode(const Settings& s,
                                                           Clock::time_point now) const {
    std::array<uint8_t, kReadBlockSize> b{};
    b[0] = s.flags;
    b[1] = s.coarse;
    b[2] = s.fine;
    b[3] = s.lcdTemperature;
    put16(&b[4], s.gammaDiscr);
    put16(&b[6], s.neutronDiscr);
    b[8] = s.gammaAlarm;
    b[9] = s.neutronAlarm;
    b[10] = s.dangerGamma;
    b[11] = s.dangerNeutron;
    put16(&b[12], temperature_);
    put16(&b[14], battery_);
    for (size_t i = 0; i < 4; ++i)
        b[16 + i] = static_cast<uint8_t>(s.serial[i]);
    for (size_t i = 0; i < 4; ++i)
        b[20 + i] = static_cast<uint8_t>(version_[i]);
    const std::time_t t = Clock::to_time_t(now + clockOffset_);
    std::tm tm{};
    localtime_r(&t, &tm);
    b[24] = static_cast<uint8_t>(tm.tm_year + 1900 - 2000);
    b[25] = static_cast<uint8_t>(tm.tm_mon + 1);
    b[26] = static_cast<uint8_t>(tm.tm_mday);
    b[27] = static_cast<uint8_t>(tm.tm_hour);
    b[28] = static_cast<uint8_t>(tm.tm_min);
    b[29] = static_cast<uint8_t>(tm.tm_sec);
    b[30] = xorOf(b.data(), 30);
    return b;
}

std::array<uint8_t, Device::kReadBlockSize> Device::defaultBlock(Clock::time_point now) const {
    return encode(defaults_, now);
}

std::array<uint8_t, Device::kReadBlockSize> Device::userBlock(Clock::time_point now) const {
    return encode(user_, now);
}

std::vector<uint8_t> Device::echo() const {
    switch (fault_) {
        case Fault::NoEcho:
            return {};
        case Fault::WrongEcho:
            return {'?'};
        case Fault::ZEcho:
            return {'Z'};
        default:
            return {kAck};
    }
}

std::vector<uint8_t> Device::readSettings(const Settings& s, Clock::time_point now) const {
    std::vector<uint8_t> out = echo();
    if (out.empty() || out[0] != kAck) return out;
    auto block = encode(s, now);
    if (fault_ == Fault::BadCheck) block[30] ^= 0x5A;
    const size_t n = fault_ == Fault::ShortBlock ? kShortBlock : block.size();
    out.insert(out.end(), block.begin(), block.begin() + static_cast<long>(n));
    return out;
}

// Six clock bytes (year - 2000, month, day, hour, minute, second) set the monitor's clock.
void Device::setClock(const uint8_t* c, Clock::time_point now) {
    std::tm tm{};
    tm.tm_year = static_cast<int8_t>(c[0]) + 2000 - 1900;
    tm.tm_mon = c[1] - 1;
    tm.tm_mday = c[2];
    tm.tm_hour = c[3];
    tm.tm_min = c[4];
    tm.tm_sec = c[5];
    tm.tm_isdst = -1;
    const std::time_t set = std::mktime(&tm);
    if (set != static_cast<std::time_t>(-1)) {
        clockOffset_ = std::chrono::seconds(set - Clock::to_time_t(now));
    }
}

uint8_t Device::applyWriteBlock(Clock::time_point now) {
    const uint8_t* b = block_.data();
    if (fault_ == Fault::WriteRefused || xorOf(b, kWriteBlockSize) != 0) return kRefused;
    Settings s;
    s.flags = b[0];
    s.coarse = b[1] & 0x07;
    s.fine = b[2] & 0x3F;
    s.lcdTemperature = b[3];
    s.gammaDiscr = get16(&b[4]);
    s.neutronDiscr = get16(&b[6]);
    s.gammaAlarm = b[8];
    s.neutronAlarm = b[9];
    s.dangerGamma = b[10];
    s.dangerNeutron = b[11];
    const unsigned serial = static_cast<uint16_t>(get16(&b[12]));
    if (serial > 9999) return kRefused;
    char text[8];
    std::snprintf(text, sizeof text, "%04u", serial);
    s.serial = text;

    // The block carries the PC's clock; the monitor's clock follows it.
    setClock(&b[14], now);

    user_ = s;
    if (writeBoth_) defaults_ = s;
    ++writesAccepted_;
    return kAck;
}

// The echo followed by data; a short-data fault cuts the data in half.
std::vector<uint8_t> Device::withData(std::vector<uint8_t> data) const {
    std::vector<uint8_t> out = echo();
    if (out.empty() || out[0] != kAck) return out;
    if (fault_ == Fault::ShortBlock) data.resize(data.size() / 2);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// Four counts of the gamma thresholds and the neutron counter, following the dose rate with
// a small alternation so that repeated readings differ. The monitor counts over periods of
// one measuring second and answers "C" with a period that ended after its previous answer:
// the echo at once, the counts as soon as such a period has ended. A "C" taken while counts
// are still owed is echoed, as every command is, and owes nothing more.
std::vector<uint8_t> Device::counters(std::chrono::steady_clock::time_point now) {
    std::vector<uint8_t> out = echo();
    if (out.empty() || out[0] != kAck || countsOwed_) return out;
    countsOwed_ = true;
    countsDue_ = std::max(now, lastCounts_ + tests_.measuringSecond);
    if (now >= countsDue_) {
        const auto data = countsData(now);
        out.insert(out.end(), data.begin(), data.end());
    }
    return out;
}

std::vector<uint8_t> Device::countsData(std::chrono::steady_clock::time_point now) {
    countsOwed_ = false;
    lastCounts_ = now;
    const double wobble = (countersCalls_++ % 2) ? 1.02 : 0.98;
    const double g0 = (40.0 + tests_.doseRate * 400.0) * wobble;
    const uint16_t raw[4] = {static_cast<uint16_t>(g0), static_cast<uint16_t>(g0 * 0.55),
                             static_cast<uint16_t>(g0 * 0.12), 3};
    std::vector<uint8_t> data;
    for (uint16_t v : raw) {
        data.push_back(static_cast<uint8_t>(v & 0xFF));
        data.push_back(static_cast<uint8_t>(v >> 8));
    }
    if (fault_ == Fault::ShortBlock) data.resize(data.size() / 2);
    return data;
}

std::vector<uint8_t> Device::clockBytes(Clock::time_point now) const {
    const auto block = encode(user_, now);
    return {block.begin() + 24, block.begin() + 30};
}

// One threshold-scan step: integral counts above the step's threshold, falling with it, with
// a peak (the differences show it) near step 15. Gamma steps carry a second count.
std::vector<uint8_t> Device::scanStep(int step) const {
    double above = 0;
    for (int j = step; j < 41; ++j) {
        above += 40.0 * std::exp(-(j - 15) * (j - 15) / 8.0) + 30.0 * std::exp(-j / 6.0);
    }
    const double scale = std::max<uint16_t>(measureTime_, 1) / 10.0;
    const auto first = static_cast<uint16_t>(above * scale);
    std::vector<uint8_t> out = {static_cast<uint8_t>(first & 0xFF),
                                static_cast<uint8_t>(first >> 8)};
    if (timedCommand_ == 'S') {
        const auto second = static_cast<uint16_t>(first / 3);
        out.push_back(static_cast<uint8_t>(second & 0xFF));
        out.push_back(static_cast<uint8_t>(second >> 8));
    }
    return out;
}

// One second of the ADC spectrum: 128 channels, a line near channel 60 over a continuum,
// growing with the seconds measured.
std::vector<uint8_t> Device::adcBlock(int block) const {
    std::vector<uint8_t> out;
    for (int ch = 0; ch < 128; ++ch) {
        const double v = (block + 1) * (20.0 * std::exp(-(ch - 60) * (ch - 60) / 18.0) +
                                        6.0 * std::exp(-ch / 30.0));
        const auto word = static_cast<uint16_t>(v);
        out.push_back(static_cast<uint8_t>(word & 0xFF));
        out.push_back(static_cast<uint8_t>(word >> 8));
    }
    return out;
}

// The 41 words of the off-line measurement: integral counts for a spectrum, counts per
// interval for a histogram.
std::vector<uint8_t> Device::offlineWords() const {
    std::vector<uint8_t> out;
    for (int i = 0; i < 41; ++i) {
        const double v =
            offlineKind_ == 'd' ? 10.0 + 5.0 * std::sin(i / 4.0) : 80.0 * std::exp(-i / 7.0);
        const auto word = offlineKind_ == 0 ? uint16_t{0} : static_cast<uint16_t>(v);
        out.push_back(static_cast<uint8_t>(word & 0xFF));
        out.push_back(static_cast<uint8_t>(word >> 8));
    }
    return out;
}

std::vector<uint8_t> Device::due(std::chrono::steady_clock::time_point now) {
    std::vector<uint8_t> out;
    if (countsOwed_ && now >= countsDue_) out = countsData(now);
    const std::vector<uint8_t> stream = streamDue(now);
    out.insert(out.end(), stream.begin(), stream.end());
    return out;
}

std::vector<uint8_t> Device::streamDue(std::chrono::steady_clock::time_point now) {
    if (stream_ == Stream::None || now < nextStreamOutput_) return {};
    if (stream_ == Stream::Scan || stream_ == Stream::Adc) {
        nextStreamOutput_ =
            now + tests_.measuringSecond * (stream_ == Stream::Scan ? measureTime_ : 1);
        const int step = streamStep_++;
        if (stream_ == Stream::Scan) {
            if (step >= 41) {
                stream_ = Stream::None;
                return {};
            }
            return scanStep(step);
        }
        if (step >= measureTime_) {
            stream_ = Stream::None;
            return {};
        }
        return adcBlock(step);
    }
    nextStreamOutput_ = now + tests_.streamPeriod;
    if (stream_ == Stream::Keys) {
        if (streamIndex_ >= tests_.keyEvents.size()) return {};
        return {tests_.keyEvents[streamIndex_++]};
    }
    // Battery report: the voltage in the low 14 bits, two status bits above it.
    const uint16_t word = static_cast<uint16_t>((tests_.battery & 0x3FFF) | 0xC000);
    return {static_cast<uint8_t>(word & 0xFF), static_cast<uint8_t>(word >> 8)};
}

// The header block, the record blocks and the end block of one record area.
std::vector<uint8_t> Device::readRecords(bool dose) const {
    std::vector<uint8_t> out = echo();
    if (out.empty() || out[0] != kAck) return out;
    if (!records_.docked) return {'Z'};
    auto block = [&out](const std::array<uint8_t, 16>& b) {
        out.insert(out.end(), b.begin(), b.end());
    };

    std::array<uint8_t, 16> header{};
    switch (records_.header) {
        case RecordHeader::Unreadable:
            header = {'E', 'E', 'E', 'E'};
            block(header);
            return out;
        case RecordHeader::TestPattern:
            for (uint8_t i = 0; i < 16; ++i)
                header[i] = i;
            break;
        case RecordHeader::Normal:
            // Two header words, the date the memory was set up, a number and the version.
            header = {
                0x34, 0x12, 0x02, 0x00, 26,  11,  30,  9,
                15,   0,    0xA1, 0x01, '1', '7', '0', static_cast<uint8_t>(dose ? 'D' : 'A')};
            break;
    }
    block(header);

    const int count = dose ? records_.dose : records_.alarms;
    for (int i = 0; i < count; ++i) {
        std::array<uint8_t, 16> r{};
        r[0] = 26;
        r[1] = 12;
        r[2] = 1 + static_cast<uint8_t>(i / 24 % 28);
        r[3] = static_cast<uint8_t>(i % 24);
        r[4] = static_cast<uint8_t>(i * 7 % 60);
        r[5] = static_cast<uint8_t>(i * 13 % 60);
        const uint32_t a = 100 + static_cast<uint32_t>(i) * 37;
        if (dose) {
            const uint32_t doseCount = 5000 + static_cast<uint32_t>(i) * 1234;
            for (int k = 0; k < 4; ++k)
                r[6 + k] = static_cast<uint8_t>(doseCount >> (8 * k));
        } else {
            put16(&r[6], static_cast<int16_t>(a));
            put16(&r[8], static_cast<int16_t>(a / 3));
        }
        put16(&r[10], static_cast<int16_t>(i * 11));
        r[12] = static_cast<uint8_t>(i % 7);
        r[13] = static_cast<uint8_t>(i % 5);
        r[14] = static_cast<uint8_t>(20 + i % 10);
        // Alarms alternate between type "A" and neutron alarms "N"; dose records are "D".
        r[15] = dose ? 'D' : (i % 2 == 0 ? 'A' : 'N');
        block(r);
    }
    if (fault_ == Fault::ShortBlock) {
        out.resize(out.size() - 5);  // the last block stops short and no end block follows
        return out;
    }
    std::array<uint8_t, 16> end{};
    end[static_cast<size_t>(records_.endMarkerByte & 3)] = kAck;
    block(end);
    return out;
}

std::vector<uint8_t> Device::clearRecords(bool dose) {
    std::vector<uint8_t> out = echo();
    if (out.empty() || out[0] != kAck) return out;
    if (!records_.docked) return {'Z'};
    if (fault_ == Fault::ShortBlock) return out;  // the status byte never comes
    out.push_back(records_.clearStatus);
    if (records_.clearStatus == kAck) {
        (dose ? records_.dose : records_.alarms) = 0;
        records_.header = RecordHeader::Normal;
    }
    return out;
}

std::vector<uint8_t> Device::receive(uint8_t byte, Clock::time_point now) {
    switch (expecting_) {
        case Expect::ContrastCoarse:
            liveCoarse_ = byte;
            expecting_ = Expect::Command;
            return {};
        case Expect::ContrastFine:
            liveFine_ = byte;
            expecting_ = Expect::Command;
            return {};
        case Expect::WriteBlock:
            block_.push_back(byte);
            if (block_.size() < kWriteBlockSize) return {};
            expecting_ = Expect::Command;
            return {applyWriteBlock(now)};
        case Expect::DacBlock:
            block_.push_back(byte);
            if (block_.size() < 4) return {};
            expecting_ = Expect::Command;
            return {kAck};  // the DAC values are taken
        case Expect::ClockBlock: {
            block_.push_back(byte);
            if (block_.size() < 6) return {};
            expecting_ = Expect::Command;
            setClock(block_.data(), now);
            return {};
        }
        case Expect::Backlight:
            backlightOn_ = byte == '1';
            expecting_ = Expect::Command;
            return {};
        case Expect::MeasureTime:
            block_.push_back(byte);
            if (block_.size() < 2) return {};
            expecting_ = Expect::Command;
            measureTime_ = static_cast<uint16_t>(block_[0] | (block_[1] << 8));
            if (timedCommand_ == 's' || timedCommand_ == 'd') {
                offlineKind_ = timedCommand_;  // measured away from the PC, read with "g"
                return {};
            }
            stream_ = timedCommand_ == 'H' ? Stream::Adc : Stream::Scan;
            streamStep_ = 0;
            nextStreamOutput_ = std::chrono::steady_clock::now() +
                                (stream_ == Stream::Scan ? tests_.measuringSecond * measureTime_
                                                         : tests_.measuringSecond);
            return {};
        case Expect::Command:
            break;
    }

    switch (byte) {
        case 'X':
            return readSettings(defaults_, now);
        case 'J':
            return readSettings(user_, now);
        case 'K':
        case 'Q': {
            std::vector<uint8_t> out = echo();
            if (!out.empty() && out[0] == kAck) {
                expecting_ = Expect::WriteBlock;
                writeBoth_ = byte == 'Q';
                block_.clear();
            }
            return out;
        }
        case 'P':
            return readRecords(false);
        case 'y':
            return readRecords(true);
        case 'W':
            return clearRecords(false);
        case 'x':
            return clearRecords(true);
        case 'r':
            expecting_ = Expect::ContrastCoarse;
            return {};
        case 'c':
            expecting_ = Expect::ContrastFine;
            return {};
        case 'U':  // UART, buzzer, vibrator, LED and LCD tests: a bare echo
        case 'B':
        case 'V':
        case 'G':
        case 'N':
        case 'L':
            return echo();
        case 'M': {
            std::vector<uint8_t> out = echo();
            if (!out.empty() && out[0] == kAck) {
                stream_ = Stream::Keys;
                streamIndex_ = 0;
                nextStreamOutput_ = std::chrono::steady_clock::now() + tests_.streamPeriod;
            }
            return out;
        }
        case 'Z':  // ends the button test and the spectra
            if (stream_ == Stream::None) return {};
            stream_ = Stream::None;
            return {kAck};
        case 'T':
        case 'Y': {
            const int16_t v = byte == 'T' ? tests_.temperature : tests_.battery;
            return withData(
                {static_cast<uint8_t>(v & 0xFF), static_cast<uint8_t>((v >> 8) & 0xFF)});
        }
        case 'D': {
            std::vector<uint8_t> out = echo();
            if (!out.empty() && out[0] == kAck) {
                expecting_ = Expect::DacBlock;
                block_.clear();
            }
            return out;
        }
        case 'C':
            return counters(std::chrono::steady_clock::now());
        case 'A':
            return withData(clockBytes(now));
        case 'F': {
            // Running time 12345 min, error counters DEF 1, LOW 2, HIGH 3, CURR 4, chip 987654.
            return withData({0x39, 0x30, 0, 0, 1, 2, 3, 4, 0x06, 0x12, 0x0F, 0x00});
        }
        case 'R':
            return withData({tests_.ramResult});
        case 'E': {
            std::vector<uint8_t> out = withData({tests_.eepromResult});
            // The memory test leaves its pattern in place of the record header.
            if (out.size() == 2 && out[0] == kAck) records_.header = RecordHeader::TestPattern;
            return out;
        }
        case 'a': {
            std::vector<uint8_t> out = echo();
            if (!out.empty() && out[0] == kAck) {
                expecting_ = Expect::ClockBlock;
                block_.clear();
            }
            return out;
        }
        case 'O': {
            std::vector<uint8_t> out = echo();
            if (!out.empty() && out[0] == kAck) {
                stream_ = Stream::Battery;
                nextStreamOutput_ = std::chrono::steady_clock::now() + tests_.streamPeriod;
            }
            return out;
        }
        case 'o':
            if (stream_ == Stream::Battery) stream_ = Stream::None;
            return {};
        case 'b':
            expecting_ = Expect::Backlight;
            return {};
        case 'S':
        case 'n':
        case 'H':
        case 's':
        case 'd': {
            std::vector<uint8_t> out = echo();
            if (!out.empty() && out[0] == kAck) {
                timedCommand_ = static_cast<char>(byte);
                expecting_ = Expect::MeasureTime;
                block_.clear();
            }
            return out;
        }
        case 'g':
            return withData(offlineWords());
        default:
            return {};  // not a command of this monitor: no answer
    }
}

}  // namespace hm210sim
