// Writes the seed inputs of the fuzz targets into tests/fuzz/seeds/<target>/: well-formed
// inputs in each target's own layout, made with the product's encoders, the simulators' models
// and the test goldens, so that fuzzing starts from frames with right checks, full rings and
// dated history. usage: make_seeds FOLDER (scripts/fuzz seeds runs it).

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "discr_screen.h"
#include "hm210_device.h"
#include "sim/vm418/station_files.h"  // the simulated unit's files
#include "station_golden.h"
#include "xlnk_frame.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;
fs::path root;

void Write(const std::string& target, const std::string& name, const Bytes& bytes) {
    fs::create_directories(root / target);
    std::ofstream(root / target / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

Bytes Of(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void Put16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}

// ---- the HM-210 ----

// What the simulated monitor sends for `command` (its measuring time included), streams
// followed for `streamSeconds`.
Bytes Reply(hm210sim::Device& device, const std::string& command, int streamSeconds = 0) {
    // A fixed clock, so that the seeds are made the same each time: 2026-12-10 07:30:05 UTC.
    const auto now = hm210sim::Device::Clock::from_time_t(1796887805);
    Bytes out;
    for (char c : command)
        out = out + device.receive(static_cast<uint8_t>(c), now);
    auto t = std::chrono::steady_clock::now();
    for (int i = 0; i < 10 * streamSeconds; ++i)
        out = out + device.due(t += std::chrono::milliseconds(100));
    return out;
}

void Hm210Seeds() {
    hm210sim::Device device;
    device.tests().measuringSecond = std::chrono::milliseconds(1);
    // fuzz_hm210_replies: state index, command index ("S" "n" "H" "J" "P"), the line.
    const struct {
        int state;
        const char* command;
        int commandIndex;
    } states[] = {{1, "U", 0},  {2, "M", 0},  {3, "T", 0},  {4, "H\1\0", 2}, {5, "D", 0},
                  {6, "C", 0},  {7, "A", 0},  {8, "F", 0},  {9, "S\1\0", 0}, {9, "n\1\0", 1},
                  {10, "O", 0}, {11, "g", 0}, {13, "Q", 3}, {14, "X", 3},    {15, "J", 3},
                  {16, "K", 3}, {17, "W", 4}, {18, "P", 4}, {18, "y", 4}};
    for (const auto& s : states) {
        const std::string command(
            s.command, s.command[0] == 'S' || s.command[0] == 'n' || s.command[0] == 'H' ? 3 : 1);
        const Bytes line = Reply(device, command, 2);
        Write("fuzz_hm210_replies", "state" + std::to_string(s.state) + command.substr(0, 1),
              Bytes{static_cast<uint8_t>(s.state), static_cast<uint8_t>(s.commandIndex)} + line);
        device.lineIdle();
        Reply(device, "Z");
    }
    // fuzz_console_replies: the console's command index, its mode bits, the line.
    const char* console[] = {"U", "M", "T", "Y", "D", "C", "A", "F", "R", "O", "S", "H", "n", "d"};
    for (uint8_t i = 0; i < 14; ++i) {
        const char c = console[i][0];
        const bool timed = c == 'S' || c == 'H' || c == 'n' || c == 'd';
        const Bytes line = Reply(device, timed ? std::string{c, 1, 0} : std::string{c}, 3);
        for (uint8_t mode : {0, 1})
            Write("fuzz_console_replies", std::string{c} + std::to_string(mode),
                  Bytes{i, mode} + line + (mode ? line : Bytes{}));
        device.lineIdle();
        Reply(device, "Z");
    }
    Write("fuzz_console_replies", "g", Bytes{14, 0} + Reply(device, "g"));
    // fuzz_record_stream: alarms (0) or dose (1), the line.
    Write("fuzz_record_stream", "alarms", Bytes{0} + Reply(device, "P"));
    Write("fuzz_record_stream", "dose", Bytes{1} + Reply(device, "y"));
    device.records().header = hm210sim::RecordHeader::Unreadable;
    Write("fuzz_record_stream", "unreadable", Bytes{0} + Reply(device, "P"));
    // fuzz_settings_replies: steps of action, line length, line (see the target).
    const Bytes user = Reply(device, "J");
    const Bytes defaults = Reply(device, "X");
    const Bytes written = {0xAA, 0xAA};
    auto step = [](uint8_t action, const Bytes& line) {
        return Bytes{action, static_cast<uint8_t>(line.size())} + line;
    };
    Write("fuzz_settings_replies", "read_user", step(1, user));
    Write("fuzz_settings_replies", "read_default_save",
          step(0, defaults) + step(2, written) + step(1, user) + step(3, written));
    Write("fuzz_settings_replies", "edit_save",
          step(1, user) +
              step(4, Of("\3"
                         "5000")) +
              step(4, Of("\5"
                         "12.5")) +
              step(2, written));
    Write("fuzz_settings_replies", "no_echo",
          step(1, {}) + step(5, {}) + step(2, {0xAA}) + step(5, {}));
}

// ---- XLNK ----

Bytes Frame(uint16_t command, const Bytes& data = {}) {
    return station::BuildCommandBytes(command, data.data(), data.size());
}

Bytes Block(uint32_t number, uint16_t size, uint16_t valid) {
    Bytes data(valid);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>('A' + (number * 7 + i) % 26);
    return Frame(station::CMD_FILE_BLOCK,
                 station::BuildBlockRecord(number, size, data.data(), valid));
}

// The receiver's pieces: a control byte (bits 0-5 the length - 1, 0x40 the line then falls
// silent, 0x80 five seconds pass) and the bytes of one read.
Bytes Reads(const Bytes& line, uint8_t after = 0) {
    Bytes out;
    for (size_t at = 0; at < line.size(); at += 64) {
        const size_t n = std::min<size_t>(64, line.size() - at);
        const bool last = at + n == line.size();
        out.push_back(static_cast<uint8_t>((n - 1) | (last ? after : 0)));
        out.insert(out.end(), line.begin() + static_cast<long>(at),
                   line.begin() + static_cast<long>(at + n));
    }
    return out;
}

void ReceiverSeeds() {
    using namespace station;
    const std::string t = "xlnk_receiver_fuzz";
    const Bytes one = {1, 0, 0, 0};
    // The station asked for a file: the unit takes the request, announces one piece and sends
    // it in two blocks (the second short, so the last), then ends the file.
    Write(t, "download",
          Reads(Frame(CMD_FILE_REQUEST_ACK)) + Reads(Frame(CMD_FILE_ANNOUNCE, one)) +
              Reads(Block(0, 512, 512)) + Reads(Block(1, 512, 100)) + Reads(Frame(CMD_FILE_END)));
    // A block with a wrong CRC and one that does not come in time: both asked again.
    Bytes bad = Block(0, 256, 256);
    bad[bad.size() - 1] ^= 0x5A;
    Write(t, "download_repeats",
          Reads(Frame(CMD_FILE_REQUEST_ACK)) + Reads(Frame(CMD_FILE_ANNOUNCE, one)) + Reads(bad) +
              Reads(Block(0, 256, 256)) + Reads(Block(1, 256, 256), 0x80) +
              Reads(Block(2, 256, 0)) + Reads(Frame(CMD_FILE_END), 0x40));
    // A damaged header inside a download, then the rest of the block.
    Bytes damaged = Block(0, 256, 256);
    damaged[5] ^= 1;
    Write(t, "download_damaged_header",
          Reads(Frame(CMD_FILE_REQUEST_ACK)) + Reads(Frame(CMD_FILE_ANNOUNCE, one)) +
              Reads(damaged, 0x40) + Reads(Block(0, 256, 256)));
    // The unit asks for "f" (700 bytes in the outbox): three blocks, one asked again, and the end.
    Write(t, "upload",
          Reads(Frame(CMD_FILE_REQUEST, Of("f"))) + Reads(Frame(CMD_FILE_ANNOUNCE_ACK)) +
              Reads(Frame(CMD_FILE_BLOCK_ACK)) + Reads(Frame(CMD_FILE_REPEAT)) +
              Reads(Frame(CMD_FILE_BLOCK_ACK)) + Reads(Frame(CMD_FILE_BLOCK_ACK)) +
              Reads(Frame(CMD_FILE_END_ACK)));
    // Answers out of turn (the announcement not yet taken), with a block awaited for good
    // (the first read, a line end, says so).
    Write(t, "answers_out_of_turn",
          Bytes{0xC0, '\n'} + Reads(Frame(CMD_FILE_REQUEST, Of("f"))) +
              Reads(Frame(CMD_FILE_BLOCK_ACK)) + Reads(Frame(CMD_FILE_REPEAT)));
    Write(t, "upload_refused", Reads(Frame(CMD_FILE_REQUEST, Of("../etc/passwd"))));
    // The modem's answers around a connection, a frame while connected and the hang-up.
    Write(t, "modem",
          Reads(Of("AT\r\r\nOK\r\n")) + Reads(Of("\r\nCONNECT 9600/ARQ\r\n"), 0x40) +
              Reads(Frame(0x40A1, Bytes(84, 0x20))) + Reads(Of("\r\nNO CARRIER\r\n")));
    Write(t, "modem_busy", Reads(Of("\r\nBUSY\r\n")) + Reads(Of("\r\nNO DIALTONE\r\n")));
    // A damaged header with the modem's result right behind it.
    Bytes header = Frame(0x4030);
    header[5] ^= 0x21;
    Write(t, "damaged_header_then_text", Reads(header + Of("\r\nNO CARRIER\r\n"), 0x40));
    // Requests of the unit the station answers, an abort, and answers nobody asked for.
    Write(t, "requests",
          Reads(Frame(0xC0A1)) + Reads(Frame(0xC005, Of("x"))) + Reads(Frame(CMD_FILE_ABORT)) +
              Reads(Frame(0x4040, Bytes(40, 1))) + Reads(Frame(0xC0F0, Bytes(176, 2))));
}

// ---- the transfer controller and the discriminator screen: frame events ----

// One event: kind (0 frame, 1 status, 2 text), command, data length, data.
Bytes Event(uint8_t kind, uint16_t command, const Bytes& data = {}) {
    Bytes e{kind};
    Put16(e, command);
    e.push_back(static_cast<uint8_t>(data.size()));
    return e + data;
}

Bytes BlockHead(uint32_t number) {
    return station::BuildBlockRecord(number, 16, Bytes(16, 'x').data(), 16);
}

void ControllerSeeds() {
    using namespace station;
    const std::string t = "transfer_controller_fuzz";
    const Bytes three = {3, 0, 0, 0};
    Write(t, "download",
          Event(0, CMD_FILE_REQUEST_ACK) + Event(0, CMD_FILE_ANNOUNCE, three) +
              Event(0, CMD_FILE_BLOCK, BlockHead(0)) + Event(0, CMD_FILE_BLOCK, BlockHead(1)) +
              Event(2, 0, Of("Asking to repeat file block\r\n")) +
              Event(0, CMD_FILE_BLOCK, BlockHead(2)) + Event(0, CMD_FILE_END));
    Write(t, "interrupted",
          Event(0, CMD_FILE_ANNOUNCE, three) + Event(0, CMD_FILE_BLOCK, BlockHead(0)) +
              Event(1, CMD_FILE_BLOCK, {0x02, 0x69}) + Event(0, CMD_FILE_END));
    Write(t, "ended_by_unit", Event(0, CMD_FILE_ANNOUNCE, three) + Event(0, CMD_FILE_END_ACK));
    Write(t, "abort", Event(0, CMD_FILE_ANNOUNCE, three) + Event(3, 0) + Event(0, CMD_FILE_END));
}

void DiscriminatorSeeds() {
    const std::string t = "discriminator_fuzz";
    vm418::DiscrSettings settings{};
    for (int i = 0; i < vm418::kDiscrChannels; ++i)
        settings[i] = {18 + i % 5, 58 + i % 7, 82 + i % 6};
    const auto block = vm418::encodeDiscrBlock(settings);
    const Bytes settingsBytes(block.begin(), block.end());
    Bytes counts;
    for (int i = 0; i < vm418::kDiscrChannels; ++i)
        Put16(counts, static_cast<uint16_t>(150 + 12 * i));
    Put16(counts, 0x8000);
    Put16(counts, 0x4000);
    counts.insert(counts.end(), 4, 0);
    // Events: kind 0 a frame, 1 a status, 2 and up the user's actions (see the target); a
    // second passes (9) and the timer runs (8) before each poll's answer.
    const Bytes poll = Event(9, 0) + Event(8, 0) + Event(0, vm418::ANS_DISCR_COUNTS, counts);
    Bytes polls;
    for (int i = 0; i < 31; ++i)
        polls = polls + poll;
    Write(t, "read_and_poll", Event(0, vm418::ANS_DISCR_READ, settingsBytes) + polls);
    const uint16_t edit = 45 << 7 | 1 << 5 | 5;  // channel C2, second setting, 45
    Write(t, "update_default_close",
          Event(0, vm418::ANS_DISCR_READ, settingsBytes) + poll + Event(3, edit) + Event(4, 0) +
              poll + Event(0, vm418::ANS_DISCR_WRITTEN) + Event(7, 3) + Event(5, 0) + poll +
              Event(0, vm418::ANS_DISCR_DEFAULTS, settingsBytes) + Event(6, 0) + poll +
              Event(0, vm418::ANS_DISCR_LEFT));
    Write(t, "failed_poll",
          Event(0, vm418::ANS_DISCR_READ, settingsBytes) +
              Event(1, vm418::CMD_DISCR_COUNTS, {2, 0x69}) +
              Event(0, vm418::ANS_DISCR_READ, Bytes(20, 0x99)));
}

// ---- station files ----

Bytes Le16(int v) {
    Bytes b;
    Put16(b, static_cast<uint16_t>(v));
    return b;
}

void StationFileSeeds() {
    using namespace vm418::golden;
    for (unsigned seed : {1u, 2u}) {
        const vm418sim::UnitFiles f = vm418sim::MakeUnitFiles(seed);
        const std::string n = std::to_string(seed);
        // fuzz_alarm_ring: the two ring offsets of the parameter block, then the ring.
        Write("fuzz_alarm_ring", "unit" + n,
              Bytes(f.parameters.begin() + 79, f.parameters.begin() + 83) + f.alarmRing);
        Write("fuzz_history", "unit" + n, f.history);
        Write("parameter_block_fuzz", "unit" + n, f.parameters);
        // downloaded_files_fuzz: the parameter block, then the file.
        Write("downloaded_files_fuzz", "ring" + n, f.parameters + f.alarmRing);
        Write("downloaded_files_fuzz", "history" + n, f.parameters + f.history);
        Write("fuzz_single_alarm", "unit" + n, f.alarms[seed * 7]);
        Write("downloaded_files_fuzz", "single" + n, f.parameters + f.alarms[seed]);
    }
    // The golden record across the ring's end, and a short ring.
    std::vector<uint8_t> ring = emptyRing();
    putRecord(ring, vm418::kAlarmRingSize - 60, kRecordA);
    Write("fuzz_alarm_ring", "wrapped",
          Le16(vm418::kAlarmRingSize - 60) + Le16(kRecordASize - 60) + Bytes(ring));
    Write("fuzz_alarm_ring", "short",
          Le16(0) + Le16(kRecordASize) + Of(std::string(kRecordA, kRecordASize)));
    Write("fuzz_single_alarm", "golden", Of(std::string(kRecordA, kRecordASize)));
    Write("fuzz_single_alarm", "day_first",
          Of(alarmRecord("1 2 3 4", "31-12-99 23:59:59", "1 2 3 2", "5 6 A",
                         "OK  ALARM  GAMMA  AB   E", {7, -8})));
    Write("fuzz_history", "dated_and_continued",
          historyFile({historySlot("PWRON", "12-31-99 23:59:59"), historySlot("CONT", "text"),
                       historySlot("ALARM", "02-29-00 00:00:00"), historySlot("X", "", false)}));
    const auto valid = blockBytes(std::begin(kValidBlock), std::end(kValidBlock));
    Write("parameter_block_fuzz", "golden", valid);
    // stored_rows_fuzz: DateTime and twelve numbers of 4 bytes, two texts and the graph
    // (a length byte each), an event text and its time.
    Bytes row;
    for (int v : {946684800, 50, 1, 3, 45, 12, 7, 15, 250, 2, 880, 40, 67})
        row = row + Bytes{static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8),
                          static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 24)};
    row = row + Bytes{24} + Of("OK  ALARM  GAMMA  AB   U") + Bytes{8} + Of("00:12:30") +
          Bytes{8, 100, 0, 0, 0, 200, 0, 0, 0} + Bytes{5} + Of("PWRON") + Bytes{0, 0, 0x6D, 0x38};
    Write("stored_rows_fuzz", "row", row);
}

