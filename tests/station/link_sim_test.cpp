// The station link against vm418-sim over a pseudo-terminal: dialling, downloads of every
// file kind, the fault switches, uploads the unit asks for, abort.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <thread>

#include "file_trans_controller.h"
#include "modem_escape.h"
#include "monitoring_record.h"
#include "port_transport.h"
#include "serial.h"
#include "simulator_process.h"
#include "test_support.h"

using namespace station;
using namespace station::test;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

std::vector<uint8_t> ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class LinkSimTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("station_link_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir);
        fs::create_directories(dir / "outbox");
        fs::create_directories(dir / "unit");
        protocol.SetWorkFolder(dir);
        protocol.SetOutbox(dir / "outbox");
        protocol.SetWindow(&sink);
        serial.SetCom(&protocol);
    }
    void TearDown() override {
        serial.Close();
        sim.reset();
        fs::remove_all(dir);
    }

    // Starts the simulator with the password "pw" and its files dumped for comparison.
    void StartSim(std::vector<std::string> args) {
        args.insert(args.end(), {"--password", "pw", "--dump-dir", (dir / "unit").string()});
        sim = std::make_unique<SimulatorProcess>();
        ASSERT_TRUE(sim->Start(VM418_SIM_PATH, args));
        ASSERT_TRUE(serial.Open(sim->path())) << serial.OpenError();
    }
    void Connect() {
        ASSERT_EQ(protocol.Dial("5551234", "pw"), 0);
        ASSERT_TRUE(sink.WaitForStatus(XLNK_MODEM_CONNECTED));
        ASSERT_EQ(protocol.ModemState(), MODEM_CONNECTED);
    }
    // Feeds the controller the events in order, as the dialog gets them, until it closes.
    void Run(FileTransferController& c, int timeoutMs = 20000) {
        while (c.outcome() == FileTransferController::Outcome::Running) {
            const auto e = sink.Next(timeoutMs);
            ASSERT_TRUE(e) << "no event";
            if (e->command == kNoFrameCommand && e->Text().rfind("Asking to repeat", 0) == 0)
                ++repeats;
            c.OnEvent(*e);
        }
    }
    FileTransferController Download(const std::string& code, const std::string& saveAs) {
        FileTransferController c(&protocol, [](int, std::function<void()> fn) { fn(); });
        sink.SkipAll();  // the dialog sees only the events of its own transfer
        c.fileName = code;
        c.saveAs = saveAs;
        EXPECT_TRUE(c.Start());
        Run(c);
        return c;
    }

    fs::path dir;
    CollectingSink sink;
    XLNKProtocol protocol;
    CSerial serial;
    std::unique_ptr<SimulatorProcess> sim;
    int repeats = 0;
};

}  // namespace

TEST_F(LinkSimTest, DownloadsEveryFileKindByteExactWithEachBlockSize) {
    for (const char* size : {"256", "512", "1024"}) {
        StartSim({"--block-size", size});
        Connect();
        for (const std::string code : {"PARA", "HIST", "ALAR", "ACRR", "APRV", "ANXT"}) {
            const auto saveAs = dir / (code + ".got");
            const auto c = Download(code, saveAs.string());
            ASSERT_EQ(c.outcome(), FileTransferController::Outcome::Ok) << code << " " << size;
            EXPECT_EQ(ReadFile(saveAs), ReadFile(dir / "unit" / code)) << code << " " << size;
            EXPECT_FALSE(fs::exists(protocol.ReceivedFilePath()));
            EXPECT_EQ(c.progressPos(), c.progressMax()) << code;
        }
        EXPECT_EQ(fs::file_size(dir / "ALAR.got"), 15000u);
        EXPECT_EQ(fs::file_size(dir / "PARA.got"), 212u);
        EXPECT_EQ(fs::file_size(dir / "HIST.got"), 2800u);
        EXPECT_EQ(repeats, 0);
        serial.Close();
        sim.reset();
        sink.Clear();
    }
}

TEST_F(LinkSimTest, EmptySaveAsLeavesTheDataInReceivedTmp) {
    StartSim({});
    Connect();
    const auto c = Download("HIST", "");
    ASSERT_EQ(c.outcome(), FileTransferController::Outcome::Ok);
    EXPECT_EQ(ReadFile(protocol.ReceivedFilePath()), ReadFile(dir / "unit" / "HIST"));
}

