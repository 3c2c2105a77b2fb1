// vm418-sim: a Hayes modem with a VM418 unit behind it, on a pseudo-terminal.
//
// Prints the device path the station program opens, then answers AT commands, dials
// (with a chosen result), takes the password line and serves the unit's side of the XLNK
// command protocol: files by four-letter code in numbered CRC-checked blocks, monitoring,
// default parameters, parameter writes and discriminator commands. Fault switches damage
// what the unit sends. Written from the line protocol alone; it shares no code with the
// station program.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>

#include "station_files.h"
#include "suite_version.h"

using namespace vm418sim;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kLineLimit = 200;             // longer command or password lines are cut
constexpr useconds_t kLineDownPollUs = 10000;  // how often a dropped line is looked at

// Monitoring: each region's two channels count around half its background rate, so a
// region's sum lies within 2 x kCountNoise of the rate the unit reports for it.
constexpr std::array<int, 6> kChannelMean = {175, 190, 205, 220, 235, 250};  // regions A..F
constexpr int kCountNoise = 6;
// The unit sends its background rates in region order A, C, B, D, E, F.
constexpr std::array<int, 6> kBackgroundLineOrder = {0, 2, 1, 3, 4, 5};
constexpr uint16_t kW1RegionAB = 0x8000;  // W1: region AB is being monitored
constexpr uint16_t kW1NewAlarm = 0x0001;  // W1: a new alarm waits to be downloaded
constexpr size_t kTextField = 10;         // date and time each in 10 bytes, zero-terminated
// Discriminator screen: 16 channels A1..H2, three packed decimal settings each (bytes 2i and
// 2i + 1 first and second, byte 32 + i third); the counts record holds 16 counts, S1, S2
// and four unused bytes.
constexpr int kDiscrChannels = 16;
constexpr size_t kDiscrBlockSize = 48;
constexpr int kDiscrRawWaitMs = 2000;      // after 0xC050 the raw block must come within this
constexpr uint16_t kS1DiscrMode = 0x8000;  // S1: the unit is in its discriminator mode
const char* const kLastAlarmCode = "ACRR";

volatile sig_atomic_t stopRequested = 0;
void OnSignal(int) {
    stopRequested = 1;
}

struct Options {
    long baud = 0;  // 0: unpaced
    std::string dialResult = "connect";
    std::string connectText = "CONNECT 9600/ARQ";
    std::string password;
    bool noModem = false;
    bool silentModem = false;
    int dialDelayMs = 20;
    // The silence before and after "+++" that takes the modem out of a call into command
    // mode (a real modem's S12, about a second).
    int escapeGuardMs = 1000;
    uint16_t blockSize = 1024;
    double corruptRate = 0;
    double dropRate = 0;
    int badCrcBlocks = 0;
    long wrongBlock = -1;
    long stallAfterBlock = -1;
    int stallMs = 0;
    long vanishAfterBlock = -1;
    long carrierLostAfterBlock = -1;
    bool noAnswer = false;
    std::string requestFile;
    int requestAfterMs = 100;
    std::string uploadSave;
    long askRepeatUploadBlock = -1;
    std::string dumpDir;
    uint16_t channelErrors = 0;
    long newAlarmAfterPolls = -1;  // -1: no new alarm appears
    unsigned seed = 418;
    bool verbose = false;
    bool noAlarms = false;
    bool invalidParameters = false;
    std::string timeline;  // where each item on the line is noted with its times
};

// CRC-16 with polynomial 0x1021, MSB first, start 0, computed bit by bit.
uint16_t Crc(const uint8_t* p, size_t n) {
    uint16_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= static_cast<uint16_t>(p[i] << 8);
        for (int b = 0; b < 8; ++b)
            crc = (crc & 0x8000) ? static_cast<uint16_t>((crc << 1) ^ 0x1021)
                                 : static_cast<uint16_t>(crc << 1);
    }
    return crc;
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
void Add16(Bytes& b, uint16_t v) {
    b.push_back(v & 0xFF);
    b.push_back(v >> 8);
}
void Add32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

class Simulator {
  public:
    Simulator(const Options& o, int master) : opt_(o), fd_(master), rng_(o.seed) {
        files_ = MakeUnitFiles(o.seed);
        // An alarm mode other than 0 (byte 64 of the block) fails the station's validation.
        if (o.invalidParameters) files_.parameters[64] = 1;
        online_ = o.noModem;
        unlocked_ = o.noModem || o.password.empty();
        if (unlocked_ && online_) OnUnlocked();
    }

    void Run() {
        uint8_t buf[4096];
        while (!stopRequested) {
            const int timeout = NextWakeMs();
            pollfd p{fd_, POLLIN, 0};
            const int r = poll(&p, 1, timeout);
            // Nobody holds the station's side: its port is closed, which drops DTR.
            if (r > 0 && (p.revents & POLLHUP)) {
                if (lineUp_) OnLineDropped();
                lineUp_ = false;
                usleep(kLineDownPollUs);
                continue;
            }
            if (!lineUp_) Note("up", Clock::now(), Clock::now(), "the station opened its port");
            lineUp_ = true;
            if (r > 0 && (p.revents & POLLIN)) {
                const ssize_t n = read(fd_, buf, sizeof buf);
                if (n > 0)
                    for (ssize_t i = 0; i < n; ++i)
                        Receive(buf[i]);
            }
            TakeArrived();
            RunTimers();
            Flush();
            if (vanishing_ && out_.empty())
                return;  // the unit's line is cut: its side of the line closes
        }
    }