void TextSeeds() {
    const char* ports[] = {"COM1 9600 0 0 8 1", "COM2 19200 2 1 7 2", "ttyUSB0 115200 0 0 8 3",
                           "COM3 300 4 2 5 1"};
    int i = 0;
    for (const char* p : ports)
        Write("port_settings_text_fuzz", "text" + std::to_string(++i), Of(p));
    // telnet_receiver_fuzz: a cut length, then what ser2net answers an offer with, the speed
    // acknowledged, notifications and data with a doubled 0xFF; and a converter's address.
    Write("telnet_receiver_fuzz", "answer",
          Bytes{3,   255, 251, 3,   255, 251,  1,    255, 253, 0,    255, 253, 44,  255,
                250, 44,  101, 0,   0,   0x25, 0x80, 255, 240, 255,  250, 44,  106, 0x0A,
                255, 240, 255, 250, 44,  107,  0x88, 255, 240, 0x10, 255, 255, 0x41});
    Write("telnet_receiver_fuzz", "address", Bytes{1} + Of("rfc2217://[fd00::7%eth0]:4001"));
    // monitoring_record_fuzz: counts, unused, error bits, W1, W2, unused, backgrounds, date, time.
    Bytes m;
    for (int c = 0; c < 12; ++c)
        Put16(m, static_cast<uint16_t>(175 + 10 * c));
    m.insert(m.end(), 6, 0);
    Put16(m, 0x0003);
    Put16(m, 0x8001);
    Put16(m, 0);
    m.insert(m.end(), 4, 0);
    for (int r = 0; r < 6; ++r)
        m = m + Bytes{static_cast<uint8_t>(100 + r), 1, 0, 0};
    const auto field = [](const char* s) {
        Bytes b(10, 0);
        std::memcpy(b.data(), s, std::strlen(s));
        return b;
    };
    Write("monitoring_record_fuzz", "record", m + field("12-10-26") + field("07:30:05"));
    // fleet_answer_fuzz: a path and its query, as a browser asks.
    const char* requests[] = {"/",
                              "/api/systems",
                              "/system/1",
                              "/system/1?from=2026-12-01&to=2026-12-10",
                              "/system/2/alarms.csv?to=2026-12-10",
                              "/system/1/alarms.n42?from=2026-11-01",
                              "/system/1/alarm.n42?number=3&time=2026-12-09T10:20:30",
                              "/api/systems/1/alarms?from=2026-12-09&to=2026-12-09",
                              "/system/9"};
    i = 0;
    for (const char* r : requests)
        Write("fleet_answer_fuzz", "request" + std::to_string(++i), Of(r));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds FOLDER\n");
        return 2;
    }
    root = argv[1];
    Hm210Seeds();
    ReceiverSeeds();
    ControllerSeeds();
    DiscriminatorSeeds();
    StationFileSeeds();
    TextSeeds();
    return 0;
}
