// Downloads the 15000-byte alarm file from vm418-sim paced at 9600 bit/s both ways over a
// pseudo-terminal, and through ser2net's RFC 2217 port in front of it, and prints how close
// the transfer comes to the line's own speed (the unit's bytes and the station's answers,
// which the unit waits for); then measures how long a frame takes from its last byte on the
// line to its event. Whatever cannot be measured is said, with why.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "file_trans_controller.h"
#include "serial.h"
#include "simulator_process.h"
#include "xlnk_protocol.h"

using namespace station;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;

namespace {

constexpr int kBaud = 9600;
constexpr double kBitsPerByte = 10.0;

class Queue : public ProtocolEventSink {
  public:
    void OnProtocolEvent(std::unique_ptr<ProtocolEvent> e) override {
        std::lock_guard lock(m_);
        deliveredAt_.push_back(Clock::now());
        q_.push_back(std::move(e));
        cv_.notify_one();
    }
    std::unique_ptr<ProtocolEvent> Next(int ms, Clock::time_point* at = nullptr) {
        std::unique_lock lock(m_);
        if (!cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return !q_.empty(); }))
            return nullptr;
        auto e = std::move(q_.front());
        q_.pop_front();
        if (at) *at = deliveredAt_.front();
        deliveredAt_.pop_front();
        return e;
    }

  private:
    std::mutex m_;
    std::condition_variable cv_;
    std::deque<std::unique_ptr<ProtocolEvent>> q_;
    std::deque<Clock::time_point> deliveredAt_;
};

// Counts the bytes that came over the line and those the station put on it.
class CountingProtocol : public XLNKProtocol {
  public:
    size_t received = 0;
    std::atomic<size_t> sent{0};

  protected:
    void ProcessInput() override {
        received += static_cast<size_t>(rxEnd - rxBuffer);
        XLNKProtocol::ProcessInput();
    }
    void OnDataWritten(size_t count, const std::vector<uint8_t>& buffer) override {
        sent += count;
        XLNKProtocol::OnDataWritten(count, buffer);
    }
};

// Waits for the modem's connection; false when another event or none came.
bool Connected(Queue& events) {
    for (auto e = events.Next(5000); e; e = events.Next(5000))
        if (e->status == XLNK_MODEM_CONNECTED) return true;
    return false;
}

// Why a transfer that did not complete ended.
std::string Failure(const FileTransferController& c) {
    if (c.outcome() == FileTransferController::Outcome::Running) return "no event for 30 s";
    char status[40];
    std::snprintf(status, sizeof status, "event 0x%X", c.failedStatus());
    return !c.failure().empty() ? c.failure() : c.failedStatus() ? status : "cancelled";
}