    void DumpFiles(const std::string& dir) const {
        for (const auto& [code, bytes] : Files()) {
            std::ofstream out(dir + "/" + code, std::ios::binary);
            out.write(reinterpret_cast<const char*>(bytes.data()),
                      static_cast<std::streamsize>(bytes.size()));
        }
    }

  private:
    std::map<std::string, Bytes> Files() const {
        const size_t n = files_.alarms.size();
        // A unit that has registered no alarm sends its single-alarm files empty.
        if (opt_.noAlarms)
            return {{"PARA", files_.parameters},
                    {"ALAR", files_.alarmRing},
                    {"HIST", files_.history},
                    {"ACRR", {}},
                    {"APRV", {}},
                    {"ANXT", {}}};
        return {{"PARA", files_.parameters},    {"ALAR", files_.alarmRing},
                {"HIST", files_.history},       {"ACRR", files_.alarms[n - 1]},
                {"APRV", files_.alarms[n - 2]}, {"ANXT", files_.alarms[0]}};
    }

    void Log(const char* fmt, const std::string& s = {}) const {
        if (opt_.verbose) std::fprintf(stderr, fmt, s.c_str());
    }

    // ---- the timeline: each item on the line with the times of its first and last byte ----
    // One line each, "PID WHAT START_US END_US TEXT" with the times in microseconds of the
    // system clock; "in" items are the station's, "out" ones the unit's and its modem's.
    void Note(const char* what, Clock::time_point start, Clock::time_point end,
              const std::string& text) const {
        if (timelineFd_ < 0) return;
        const auto us = [this](Clock::time_point t) {
            return static_cast<long long>(
                std::chrono::duration_cast<std::chrono::microseconds>(t - clockBase_).count() +
                realBaseUs_);
        };
        char line[200];
        const int n =
            std::snprintf(line, sizeof line, "%ld %s %lld %lld %s\n", static_cast<long>(getpid()),
                          what, us(start), us(end), text.c_str());
        // One write per line: the simulators of several ports may share one file.
        if (n > 0 && write(timelineFd_, line, std::min<size_t>(size_t(n), sizeof line - 1)) < 0)
            return;
    }
    Clock::duration ByteTime() const {
        return opt_.baud > 0 ? std::chrono::duration_cast<Clock::duration>(
                                   std::chrono::duration<double>(10.0 / opt_.baud))
                             : Clock::duration::zero();
    }
    // A station's item has come: it began with the byte that started it.
    void NoteIn(const std::string& text) {
        Note("in", inItemStart_, byteEnd_, text);
        inItemOpen_ = false;
    }
    void StartInItem() {
        if (inItemOpen_) return;
        inItemOpen_ = true;
        inItemStart_ = byteEnd_ - ByteTime();
    }

    // ---- input: paced as the output, a byte is the unit's when its last bit is in ----
    void Receive(uint8_t b) {
        const auto now = Clock::now();
        if (opt_.baud <= 0) {
            byteEnd_ = now;
            return OnByte(b);
        }
        inFreeAt_ = std::max(now, inFreeAt_) + ByteTime();
        in_.emplace_back(inFreeAt_, b);
    }
    void TakeArrived() {
        const auto now = Clock::now();
        while (!in_.empty() && in_.front().first <= now) {
            const auto [at, b] = in_.front();
            in_.pop_front();
            byteEnd_ = at;
            OnByte(b);
        }
    }

    // ---- output: pacing and line faults ----
    void Send(const Bytes& bytes, bool damageable) {
        for (size_t i = 0; i < bytes.size(); ++i) {
            uint8_t b = bytes[i];
            if (damageable && opt_.dropRate > 0 && Chance(opt_.dropRate)) {
                if (opt_.verbose)
                    std::fprintf(stderr, "line: byte %zu of %zu lost\n", i, bytes.size());
                continue;
            }
            if (damageable && opt_.corruptRate > 0 && Chance(opt_.corruptRate))
                b ^= static_cast<uint8_t>(1u << (rng_() % 8));
            if (out_.empty() && opt_.baud > 0) {
                paceStart_ = Clock::now();
                paced_ = 0;
            }
            out_.push_back(b);
        }
    }
    void SendText(const std::string& s) {
        Send(Bytes(s.begin(), s.end()), false);
        std::string shown;
        for (char c : s)
            if (c >= ' ') shown.push_back(c);
        NoteOut(s.size(), shown.empty() ? "line end" : shown);
    }
    // The unit's item just queued: on the line after what is queued before it.
    void NoteOut(size_t bytes, const std::string& text) {
        const auto start = std::max(Clock::now(), outFreeAt_);
        outFreeAt_ = start + ByteTime() * static_cast<long>(bytes);
        Note("out", start, outFreeAt_, text);
    }
    bool Chance(double rate) { return std::uniform_real_distribution<double>(0, 1)(rng_) < rate; }