// Damaged blocks are asked again; the file still arrives whole.
TEST_F(LinkSimTest, BadCrcAndWrongBlockNumberAreAskedAgain) {
    StartSim({"--block-size", "256", "--bad-crc", "2", "--wrong-block", "5"});
    Connect();
    const auto c = Download("ALAR", (dir / "alar").string());
    ASSERT_EQ(c.outcome(), FileTransferController::Outcome::Ok);
    EXPECT_EQ(repeats, 3);
    EXPECT_EQ(ReadFile(dir / "alar"), ReadFile(dir / "unit" / "ALAR"));
}

TEST_F(LinkSimTest, FiveBadBlocksInterruptTheDownloadAndNothingIsSaved) {
    StartSim({"--bad-crc", "5"});
    Connect();
    const auto c = Download("ALAR", (dir / "alar").string());
    EXPECT_EQ(c.outcome(), FileTransferController::Outcome::Cancel);
    EXPECT_TRUE(c.errorLamp());
    EXPECT_EQ(repeats, 4);
    EXPECT_TRUE(sink.WaitForStatus(XLNK_ERR_FILE_TRANSFER_INTERRUPTED, 0));
    EXPECT_FALSE(fs::exists(dir / "alar"));
    EXPECT_FALSE(protocol.TransferOpen());
}

// The carrier is lost as a block starts: the damaged header does not hide NO CARRIER, so
// the download ends at once as a hang-up, with no block asked again.
TEST_F(LinkSimTest, CarrierLostAfterADamagedHeaderEndsTheCallAtOnce) {
    StartSim({"--block-size", "256", "--carrier-lost-after-block", "2"});
    Connect();
    const auto c = Download("ALAR", (dir / "alar").string());
    EXPECT_EQ(c.failedStatus(), XLNK_ERR_MODEM + 3);
    EXPECT_EQ(repeats, 0);
    EXPECT_EQ(protocol.ModemState(), MODEM_IDLE);
}

TEST_F(LinkSimTest, StalledBlockIsAskedAgainAfterFiveSeconds) {
    StartSim({"--block-size", "1024", "--stall-after-block", "3", "--stall-ms", "7000"});
    Connect();
    const auto c = Download("ALAR", (dir / "alar").string());
    ASSERT_EQ(c.outcome(), FileTransferController::Outcome::Ok);
    EXPECT_EQ(repeats, 1);
    EXPECT_EQ(ReadFile(dir / "alar"), ReadFile(dir / "unit" / "ALAR"));
}

// A noisy line either delivers the exact file or fails; it never saves damaged data.
TEST_F(LinkSimTest, NoisyLineNeverSavesADamagedFile) {
    for (const char* seed : {"1", "2", "3"}) {
        StartSim({"--corrupt-rate", "0.001", "--drop-rate", "0.0005", "--seed", seed});
        Connect();
        const auto saveAs = dir / "alar";
        fs::remove(saveAs);
        const auto c = Download("ALAR", saveAs.string());
        if (c.outcome() == FileTransferController::Outcome::Ok)
            EXPECT_EQ(ReadFile(saveAs), ReadFile(dir / "unit" / "ALAR")) << seed;
        else
            EXPECT_FALSE(fs::exists(saveAs)) << seed;
        serial.Close();
        sim.reset();
        sink.Clear();
    }
}

TEST_F(LinkSimTest, AbortForgetsTheTransferAndTellsTheUnit) {
    StartSim({"--block-size", "256", "--stall-after-block", "2", "--stall-ms", "3000"});
    Connect();
    FileTransferController c(&protocol, [](int, std::function<void()> fn) { fn(); });
    c.fileName = "ALAR";
    c.saveAs = (dir / "alar").string();
    ASSERT_TRUE(c.Start());
    ASSERT_TRUE(sink.WaitFor([](const ProtocolEvent& e) {
        return e.command == 0xC00B && e.status == 0 && e.data[0] == 2;
    }));
    c.Abort();
    EXPECT_EQ(c.outcome(), FileTransferController::Outcome::Cancel);
    EXPECT_FALSE(protocol.TransferOpen());
    EXPECT_FALSE(fs::exists(dir / "alar"));
}

