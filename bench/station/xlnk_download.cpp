// Downloads the 15000-byte alarm file from vm418-sim paced at 9600 bit/s over a
// pseudo-terminal, and through ser2net's RFC 2217 port in front of it, and prints how close
// the transfer comes to the line's own speed; then
// measures how long a frame takes from its last byte on the line to its event.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
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

// Counts the bytes that came over the line.
class CountingProtocol : public XLNKProtocol {
  public:
    size_t received = 0;

  protected:
    void ProcessInput() override {
        received += static_cast<size_t>(rxEnd - rxBuffer);
        XLNKProtocol::ProcessInput();
    }
};

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
    sim.Start(VM418_SIM_PATH,
              {"--baud", std::to_string(kBaud), "--block-size", std::to_string(blockSize),
               "--corrupt-rate", corruptRate, "--password", "pw", "--seed", "7"});
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
        std::printf("cannot open %s: %s\n", port.c_str(), serial.OpenError().c_str());
        return;
    }
    protocol.Dial("5551234", "pw");
    for (auto e = events.Next(5000); e && e->status != XLNK_MODEM_CONNECTED;
         e = events.Next(5000)) {
    }
    FileTransferController transfer(&protocol, [](int, std::function<void()> fn) { fn(); });
    transfer.fileName = "ALAR";
    const size_t before = protocol.received;
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
    const double ideal = bytes * kBitsPerByte / kBaud;
    std::printf(
        "%-8s block %4d  corruption %-6s  %-9s  unit bytes %6zu  repeats %d  ideal %6.2f s  "
        "actual %6.2f s  ratio %.3f\n",
        throughConverter ? "rfc2217" : "local", blockSize, corruptRate,
        transfer.outcome() == FileTransferController::Outcome::Ok ? "complete" : "failed", bytes,
        repeats, ideal, actual, ideal / actual);
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
    int complete = 0, wrong = 0, repeats = 0;
    double seconds = 0;
    for (int run = 1; run <= runs; ++run) {
        fs::remove_all(dir);
        fs::create_directories(dir / "unit");
        SimulatorProcess sim;
        sim.Start(VM418_SIM_PATH, {"--drop-rate", lossRate, "--password", "pw", "--seed",
                                   std::to_string(run), "--dump-dir", (dir / "unit").string()});
        XLNKProtocol protocol;
        Queue events;
        protocol.SetWindow(&events);
        protocol.SetWorkFolder(dir);
        CSerial serial;
        serial.SetCom(&protocol);
        if (!serial.Open(sim.path())) continue;
        protocol.Dial("5551234", "pw");
        for (auto e = events.Next(5000); e && e->status != XLNK_MODEM_CONNECTED;
             e = events.Next(5000)) {
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
    std::printf(
        "lost bytes %-6s  %2d/%d downloads complete (%3.0f%%)  wrong files %d  repeats %d  "
        "mean %.2f s\n",
        lossRate, complete, runs, 100.0 * complete / runs, wrong, repeats, seconds / runs);
}

// Frames written to a pseudo-terminal one at a time; the time from the write of the last
// byte to the delivery of the frame's event.
void Latency() {
    const int master = posix_openpt(O_RDWR | O_NOCTTY);
    grantpt(master);
    unlockpt(master);
    XLNKProtocol protocol;
    Queue events;
    protocol.SetWindow(&events);
    CSerial serial;
    serial.SetCom(&protocol);
    if (!serial.Open(ptsname(master))) return;
    std::vector<double> us;
    const uint8_t answer[] = {0x10, 0x00, 0x00, 0xA1, 0x40, 0x10 ^ 0xA1 ^ 0x40};
    for (int i = 0; i < 1000; ++i) {
        protocol.ExpectCommand(0xC0A1, 5000);
        // 0xC0A1 expected: the unit's 0x40A1 answer matches it.
        const auto sent = Clock::now();
        if (write(master, answer, sizeof answer) != sizeof answer) break;
        Clock::time_point at;
        if (!events.Next(1000, &at)) break;
        us.push_back(std::chrono::duration<double, std::micro>(at - sent).count());
        usleep(2000);
    }
    std::sort(us.begin(), us.end());
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
    Latency();
    return 0;
}
