#include "hm210_device.h"

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
    std::tm tm{};
    tm.tm_year = static_cast<int8_t>(b[14]) + 2000 - 1900;
    tm.tm_mon = b[15] - 1;
    tm.tm_mday = b[16];
    tm.tm_hour = b[17];
    tm.tm_min = b[18];
    tm.tm_sec = b[19];
    tm.tm_isdst = -1;
    const std::time_t set = std::mktime(&tm);
    if (set != static_cast<std::time_t>(-1)) {
        clockOffset_ = std::chrono::seconds(set - Clock::to_time_t(now));
    }

    user_ = s;
    if (writeBoth_) defaults_ = s;
    ++writesAccepted_;
    return kAck;
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
        default:
            return {};  // not a command of this monitor: no answer
    }
}

}  // namespace hm210sim