TEST_F(LinkSimTest, UnitRequestedUploadsArriveWhole) {
    for (size_t size : {600u, 512u, 5000u}) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<uint8_t>(i * 13 + size);
        std::ofstream(dir / "outbox" / "cfg.bin", std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(size));
        const auto saved = dir / "uploaded.bin";
        fs::remove(saved);
        // The unit asks once more for the short last block of the 600-byte file.
        StartSim({"--request-file", "cfg.bin", "--upload-save", saved.string(),
                  "--ask-repeat-upload", size == 600 ? "2" : "-1"});
        Connect();
        ASSERT_TRUE(sink.WaitForFrame(0x400C, 10000)) << size;
        for (int i = 0; i < 100 && ReadFile(saved).size() != size; ++i)
            usleep(10000);
        EXPECT_EQ(ReadFile(saved), bytes) << size;
        for (const auto& e : sink.Events()) {
            if (e.command != kNoFrameCommand) {
                EXPECT_EQ(e.status, 0) << std::hex << e.command;
            }
        }
        serial.Close();
        sim.reset();
        sink.Clear();
    }
}

TEST_F(LinkSimTest, UnitAskingForAFileOutsideTheOutboxGetsNothing) {
    std::ofstream(dir / "secret.txt") << "private";
    StartSim({"--request-file", "../secret.txt", "--upload-save", (dir / "leak").string()});
    Connect();
    const auto e = sink.WaitForStatus(XLNK_ERR_FILE_TRANSFER_INTERRUPTED);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->command, 0xC004);
    usleep(200000);
    EXPECT_FALSE(fs::exists(dir / "leak"));
}

// Monitoring answers decode as whole records: counts only while monitoring, each region
// near its background rate (so the rates come in the right order), the unit's date and time,
// the channels in error; a new alarm waits after two answers until the last alarm has been
// downloaded. Then a parameter block is written.
TEST_F(LinkSimTest, MonitoringAndParameterWrite) {
    StartSim({"--channel-errors", "0005", "--new-alarm-after-polls", "2"});
    Connect();
    auto poll = [this]() -> std::optional<MonitoringRecord> {
        sink.SkipAll();
        EXPECT_EQ(protocol.SendCommand(0xC0A1, 0, nullptr, 5000), 0);
        while (const auto e = sink.Next(5000)) {
            EXPECT_EQ(e->status, 0) << std::hex << e->command;
            if (e->command == 0x40A1) {
                EXPECT_EQ(e->length, kMonitoringRecordBytes);
                return DecodeMonitoringRecord(e->data.data(), e->length);
            }
        }
        return std::nullopt;
    };
    auto command = [this](uint16_t request) {
        sink.SkipAll();
        ASSERT_EQ(protocol.SendCommand(request, 0, nullptr, 5000), 0);
        ASSERT_TRUE(sink.WaitForFrame(request & 0x7FFF));
    };
    const std::regex date(R"((0[1-9]|1[0-2])-(0[1-9]|[12]\d|3[01])-\d\d)");
    const std::regex time(R"(([01]\d|2[0-3]):[0-5]\d:[0-5]\d)");

    auto idle = poll();
    ASSERT_TRUE(idle);
    EXPECT_EQ(RegionValue(*idle, kRegionSum), 0);
    EXPECT_EQ(UnitStatusText(*idle, false), "System Ready");
    EXPECT_TRUE(std::regex_match(idle->date.toStdString(), date)) << idle->date.toStdString();
    EXPECT_TRUE(std::regex_match(idle->time.toStdString(), time)) << idle->time.toStdString();

    command(0xC0A0);
    for (int answer = 1; answer <= 3; ++answer) {
        const auto r = poll();
        ASSERT_TRUE(r) << answer;
        for (int16_t count : r->counts)
            EXPECT_GT(count, 100) << answer;
        for (int region = 0; region < kMonitoringRegions; ++region)
            EXPECT_NEAR(RegionValue(*r, region), r->background[region], 12) << region;
        EXPECT_EQ(UnitStatusText(*r, false), "Monitoring region AB");
        EXPECT_EQ(ErrorChannelNames(r->errorBits), "A1C1");
        EXPECT_TRUE(std::regex_match(r->date.toStdString(), date)) << r->date.toStdString();
        EXPECT_EQ(NewAlarmWaiting(*r), answer == 3) << answer;
    }
    // Another alarm downloaded leaves the new one waiting; the last alarm takes it.
    command(0xC0B0);
    ASSERT_EQ(Download("APRV", (dir / "aprv").string()).outcome(),
              FileTransferController::Outcome::Ok);
    auto stopped = poll();
    ASSERT_TRUE(stopped);
    EXPECT_TRUE(NewAlarmWaiting(*stopped));
    EXPECT_EQ(RegionValue(*stopped, kRegionSum), 0);
    ASSERT_EQ(Download("ACRR", (dir / "acrr").string()).outcome(),
              FileTransferController::Outcome::Ok);
    command(0xC0A0);
    auto afterDownload = poll();
    ASSERT_TRUE(afterDownload);
    EXPECT_FALSE(NewAlarmWaiting(*afterDownload));
    EXPECT_EQ(UnitStatusText(*afterDownload, false), "Monitoring region AB");

    std::vector<uint8_t> block(176, 0x21);
    ASSERT_EQ(protocol.SendCommand(0xC0F0, block.size(), block.data(), 5000), 0);
    EXPECT_TRUE(sink.WaitForFrame(0x40F0));
    EXPECT_EQ(protocol.OutstandingCount(), 0u);
}