// ser2net on 127.0.0.1 serving `device` through an RFC 2217 port; its pid and the port.
std::pair<pid_t, int> StartConverter(const std::string& device, const fs::path& dir) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    const int port = ntohs(a.sin_port);
    const fs::path config = dir / "ser2net.yaml";
    std::ofstream(config) << "connection: &unit\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << port
                          << "\n  connector: serialdev," << device << ",9600n81,local\n";
    std::fflush(stdout);  // what is printed so far is printed once, not by the child too
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen("/dev/null", "w", stdout);
        std::freopen("/dev/null", "w", stderr);
        const std::string pidFile = (dir / "ser2net.pid").string();
        execlp("ser2net", "ser2net", "-n", "-u", "-P", pidFile.c_str(), "-c", config.c_str(),
               nullptr);
        _exit(127);
    }
    for (int i = 0; i < 300; ++i) {
        const int c = socket(AF_INET, SOCK_STREAM, 0);
        a.sin_port = htons(static_cast<uint16_t>(port));
        const bool up = connect(c, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
        close(c);
        if (up) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return {pid, port};
}

void Download(int blockSize, const char* corruptRate, bool throughConverter = false) {
    const fs::path dir = fs::temp_directory_path() / ("xlnk_bench_" + std::to_string(getpid()));
    fs::create_directories(dir);
    SimulatorProcess sim;
    if (!sim.Start(VM418_SIM_PATH,
                   {"--baud", std::to_string(kBaud), "--block-size", std::to_string(blockSize),
                    "--corrupt-rate", corruptRate, "--password", "pw", "--seed", "7"})) {
        std::printf("block %4d  corruption %-6s  not measured: the simulator %s did not start\n",
                    blockSize, corruptRate, VM418_SIM_PATH);
        return;
    }
    CountingProtocol protocol;
    Queue events;
    protocol.SetWindow(&events);
    protocol.SetWorkFolder(dir);
    CSerial serial;
    serial.SetCom(&protocol);
    std::string port = sim.path();
    pid_t converter = -1;
    if (throughConverter) {
        int tcpPort = 0;
        std::tie(converter, tcpPort) = StartConverter(sim.path(), dir);
        port = "rfc2217://127.0.0.1:" + std::to_string(tcpPort);
    }
    if (!serial.Open(port)) {
        std::printf("block %4d  corruption %-6s  not measured: cannot open %s: %s\n", blockSize,
                    corruptRate, port.c_str(), serial.OpenError().c_str());
        return;
    }
    protocol.Dial("5551234", "pw");
    if (!Connected(events)) {
        std::printf("block %4d  corruption %-6s  not measured: the modem did not connect\n",
                    blockSize, corruptRate);
        return;
    }
    FileTransferController transfer(&protocol, [](int, std::function<void()> fn) { fn(); });
    transfer.fileName = "ALAR";
    const size_t before = protocol.received;
    const size_t sentBefore = protocol.sent;
    const auto start = Clock::now();
    transfer.Start();
    int repeats = 0;
    while (transfer.outcome() == FileTransferController::Outcome::Running) {
        auto e = events.Next(30000);
        if (!e) break;
        if (e->command == kNoFrameCommand && e->Text().rfind("Asking to repeat", 0) == 0) ++repeats;
        transfer.OnEvent(*e);
    }
    const double actual = std::chrono::duration<double>(Clock::now() - start).count();
    const size_t bytes = protocol.received - before;
    const size_t stationBytes = protocol.sent - sentBefore;
    const double ideal = (bytes + stationBytes) * kBitsPerByte / kBaud;
    const bool ok = transfer.outcome() == FileTransferController::Outcome::Ok;
    std::printf(
        "%-8s block %4d  corruption %-6s  %-9s  unit bytes %6zu  station bytes %4zu  "
        "repeats %d  ideal %6.2f s  actual %6.2f s  ratio %.3f%s\n",
        throughConverter ? "rfc2217" : "local", blockSize, corruptRate, ok ? "complete" : "failed",
        bytes, stationBytes, repeats, ideal, actual, ideal / actual,
        ok ? "" : ("  (" + Failure(transfer) + ")").c_str());
    serial.Close();
    if (converter > 0) {
        kill(converter, SIGTERM);
        waitpid(converter, nullptr, 0);
    }
    fs::remove_all(dir);
}

std::vector<char> ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Downloads of the alarm file over a line that loses bytes at `lossRate`, unpaced, one
// simulator seed per run: how many complete, and whether any saved file differs from the
// unit's.
void LossyDownloads(const char* lossRate, int runs) {
    const fs::path dir = fs::temp_directory_path() / ("xlnk_loss_" + std::to_string(getpid()));
    int complete = 0, wrong = 0, repeats = 0, unmeasured = 0;
    std::string why;
    double seconds = 0;
    for (int run = 1; run <= runs; ++run) {
        fs::remove_all(dir);
        fs::create_directories(dir / "unit");
        SimulatorProcess sim;
        if (!sim.Start(VM418_SIM_PATH,
                       {"--drop-rate", lossRate, "--password", "pw", "--seed", std::to_string(run),
                        "--dump-dir", (dir / "unit").string()})) {
            ++unmeasured;
            why = std::string("the simulator ") + VM418_SIM_PATH + " did not start";
            continue;
        }
        XLNKProtocol protocol;
        Queue events;
        protocol.SetWindow(&events);
        protocol.SetWorkFolder(dir);
        CSerial serial;
        serial.SetCom(&protocol);
        if (!serial.Open(sim.path())) {
            ++unmeasured;
            why = "cannot open " + sim.path() + ": " + serial.OpenError();
            continue;
        }
        protocol.Dial("5551234", "pw");
        if (!Connected(events)) {
            ++unmeasured;
            why = "the modem did not connect";
            continue;
        }
        FileTransferController transfer(&protocol, [](int, std::function<void()> fn) { fn(); });
        transfer.fileName = "ALAR";
        transfer.saveAs = (dir / "alar").string();
        const auto start = Clock::now();
        transfer.Start();
        while (transfer.outcome() == FileTransferController::Outcome::Running) {
            auto e = events.Next(30000);
            if (!e) break;
            if (e->command == kNoFrameCommand && e->Text().rfind("Asking to repeat", 0) == 0)
                ++repeats;
            transfer.OnEvent(*e);
        }
        seconds += std::chrono::duration<double>(Clock::now() - start).count();
        if (transfer.outcome() == FileTransferController::Outcome::Ok) {
            ++complete;
            wrong += ReadAll(dir / "alar") != ReadAll(dir / "unit" / "ALAR");
        }
        serial.Close();
    }
    fs::remove_all(dir);
    if (unmeasured > 0)
        std::printf("lost bytes %-6s  %d of %d runs not measured: %s\n", lossRate, unmeasured, runs,
                    why.c_str());
    runs -= unmeasured;
    if (runs == 0) return;
    std::printf(
        "lost bytes %-6s  %2d/%d downloads complete (%3.0f%%)  wrong files %d  repeats %d  "
        "mean %.2f s\n",
        lossRate, complete, runs, 100.0 * complete / runs, wrong, repeats, seconds / runs);
}

// Whole calls over a line that loses bytes at `lossRate`: `vm418ctl call --download all`,
// which asks a failed download once more in the call. How many calls store every file.
void LossyCalls(const char* lossRate, int runs) {
    const fs::path dir = fs::temp_directory_path() / ("xlnk_calls_" + std::to_string(getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const std::string db = "DRIVER=SQLite3;Database=" + (dir / "calls.db").string();
    const auto ctl = [&](const std::string& args) {
        const std::string command = "cd " + dir.string() + " && " + VM418CTL_PATH + " --db \"" +
                                    db + "\" " + args + " > out.txt 2>&1";
        const int status = std::system(command.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    };
    if (ctl("init") != 0 || ctl("systems add --system 1 --modem 555 --password pw --port-settings "
                                "\"COM1 9600 0 0 8 3\"") != 0) {
        std::printf("calls over a lossy line not measured: the database could not be set up\n");
        return;
    }
    int complete = 0, repeated = 0;
    for (int run = 1; run <= runs; ++run) {
        complete +=
            ctl("call --system 1 --download all --simulate --sim-arg --drop-rate "
                "--sim-arg " +
                std::string(lossRate) + " --sim-arg --seed --sim-arg " + std::to_string(run)) == 0;
        std::ifstream out(dir / "out.txt");
        const std::string text{std::istreambuf_iterator<char>(out), {}};
        repeated += text.find("asked once more") != std::string::npos;
    }
    fs::remove_all(dir);
    std::printf(
        "lost bytes %-6s  %2d/%d calls stored every file (%3.0f%%)  %d asked a download "
        "once more\n",
        lossRate, complete, runs, 100.0 * complete / runs, repeated);
}

// Frames written to a pseudo-terminal one at a time; the time from the write of the last
// byte to the delivery of the frame's event.
void Latency() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        std::printf("frame latency not measured: no pseudo-terminal (%s)\n", std::strerror(errno));
        return;
    }
    XLNKProtocol protocol;
    Queue events;
    protocol.SetWindow(&events);
    CSerial serial;
    serial.SetCom(&protocol);
    if (!serial.Open(ptsname(master))) {
        std::printf("frame latency not measured: cannot open %s: %s\n", ptsname(master),
                    serial.OpenError().c_str());
        close(master);
        return;
    }
    std::string stopped;
    std::vector<double> us;
    const uint8_t answer[] = {0x10, 0x00, 0x00, 0xA1, 0x40, 0x10 ^ 0xA1 ^ 0x40};
    for (int i = 0; i < 1000; ++i) {
        protocol.ExpectCommand(0xC0A1, 5000);
        // 0xC0A1 expected: the unit's 0x40A1 answer matches it.
        const auto sent = Clock::now();
        if (write(master, answer, sizeof answer) != sizeof answer) {
            stopped = std::string("a write to the pseudo-terminal failed: ") + std::strerror(errno);
            break;
        }
        Clock::time_point at;
        if (!events.Next(1000, &at)) {
            stopped = "a frame brought no event within 1 s";
            break;
        }
        us.push_back(std::chrono::duration<double, std::micro>(at - sent).count());
        usleep(2000);
    }
    std::sort(us.begin(), us.end());
    if (!stopped.empty())
        std::printf("frame latency: stopped after %zu frames, %s\n", us.size(), stopped.c_str());
    if (!us.empty())
        std::printf("frame latency over %zu frames: median %.0f us, p99 %.0f us\n", us.size(),
                    us[us.size() / 2], us[us.size() * 99 / 100]);
    serial.Close();
    close(master);
}

}  // namespace

int main() {
    std::printf("XLNK download of the 15000-byte alarm file at %d bit/s\n", kBaud);
    for (int block : {256, 1024})
        for (const char* rate : {"0", "0.001"})
            Download(block, rate);
    // The same download through a converter's RFC 2217 port, beside the local one.
    Download(1024, "0", true);
    std::printf("XLNK download of the alarm file over a line that loses bytes (unpaced)\n");
    LossyDownloads("0.0001", 100);
    LossyDownloads("0.001", 10);
    std::printf("Calls downloading every file over a line that loses bytes (unpaced)\n");
    LossyCalls("0.0001", 100);
    Latency();
    return 0;
}