    void Flush() {
        if (out_.empty()) return;
        size_t allowed = out_.size();
        if (opt_.baud > 0) {
            const double secs = std::chrono::duration<double>(Clock::now() - paceStart_).count();
            const auto due = static_cast<size_t>(secs * opt_.baud / 10.0) + 1;
            allowed = due > paced_ ? std::min(out_.size(), due - paced_) : 0;
        }
        Bytes chunk(out_.begin(), out_.begin() + static_cast<long>(allowed));
        size_t done = 0;
        while (done < chunk.size()) {
            const ssize_t n = write(fd_, chunk.data() + done, chunk.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        out_.erase(out_.begin(), out_.begin() + static_cast<long>(done));
        paced_ += done;
    }

    int NextWakeMs() const {
        int wake = 200;
        if (!out_.empty()) wake = opt_.baud > 0 ? 1 : 0;
        if (!in_.empty()) {
            const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                                in_.front().first - Clock::now())
                                .count();
            wake = std::min<int>(wake, std::max<int>(0, static_cast<int>(ms) + 1));
        }
        for (const auto& t : timers_) {
            const auto ms =
                std::chrono::duration_cast<std::chrono::milliseconds>(t.first - Clock::now());
            wake = std::min<int>(wake, std::max<int>(0, static_cast<int>(ms.count())));
        }
        return wake;
    }

    void After(int ms, std::function<void()> fn) {
        timers_.emplace_back(Clock::now() + std::chrono::milliseconds(ms), std::move(fn));
    }
    void RunTimers() {
        const auto now = Clock::now();
        for (size_t i = 0; i < timers_.size();) {
            if (timers_[i].first <= now) {
                auto fn = std::move(timers_[i].second);
                timers_.erase(timers_.begin() + static_cast<long>(i));
                fn();
            } else {
                ++i;
            }
        }
    }

    // ---- the modem ----
    // The station dropped DTR: the modem hangs up and forgets the call; the unit stops
    // sending and waits for the next one.
    void OnLineDropped() {
        Log("modem: DTR dropped, hanging up%s\n");
        Note("down", Clock::now(), Clock::now(), "the station closed its port");
        in_.clear();
        inItemOpen_ = false;
        ForgetCall();
    }

    // The modem is back in command mode without a call; what the unit was doing ends.
    void ForgetCall() {
        online_ = opt_.noModem;
        unlocked_ = opt_.noModem || opt_.password.empty();
        commandMode_ = false;
        plusesSeen_ = 0;
        line_.clear();
        rx_.clear();
        out_.clear();
        timers_.clear();
        sending_.reset();
        sendingCode_.clear();
        monitoring_ = false;
        rawWanted_ = 0;
    }

    // While a call is up the modem watches the station's bytes for its escape sequence:
    // a guard time of silence, "+++", and a guard time of silence again, after which it
    // answers "OK" in command mode with the call still held. The pluses reach the unit as
    // data, as through a real modem; "+++" inside a frame or a file is no escape.
    void WatchEscape(uint8_t b) {
        const auto guard = std::chrono::milliseconds(opt_.escapeGuardMs);
        const bool quietBefore = byteEnd_ - lastInAt_ >= guard;
        if (b == '+' && (plusesSeen_ > 0 ? plusesSeen_ < 3 : quietBefore))
            ++plusesSeen_;
        else
            plusesSeen_ = 0;
        lastInAt_ = byteEnd_;
        if (plusesSeen_ != 3) return;
        const auto third = byteEnd_;
        After(opt_.escapeGuardMs, [this, third] {
            if (plusesSeen_ != 3 || lastInAt_ != third || !online_ || commandMode_) return;
            plusesSeen_ = 0;
            commandMode_ = true;
            Log("modem: escape, command mode%s\n");
            SendText("\r\nOK\r\n");
        });
    }

    // The speed the station's side of the line runs at, reported when it changes: a
    // program or converter that sets the line is seen to have done so.
    void LogLineSpeed() {
        termios tio{};
        if (tcgetattr(fd_, &tio) != 0) return;
        static const std::map<speed_t, long> kSpeeds = {
            {B300, 300},     {B1200, 1200},   {B2400, 2400},   {B4800, 4800},    {B9600, 9600},
            {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200}};
        const auto it = kSpeeds.find(cfgetospeed(&tio));
        const long speed = it == kSpeeds.end() ? 0 : it->second;
        if (speed == loggedSpeed_) return;
        loggedSpeed_ = speed;
        Log("line: %s bit/s\n", std::to_string(speed));
    }

    void OnByte(uint8_t b) {
        if (online_ && commandMode_) return ModemByte(b);
        if (online_ && !opt_.noModem) WatchEscape(b);
        if (!online_) {
            ModemByte(b);
        } else if (!unlocked_) {
            PasswordByte(b);
        } else {
            FrameByte(b);
        }
    }

    // Collects a line up to its carriage return; true when one is complete in line_.
    bool CollectLine(uint8_t b) {
        if (b == '\r') return true;
        if (b != '\n' && line_.size() < kLineLimit) line_.push_back(static_cast<char>(b));
        return false;
    }

    void ModemByte(uint8_t b) {
        if (b != '\n') StartInItem();
        if (!CollectLine(b)) return;
        std::string cmd = line_;
        line_.clear();
        NoteIn("modem line " + cmd);
        LogLineSpeed();
        Log("modem: %s\n", cmd);
        if (opt_.silentModem) return;
        std::string upper;
        for (char c : cmd)
            upper.push_back(static_cast<char>(toupper(c)));
        // A modem looks for the "AT" that starts a command: whatever came before it on the
        // line (the end of a call it has hung up, the pluses of an escape) is no part of it.
        const size_t at = upper.find("AT");
        if (at != std::string::npos) upper.erase(0, at);
        // ATH (ATH0) hangs up a call held in command mode (and stops a dial); ATO goes back
        // into the call.
        const bool hangUp = at != std::string::npos && upper.rfind("ATH", 0) == 0;
        if (hangUp) {
            Log("modem: ATH, hanging up%s\n");
            ForgetCall();
        }
        SendText(cmd + "\r");  // echo
        if (at == std::string::npos) {
            if (!upper.empty()) SendText("\r\nERROR\r\n");
            return;
        }
        if (upper.rfind("ATO", 0) == 0 && commandMode_) {
            commandMode_ = false;
            SendText("\r\n" + opt_.connectText + "\r\n");
            return;
        }
        const size_t d = hangUp ? std::string::npos : upper.find('D', 2);
        if (d != std::string::npos && commandMode_) {  // a call is held: no dialling
            SendText("\r\nERROR\r\n");
            return;
        }
        if (d == std::string::npos) {
            SendText("\r\nOK\r\n");
            return;
        }
        After(opt_.dialDelayMs, [this] { DialResult(); });
    }

    void DialResult() {
        const std::string& r = opt_.dialResult;
        if (r == "silence") return;
        if (r == "connect" || r == "ringing") {
            if (r == "ringing") SendText("\r\nRINGING\r\n");
            After(r == "ringing" ? 30 : 0, [this] {
                SendText("\r\n" + opt_.connectText + "\r\n");
                online_ = true;
                commandMode_ = false;
                plusesSeen_ = 0;
                if (unlocked_) OnUnlocked();
            });
            return;
        }
        static const std::map<std::string, std::string> texts = {
            {"busy", "BUSY"},   {"no-carrier", "NO CARRIER"},   {"no-answer", "NO ANSWER"},
            {"error", "ERROR"}, {"no-dialtone", "NO DIALTONE"}, {"no-dial-tone", "NO DIAL TONE"}};
        const auto it = texts.find(r);
        SendText("\r\n" + (it != texts.end() ? it->second : std::string("NO CARRIER")) + "\r\n");
    }

    void PasswordByte(uint8_t b) {
        if (b != '\n') StartInItem();
        if (!CollectLine(b)) return;
        NoteIn("password line");
        Log("password line: %s\n", line_);
        if (line_ == opt_.password) {
            unlocked_ = true;
            OnUnlocked();
        }
        line_.clear();
    }

    void OnUnlocked() {
        if (!opt_.requestFile.empty())
            After(opt_.requestAfterMs, [this] {
                SendFrame(0xC004, Bytes(opt_.requestFile.begin(), opt_.requestFile.end()));
            });
    }

    // ---- the unit: frames in ----
    void FrameByte(uint8_t b) {
        if (rawWanted_ > 0) return RawByte(b);
        if (rx_.empty() && b != 0x10) return;
        if (rx_.empty()) {
            inItemOpen_ = false;
            StartInItem();
        }
        rx_.push_back(b);
        if (rx_.size() < 6) return;
        if (rx_.size() == 6) {
            if ((rx_[0] ^ rx_[1] ^ rx_[2] ^ rx_[3] ^ rx_[4] ^ rx_[5]) != 0) {
                rx_.clear();  // not a frame start: hunt again
                return;
            }
        }
        const uint16_t len = Le16(&rx_[1]);
        const uint16_t cmd = Le16(&rx_[3]);
        const size_t total = 6 + len + (cmd == 0xC0F0 ? 2 : 0);
        if (rx_.size() < total) return;
        Bytes data(rx_.begin() + 6, rx_.end());
        rx_.clear();
        char text[48];
        std::snprintf(text, sizeof text, "0x%04X", cmd);
        NoteIn(cmd == 0xC004 ? text + std::string(" ") + std::string(data.begin(), data.end())
                             : text);
        OnFrame(cmd, data);
    }

    void SendFrame(uint16_t cmd, const Bytes& data, bool damage = true) {
        Bytes f = {0x10};
        Add16(f, static_cast<uint16_t>(data.size()));
        Add16(f, cmd);
        f.push_back(f[0] ^ f[1] ^ f[2] ^ f[3] ^ f[4]);
        f.insert(f.end(), data.begin(), data.end());
        Send(f, damage);
        char text[16];
        std::snprintf(text, sizeof text, "0x%04X", cmd);
        NoteOut(f.size(), text);
    }

    void OnFrame(uint16_t cmd, const Bytes& data) {
        if (opt_.verbose) std::fprintf(stderr, "unit: got 0x%04X, %zu bytes\n", cmd, data.size());
        if (opt_.noAnswer) return;
        switch (cmd) {
            case 0xC004:
                return StartDownload(std::string(data.begin(), data.end()));
            case 0x400A:
                return SendBlock(0);
            case 0x400B:
                if (!sending_) return;
                if (static_cast<long>(sendBlock_) == opt_.carrierLostAfterBlock)
                    return CarrierLost();
                if (lastSentValid_ < opt_.blockSize) {
                    // The station has the last alarm: it is no longer new.
                    if (sendingCode_ == kLastAlarmCode) newAlarm_ = false;
                    sending_.reset();
                    sendingCode_.clear();
                    return SendFrame(0xC00C, {});
                }
                if (static_cast<long>(sendBlock_) == opt_.stallAfterBlock && !stalled_) {
                    // The next block comes late; a repeat request meanwhile sends it at once.
                    stalled_ = true;
                    sendBlock_ += 1;
                    const uint64_t serial = blocksSent_;
                    return After(opt_.stallMs, [this, serial] {
                        if (blocksSent_ == serial) SendBlock(sendBlock_);
                    });
                }
                return SendBlock(sendBlock_ + 1);
            case 0x400D:
                ++repeatsAsked_;
                return SendBlock(sendBlock_);
            case 0x400C:
                return;
            case 0x4004:
                return;
            case 0xC00A:
                return StartUpload(data);
            case 0xC00B:
                return ReceiveUploadBlock(data);
            case 0xC00C:
                return FinishUpload();
            case 0xC010:
                files_.parameters = MakeUnitFiles(opt_.seed).parameters;
                return SendFrame(0x4010, {});
            case 0xC0A0:
                monitoring_ = true;
                return SendFrame(0x40A0, {});
            case 0xC0B0:
                monitoring_ = false;
                return SendFrame(0x40B0, {});
            case 0xC0A1:
                return SendFrame(0x40A1, MonitoringData());
            case 0xC0F0:
                return WriteParameters(data);
            case 0xC030:
                return SendFrame(0x4030, discr_);
            case 0xC040:
                return SendFrame(0x4040, CountsRecord());
            case 0xC050:
                return AwaitDiscrBlock();
            case 0xC060:
                return SendFrame(0x4060, {});
            case 0xC070:
                discr_ = DefaultDiscrBlock();
                return SendFrame(0x4070, discr_);
            default:
                if (cmd & 0x8000) SendFrame(static_cast<uint16_t>(cmd & 0x7FFF), {});
        }
    }

    // ---- the unit sends a file ----
    void StartDownload(const std::string& code) {
        const auto files = Files();
        const auto it = files.find(code);
        if (it == files.end()) {
            Log("unit: no file %s\n", code);
            return;
        }
        sending_ = it->second;
        sendingCode_ = code;
        SendFrame(0x4004, {});
        Bytes count;
        Add32(count, static_cast<uint32_t>(sending_->size() / opt_.blockSize + 1));
        SendFrame(0xC00A, count);
    }

    void SendBlock(uint32_t number) {
        if (!sending_) return;
        sendBlock_ = number;
        ++blocksSent_;
        const size_t start = static_cast<size_t>(number) * opt_.blockSize;
        const size_t valid = start >= sending_->size()
                                 ? 0
                                 : std::min<size_t>(opt_.blockSize, sending_->size() - start);
        lastSentValid_ = static_cast<uint16_t>(valid);
        Bytes rec;
        const bool wrongNumber = static_cast<long>(number) == opt_.wrongBlock && !wrongSent_;
        if (wrongNumber) wrongSent_ = true;
        Add32(rec, wrongNumber ? number + 7 : number);
        Add16(rec, opt_.blockSize);
        Add16(rec, static_cast<uint16_t>(valid));
        rec.insert(rec.end(), sending_->begin() + static_cast<long>(start),
                   sending_->begin() + static_cast<long>(start + valid));
        rec.resize(8 + opt_.blockSize, 0xEE);  // the bytes after the valid ones mean nothing
        uint16_t crc = Crc(rec.data(), rec.size());
        if (badCrcLeft_ > 0) {
            --badCrcLeft_;
            crc ^= 0x5555;
        }
        Add16(rec, crc);
        SendFrame(0xC00B, rec);
        if (static_cast<long>(number) == opt_.vanishAfterBlock) vanishing_ = true;
    }

    // The carrier is lost as the next block starts: its header comes damaged, then the
    // modem reports NO CARRIER and is back in command mode; the unit waits for a new call.
    void CarrierLost() {
        Bytes header = {0x10};
        Add16(header, static_cast<uint16_t>(opt_.blockSize + 10));
        Add16(header, 0xC00B);
        header.push_back(header[0] ^ header[1] ^ header[2] ^ header[3] ^ header[4] ^ 0x21);
        Send(header, false);
        SendText("\r\nNO CARRIER\r\n");
        Log("modem: carrier lost%s\n");
        online_ = opt_.noModem;
        unlocked_ = opt_.noModem || opt_.password.empty();
        commandMode_ = false;
        line_.clear();
        rx_.clear();
        timers_.clear();
        sending_.reset();
        sendingCode_.clear();
        monitoring_ = false;
    }

    // ---- the unit receives a file it asked for ----
    void StartUpload(const Bytes&) {
        upload_.clear();
        uploadNext_ = 0;
        SendFrame(0x400A, {}, false);
    }

    void ReceiveUploadBlock(const Bytes& rec) {
        if (rec.size() < 10) return;
        const uint32_t number = Le32(&rec[0]);
        const uint16_t valid = Le16(&rec[6]);
        const bool good = Crc(rec.data(), rec.size() - 2) == Le16(&rec[rec.size() - 2]) &&
                          valid <= rec.size() - 10 && number == uploadNext_;
        if (good && static_cast<long>(number) == opt_.askRepeatUploadBlock && !repeatAsked_) {
            repeatAsked_ = true;
            return SendFrame(0x400D, {}, false);
        }
        if (!good) return SendFrame(0x400D, {}, false);
        upload_.insert(upload_.end(), rec.begin() + 8, rec.begin() + 8 + valid);
        ++uploadNext_;
        SendFrame(0x400B, {}, false);
        if (static_cast<long>(number) == opt_.vanishAfterBlock) vanishing_ = true;
    }

    void FinishUpload() {
        SendFrame(0x400C, {}, false);
        if (!opt_.uploadSave.empty()) {
            std::ofstream out(opt_.uploadSave, std::ios::binary);
            out.write(reinterpret_cast<const char*>(upload_.data()),
                      static_cast<std::streamsize>(upload_.size()));
        }
        std::fprintf(stderr, "unit: received %zu bytes\n", upload_.size());
    }

    // ---- monitoring and parameters ----
    // The monitoring record: 12 channel counts A1 A2 B1 .. F2 (signed), 6 unused bytes,
    // channel error bits, W1, W2, 4 unused bytes, background rates A C B D E F, the unit's
    // date and time; 84 bytes.
    Bytes MonitoringData() {
        if (monitoring_) {
            ++monitoringAnswers_;
            if (opt_.newAlarmAfterPolls >= 0 && !alarmAppeared_ &&
                monitoringAnswers_ > opt_.newAlarmAfterPolls) {
                alarmAppeared_ = true;
                newAlarm_ = true;
                Log("unit: a new alarm waits%s\n");
            }
        }
        Bytes d;
        for (int channel = 0; channel < 12; ++channel) {
            const int noise = static_cast<int>(rng_() % (2 * kCountNoise + 1)) - kCountNoise;
            Add16(d, static_cast<uint16_t>(monitoring_ ? kChannelMean[channel / 2] + noise : 0));
        }
        d.insert(d.end(), 6, 0);
        Add16(d, opt_.channelErrors);
        Add16(d, static_cast<uint16_t>((monitoring_ ? kW1RegionAB : 0) |
                                       (newAlarm_ ? kW1NewAlarm : 0)));
        Add16(d, 0);  // W2: regions EF and ab are not monitored
        d.insert(d.end(), 4, 0);
        for (int region : kBackgroundLineOrder)
            Add32(d, static_cast<uint32_t>(2 * kChannelMean[region]));
        const std::time_t now = std::time(nullptr);
        std::tm local{};
        localtime_r(&now, &local);
        for (const char* format : {"%m-%d-%y", "%H:%M:%S"}) {
            char text[kTextField] = {};
            std::strftime(text, sizeof text, format, &local);
            d.insert(d.end(), text, text + kTextField);
        }
        return d;
    }

    // ---- the discriminator screen ----
    static uint8_t Packed(int v) { return static_cast<uint8_t>((v / 10) << 4 | v % 10); }
    static int Unpacked(uint8_t b) { return std::min(b >> 4, 9) * 10 + std::min(b & 15, 9); }

    // Factory settings: lower levels near 20, upper near 60, the third near 85, a little
    // different on each channel as a trimmed unit would be.
    static Bytes DefaultDiscrBlock() {
        Bytes b(kDiscrBlockSize, 0);
        for (int i = 0; i < kDiscrChannels; ++i) {
            b[2 * i] = Packed(18 + i % 5);
            b[2 * i + 1] = Packed(58 + i % 7);
            b[32 + i] = Packed(82 + i % 6);
        }
        return b;
    }

    // Each channel counts around its own rate, fewer the higher its first setting lies.
    Bytes CountsRecord() {
        Bytes d;
        for (int i = 0; i < kDiscrChannels; ++i) {
            const double rate = (150.0 + 12 * i) * (120 - Unpacked(discr_[2 * i])) / 100.0;
            std::normal_distribution<double> noise(rate, std::sqrt(rate));
            Add16(d, static_cast<uint16_t>(std::clamp(noise(rng_), 0.0, 65535.0)));
        }
        Add16(d, kS1DiscrMode);
        Add16(d, 0);
        d.insert(d.end(), 4, 0);
        return d;
    }

    // After 0xC050 the next 48 bytes are the settings, raw; 0x4050 says they were taken.
    void AwaitDiscrBlock() {
        rawWanted_ = kDiscrBlockSize;
        raw_.clear();
        const uint64_t serial = ++rawSerial_;
        After(kDiscrRawWaitMs, [this, serial] {
            if (rawWanted_ > 0 && rawSerial_ == serial) {
                Log("unit: the discriminator block did not come%s\n");
                rawWanted_ = 0;
            }
        });
    }
    void RawByte(uint8_t b) {
        raw_.push_back(b);
        if (--rawWanted_ > 0) return;
        discr_ = raw_;
        SendFrame(0x4050, {});
    }

    void WriteParameters(const Bytes& data) {
        if (data.size() != 178) return;
        if (Crc(data.data(), 176) != Le16(&data[176])) {
            Log("unit: parameter block CRC wrong%s\n");
            return;  // a damaged block is not taken and not answered
        }
        std::copy(data.begin(), data.begin() + 176, files_.parameters.begin());
        SendFrame(0x40F0, {});
    }

    const Options& opt_;
    int fd_;
    std::mt19937 rng_;
    UnitFiles files_;
    bool online_ = false;
    bool commandMode_ = false;    // online_, but the modem takes commands (after "+++")
    int plusesSeen_ = 0;          // of an escape sequence that began after a guard time
    Clock::time_point lastInAt_;  // the station's last byte while online
    bool unlocked_ = false;
    std::string line_;
    Bytes rx_;
    std::deque<uint8_t> out_;
    Clock::time_point paceStart_;
    size_t paced_ = 0;
    std::vector<std::pair<Clock::time_point, std::function<void()>>> timers_;
    std::optional<Bytes> sending_;
    uint32_t sendBlock_ = 0;
    uint64_t blocksSent_ = 0;
    uint16_t lastSentValid_ = 0;
    int badCrcLeft_ = opt_.badCrcBlocks;
    bool wrongSent_ = false;
    bool stalled_ = false;
    int repeatsAsked_ = 0;
    Bytes upload_;
    uint32_t uploadNext_ = 0;
    bool repeatAsked_ = false;
    std::string sendingCode_;
    bool monitoring_ = false;
    long monitoringAnswers_ = 0;
    bool alarmAppeared_ = false;
    bool newAlarm_ = false;
    Bytes discr_ = DefaultDiscrBlock();
    size_t rawWanted_ = 0;  // bytes of the raw discriminator block still to come
    Bytes raw_;
    uint64_t rawSerial_ = 0;
    bool lineUp_ = false;
    long loggedSpeed_ = -1;
    bool vanishing_ = false;
    std::deque<std::pair<Clock::time_point, uint8_t>> in_;  // bytes still on their way in
    Clock::time_point inFreeAt_;
    Clock::time_point outFreeAt_;
    Clock::time_point byteEnd_;  // when the byte being taken was all in
    Clock::time_point inItemStart_;
    bool inItemOpen_ = false;
    int timelineFd_ = opt_.timeline.empty() ? -1
                                            : open(opt_.timeline.c_str(),
                                                   O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    const Clock::time_point clockBase_ = Clock::now();
    const long long realBaseUs_ = std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::chrono::system_clock::now().time_since_epoch())
                                      .count();
};

// The help: on standard output for --help, on standard error after a usage error.
void Usage(FILE* to) {
    std::fputs(
        "usage: vm418-sim [options]\n"
        "       vm418-sim --help | --version\n"
        "  --baud N                 pace the line at N bit/s (10 bits a byte) both ways:\n"
        "                           the unit takes a byte when its last bit is in\n"
        "  --dial-result R          connect|ringing|busy|no-carrier|no-answer|error|\n"
        "                           no-dialtone|no-dial-tone|silence\n"
        "  --connect-text T         the connect line (default \"CONNECT 9600/ARQ\")\n"
        "  --silent-modem           the modem answers nothing\n"
        "  --escape-guard-ms MS     the silence around \"+++\" (default: VM418_MODEM_GUARD_MS\n"
        "                           from the environment, else 1000)\n"
        "  --no-modem               a direct line: the unit listens at once\n"
        "  --password P             the password line the unit waits for\n"
        "  --block-size 256|512|1024\n"
        "  --corrupt-rate R         flip a bit in this share of the unit's bytes\n"
        "  --drop-rate R            lose this share of the unit's bytes\n"
        "  --bad-crc N              the first N blocks sent carry a wrong CRC\n"
        "  --wrong-block K          block K is first sent with a wrong number\n"
        "  --stall-after-block K --stall-ms MS\n"
        "  --vanish-after-block K   the unit's line is cut after it sent (or took) block K\n"
        "  --carrier-lost-after-block K  once block K is acknowledged the carrier is lost:\n"
        "                           a damaged frame header, then NO CARRIER\n"
        "  --no-answer              the unit answers no frame\n"
        "  --request-file NAME      the unit asks the station for NAME once online\n"
        "  --upload-save PATH       where a file received from the station is written\n"
        "  --ask-repeat-upload K    ask once for block K of an upload again\n"
        "  --dump-dir DIR           write the unit's files there by code and go on\n"
        "  --channel-errors HEX     the channel error bits of the monitoring answers\n"
        "  --new-alarm-after-polls N  after N monitoring answers a new alarm waits\n"
        "                           (W1 bit 0) until ACRR has been downloaded\n"
        "  --no-alarms              the unit has registered no alarm\n"
        "  --invalid-parameters     the unit's parameter block fails validation\n"
        "  --timeline FILE          append each item on the line with its times to FILE:\n"
        "                           PID in|out|up|down START_US END_US TEXT\n"
        "  --seed N  --verbose\n",
        to);
}

// The value of a number option; any other text ends the program as a usage error.
template <typename T>
T NumberOption(const std::string& option, const std::string& value) {
    size_t used = 0;
    try {
        const T n = std::is_floating_point_v<T> ? static_cast<T>(std::stod(value, &used))
                                                : static_cast<T>(std::stol(value, &used));
        if (used == value.size()) return n;
    } catch (const std::logic_error&) {
    }
    std::fprintf(stderr, "vm418-sim: %s takes a number, not '%s'\n", option.c_str(), value.c_str());
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    if (const char* guard = std::getenv("VM418_MODEM_GUARD_MS"); guard && std::atoi(guard) > 0)
        o.escapeGuardMs = std::atoi(guard);
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        auto next = [&]() -> std::string {
            if (i + 1 >= argc) {
                Usage(stderr);
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--baud")
            o.baud = NumberOption<long>(a, next());
        else if (a == "--dial-result")
            o.dialResult = next();
        else if (a == "--connect-text")
            o.connectText = next();
        else if (a == "--escape-guard-ms")
            o.escapeGuardMs = NumberOption<int>(a, next());
        else if (a == "--silent-modem")
            o.silentModem = true;
        else if (a == "--no-modem")
            o.noModem = true;
        else if (a == "--password")
            o.password = next();
        else if (a == "--block-size")
            o.blockSize = static_cast<uint16_t>(NumberOption<int>(a, next()));
        else if (a == "--corrupt-rate")
            o.corruptRate = NumberOption<double>(a, next());
        else if (a == "--drop-rate")
            o.dropRate = NumberOption<double>(a, next());
        else if (a == "--bad-crc")
            o.badCrcBlocks = NumberOption<int>(a, next());
        else if (a == "--wrong-block")
            o.wrongBlock = NumberOption<long>(a, next());
        else if (a == "--stall-after-block")
            o.stallAfterBlock = NumberOption<long>(a, next());
        else if (a == "--stall-ms")
            o.stallMs = NumberOption<int>(a, next());
        else if (a == "--vanish-after-block")
            o.vanishAfterBlock = NumberOption<long>(a, next());
        else if (a == "--carrier-lost-after-block")
            o.carrierLostAfterBlock = NumberOption<long>(a, next());
        else if (a == "--no-answer")
            o.noAnswer = true;
        else if (a == "--request-file")
            o.requestFile = next();
        else if (a == "--upload-save")
            o.uploadSave = next();
        else if (a == "--ask-repeat-upload")
            o.askRepeatUploadBlock = NumberOption<long>(a, next());
        else if (a == "--dump-dir")
            o.dumpDir = next();
        else if (a == "--channel-errors") {
            const std::string v = next();
            char* end = nullptr;
            const unsigned long bits = std::strtoul(v.c_str(), &end, 16);
            if (v.empty() || *end != '\0' || v[0] == '-' || bits > 0xFFFF) {
                std::fputs("vm418-sim: --channel-errors takes a hexadecimal 0 to FFFF\n", stderr);
                return 2;
            }
            o.channelErrors = static_cast<uint16_t>(bits);
        } else if (a == "--new-alarm-after-polls") {
            const std::string v = next();
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != '\0' || n < 0) {
                std::fputs("vm418-sim: --new-alarm-after-polls takes a count from 0\n", stderr);
                return 2;
            }
            o.newAlarmAfterPolls = n;
        } else if (a == "--seed")
            o.seed = static_cast<unsigned>(NumberOption<unsigned long>(a, next()));
        else if (a == "--no-alarms")
            o.noAlarms = true;
        else if (a == "--invalid-parameters")
            o.invalidParameters = true;
        else if (a == "--verbose")
            o.verbose = true;
        else if (a == "--timeline")
            o.timeline = next();
        else if (a == "--help" || a == "-h") {
            Usage(stdout);
            return 0;
        } else if (a == "--version") {
            std::printf("vm418-sim %s\n", SUITE_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "vm418-sim: unknown option '%s'\n", a.c_str());
            Usage(stderr);
            return 2;
        }
    }
    if (o.blockSize != 256 && o.blockSize != 512 && o.blockSize != 1024) {
        std::fputs("vm418-sim: --block-size must be 256, 512 or 1024\n", stderr);
        return 2;
    }
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::perror("vm418-sim: pseudo-terminal");
        return 1;
    }
    const std::string path = ptsname(master);
    // The line starts raw; it is up while the station holds its side open, and a close
    // is a hang-up.
    const int slave = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    close(slave);
    signal(SIGTERM, OnSignal);
    signal(SIGINT, OnSignal);
    signal(SIGPIPE, SIG_IGN);

    Simulator sim(o, master);
    if (!o.dumpDir.empty()) sim.DumpFiles(o.dumpDir);
    std::printf("%s\n", path.c_str());
    std::fflush(stdout);
    sim.Run();
    close(master);
    return 0;
}