TEST_F(LinkSimTest, WrongPasswordLeavesTheUnitSilentAndTheRequestTimesOut) {
    StartSim({});
    ASSERT_EQ(protocol.Dial("5551234", "wrong"), 0);
    ASSERT_TRUE(sink.WaitForStatus(XLNK_MODEM_CONNECTED));
    ASSERT_EQ(protocol.SendCommand(0xC0A0, 0, nullptr, 1000), 0);
    const auto e = sink.WaitForStatus(XLNK_ERR_TIMEOUT, 4000);
    ASSERT_TRUE(e);
    EXPECT_EQ(e->command, 0xC0A0);
}

// Each modem answer and the event it ends the dialogue with.
TEST_F(LinkSimTest, ModemAnswersAndTheirEvents) {
    const std::pair<std::string, uint16_t> cases[] = {
        {"busy", XLNK_ERR_MODEM + 7},         {"no-carrier", XLNK_ERR_MODEM + 3},
        {"no-answer", XLNK_ERR_MODEM + 8},    {"error", XLNK_ERR_MODEM + 4},
        {"no-dial-tone", XLNK_ERR_MODEM + 9}, {"no-dialtone", XLNK_ERR_MODEM + 9},
        {"ringing", XLNK_MODEM_CONNECTED}};
    for (const auto& [result, status] : cases) {
        StartSim({"--dial-result", result});
        ASSERT_EQ(protocol.Dial("5551234", "pw"), 0);
        const auto e = sink.WaitFor([](const ProtocolEvent& ev) { return ev.status != 0; });
        ASSERT_TRUE(e) << result;
        EXPECT_EQ(e->status, status) << result;
        serial.Close();
        sim.reset();
        sink.Clear();
    }
}

TEST_F(LinkSimTest, SilentModemDisconnectsAfterTwoSeconds) {
    StartSim({"--silent-modem"});
    ASSERT_EQ(protocol.Dial("5551234", "pw"), 0);
    const auto e = sink.WaitForStatus(XLNK_ERR_MODEM, 4000);
    ASSERT_TRUE(e);
    EXPECT_EQ(protocol.ModemState(), MODEM_IDLE);
}

// Hanging up in the middle of a block and calling again: the second call's dialogue and
// download are understood from their first byte.
TEST_F(LinkSimTest, HangingUpMidFrameThenCallingAgainDownloads) {
    StartSim({"--baud", "9600", "--block-size", "1024", "--timeline", (dir / "timeline").string()});
    Connect();
    FileTransferController c(&protocol, [](int, std::function<void()> fn) { fn(); });
    c.fileName = "ALAR";
    ASSERT_TRUE(c.Start());
    ASSERT_TRUE(
        sink.WaitFor([](const ProtocolEvent& e) { return e.command == 0xC00B && e.status == 0; }));
    usleep(300000);  // block 1 is on its way: about a third of it has come
    serial.Close();
    usleep(200000);  // the modem takes the dropped line as a hang-up
    sink.Clear();
    ASSERT_TRUE(serial.Open(sim->path())) << serial.OpenError();
    Connect();
    const auto saveAs = dir / "para";
    const auto d = Download("PARA", saveAs.string());
    ASSERT_EQ(d.outcome(), FileTransferController::Outcome::Ok);
    EXPECT_EQ(ReadFile(saveAs), ReadFile(dir / "unit" / "PARA"));
    for (const auto& e : sink.Events())
        EXPECT_TRUE(e.status == 0 || e.status == XLNK_MODEM_CONNECTED) << std::hex << e.status;

    // The line is paced both ways: the station's answer takes its six bytes' time, and the
    // unit's next frame comes only after it; the timeline notes both calls.
    std::ifstream timeline(dir / "timeline");
    std::string line, kinds;
    long long readyEnd = 0, blockStart = 0, readyUs = 0;
    while (std::getline(timeline, line)) {
        std::istringstream w(line);
        std::string pid, kind, text;
        long long start = 0, end = 0;
        w >> pid >> kind >> start >> end;
        std::getline(w >> std::ws, text);
        if (kind == "up" || kind == "down") kinds += kind + " ";
        if (kind == "in" && text == "0x400A" && !readyEnd) readyEnd = end, readyUs = end - start;
        if (kind == "out" && text == "0xC00B" && readyEnd && !blockStart) blockStart = start;
    }
    EXPECT_EQ(kinds, "up down up ");
    EXPECT_NEAR(readyUs, 6 * 10 * 1e6 / 9600, 100);
    EXPECT_GE(blockStart, readyEnd);
}

// The unit's line is cut in the middle of a download: the transfer ends at once as a lost
// port, nothing is left outstanding and the engine has stopped.
TEST_F(LinkSimTest, UnitVanishingMidDownloadEndsItAsALostPort) {
    StartSim({"--block-size", "256", "--vanish-after-block", "3"});
    Connect();
    const auto c = Download("ALAR", (dir / "alar").string());
    EXPECT_EQ(c.outcome(), FileTransferController::Outcome::Cancel);
    EXPECT_TRUE(sink.WaitForStatus(XLNK_ERR_PORT_LOST, 0));
    EXPECT_FALSE(protocol.TransferOpen());
    EXPECT_EQ(protocol.OutstandingCount(), 0u);
    EXPECT_FALSE(protocol.IsRunning());
    EXPECT_FALSE(fs::exists(dir / "alar"));
}

// The modem leaves a call for command mode only on "+++" with a guard time of silence on
// both sides: pluses among other bytes are the unit's data. ATO goes back into the call;
// the station's hang-up (silence, "+++", silence, "ATH0", the modem's "OK") ends it, so
// that the next dial connects.
TEST_F(LinkSimTest, EscapeSequenceHangsUpTheModemAndPlusesInDataDoNot) {
    constexpr auto guard = std::chrono::milliseconds(30);
    sim = std::make_unique<SimulatorProcess>();
    ASSERT_TRUE(sim->Start(VM418_SIM_PATH, {"--escape-guard-ms", "30", "--password", "pw"}));
    const int fd = open(sim->path().c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    // Says `s` after `quiet`; whether the modem answers `want` (before 400 ms of silence).
    const auto exchange = [fd](std::chrono::milliseconds quiet, const std::string& s,
                               const std::string& want) {
        std::this_thread::sleep_for(quiet);
        EXPECT_EQ(write(fd, s.data(), s.size()), static_cast<ssize_t>(s.size()));
        std::string heard;
        char buf[256];
        for (pollfd p{fd, POLLIN, 0}; heard.find(want) == std::string::npos && poll(&p, 1, 400);)
            heard.append(buf, static_cast<size_t>(std::max<ssize_t>(0, read(fd, buf, 256))));
        return heard.find(want) != std::string::npos;
    };
    ASSERT_TRUE(exchange(0ms, "ATD5551234\r", "CONNECT"));
    exchange(0ms, "pw\r\n", "");
    EXPECT_FALSE(exchange(guard * 3, "+++x", "OK"));  // data right after the pluses
    EXPECT_FALSE(exchange(0ms, "x+++", "OK"));        // and right before them
    EXPECT_TRUE(exchange(guard * 3, "+++", "OK"));
    EXPECT_TRUE(exchange(0ms, "ATD1\r", "ERROR"));  // the call is held: no dialling
    EXPECT_TRUE(exchange(0ms, "ATO\r", "CONNECT"));
    DeviceTransport line(fd);
    std::string why;
    EXPECT_TRUE(HangUpByEscape(line, EscapeSilence(guard), &why)) << why;
    EXPECT_TRUE(exchange(0ms, "ATD1\r", "CONNECT"));
    close(fd);
}
