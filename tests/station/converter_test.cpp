// The station link through an Ethernet-to-serial converter: ser2net on 127.0.0.1 bridges a
// raw TCP port and a Telnet port with the COM-PORT-OPTION to the pseudo-terminal that
// vm418-sim serves, and vm418ctl calls the unit through each.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct CtlRun {
    int exitCode;
    std::string output;
};

CtlRun Vm418ctl(const std::string& args) {
    const std::string cmd = std::string(VM418CTL_PATH) + " link " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    std::array<char, 512> buf;
    while (p && std::fgets(buf.data(), buf.size(), p))
        out += buf.data();
    const int status = p ? pclose(p) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

std::string ReadAll(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// A port on 127.0.0.1 that nothing listens on (bound, then given back).
int FreePort() {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    close(s);
    return ntohs(a.sin_port);
}

bool Listening(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(s);
    return ok;
}

pid_t Spawn(const std::vector<std::string>& argv, const fs::path& out, const fs::path& err) {
    const pid_t pid = fork();
    if (pid == 0) {
        std::freopen(out.c_str(), "w", stdout);
        std::freopen(err.c_str(), "w", stderr);
        std::vector<char*> args;
        for (const auto& a : argv)
            args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

void Stop(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    pid = -1;
}

// vm418-sim on its pseudo-terminal and ser2net in front of it, raw and Telnet.
class ConverterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("converter_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir / "unit");
        fs::current_path(dir);
    }
    void TearDown() override {
        Stop(ser2net);
        Stop(sim);
        fs::current_path(fs::temp_directory_path());
        fs::remove_all(dir);
    }
    void Start(const std::vector<std::string>& simArgs = {}) {
        std::vector<std::string> argv = {VM418_SIM_PATH, "--password", "pw",
                                         "--verbose",    "--dump-dir", (dir / "unit").string()};
        argv.insert(argv.end(), simArgs.begin(), simArgs.end());
        sim = Spawn(argv, dir / "sim.out", dir / "sim.err");
        std::string pty;
        for (int i = 0; i < 200 && pty.empty(); ++i) {
            std::this_thread::sleep_for(10ms);
            const std::string out = ReadAll(dir / "sim.out");
            if (out.find('\n') != std::string::npos) pty = out.substr(0, out.find('\n'));
        }
        ASSERT_FALSE(pty.empty()) << "vm418-sim gave no pseudo-terminal";
        rawPort = FreePort();
        telnetPort = FreePort();
        std::ofstream(dir / "ser2net.yaml")
            << "connection: &raw\n  accepter: tcp,127.0.0.1," << rawPort
            << "\n  connector: serialdev," << pty << ",9600n81,local\n"
            << "connection: &telnet\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnetPort
            << "\n  connector: serialdev," << pty << ",9600n81,local\n";
        ser2net = Spawn({"ser2net", "-n", "-u", "-P", (dir / "ser2net.pid").string(), "-c",
                         (dir / "ser2net.yaml").string()},
                        dir / "ser2net.out", dir / "ser2net.err");
        for (int i = 0; i < 300 && !(Listening(rawPort) && Listening(telnetPort)); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(Listening(rawPort) && Listening(telnetPort))
            << "ser2net did not start: " << ReadAll(dir / "ser2net.err");
    }
    std::string Raw() const { return "tcp://127.0.0.1:" + std::to_string(rawPort); }
    std::string Telnet() const { return "rfc2217://127.0.0.1:" + std::to_string(telnetPort); }
    static std::string Call(const std::string& port) {
        return "--port " + port + " --phone 5551234 --password pw ";
    }

    fs::path dir;
    pid_t sim = -1, ser2net = -1;
    int rawPort = 0, telnetPort = 0;
};

}  // namespace

// Every file of the unit arrives byte for byte through both kinds of converter port, 0xFF
// bytes included (the Telnet port doubles them on the wire); the speed the station asks
// for reaches the unit's line through the COM-PORT-OPTION.
TEST_F(ConverterTest, FetchesEveryFileIntactThroughRawAndRfc2217Ports) {
    Start();
    size_t ffBytes = 0;
    for (const char* code : {"PARA", "ALAR", "HIST", "ACRR", "APRV", "ANXT"}) {
        for (const std::string& port : {Raw(), Telnet()}) {
            const CtlRun r = Vm418ctl("fetch " + Call(port) + code + " --save-as got.bin");
            ASSERT_EQ(r.exitCode, 0) << port << " " << code << "\n" << r.output;
            const std::string want = ReadAll(dir / "unit" / code);
            EXPECT_EQ(ReadAll(dir / "got.bin"), want) << port << " " << code;
            EXPECT_EQ(r.output.find("Warning"), std::string::npos) << r.output;
            ffBytes += static_cast<size_t>(std::count(want.begin(), want.end(), '\xFF'));
        }
    }
    EXPECT_GT(ffBytes, 0u) << "the unit's files hold no 0xFF byte to prove the escaping with";

    // A port that speaks no Telnet is used raw after one warning: 0xFF bytes pass as they are.
    const CtlRun raw = Vm418ctl("fetch --port rfc2217://127.0.0.1:" + std::to_string(rawPort) +
                                " --phone 5551234 --password pw HIST --save-as got.bin");
    ASSERT_EQ(raw.exitCode, 0) << raw.output;
    EXPECT_EQ(ReadAll(dir / "got.bin"), ReadAll(dir / "unit" / "HIST"));
    const size_t warning = raw.output.find(
        "Warning: The converter did not answer the COM-PORT-OPTION: the line runs with the "
        "converter's own settings\n");
    EXPECT_NE(warning, std::string::npos) << raw.output;
    EXPECT_EQ(raw.output.find("Warning", warning + 1), std::string::npos) << raw.output;

    const CtlRun r = Vm418ctl("fetch --line '" + Telnet() +
                              " 19200 0 0 8 3' --phone 5551234 --password pw PARA");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(ReadAll(dir / "sim.err").find("line: 19200 bit/s"), std::string::npos)
        << ReadAll(dir / "sim.err");
}

// The converter going away in the middle of a file ends the call as a lost port, with the
// reason, and keeps no part of the file; a converter that is not there, and an address that
// is not one, are refused at opening with "Can't open COM port" and the reason.
TEST_F(ConverterTest, LostConverterEndsTheTransferAndBadAddressesAreNamed) {
    Start({"--stall-after-block", "1", "--stall-ms", "4000"});
    std::thread cut([this] {
        // The stall after the first block holds the transfer; the converter stops then.
        for (int i = 0; i < 500; ++i) {
            if (ReadAll(dir / "sim.err").find("0x400B") != std::string::npos) break;
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(300ms);
        kill(ser2net, SIGKILL);
    });
    const auto started = std::chrono::steady_clock::now();
    const CtlRun lost = Vm418ctl("fetch " + Call(Telnet()) + "ALAR --save-as alar.bin");
    cut.join();
    EXPECT_EQ(lost.exitCode, 1) << lost.output;
    EXPECT_NE(lost.output.find("Disconnected  port lost"), std::string::npos) << lost.output;
    EXPECT_NE(lost.output.find("the converter closed the connection"), std::string::npos)
        << lost.output;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s) << "not ended at once";
    EXPECT_FALSE(fs::exists(dir / "alar.bin"));
    EXPECT_FALSE(fs::exists(dir / "received.tmp"));

    const std::string nobody = "tcp://127.0.0.1:" + std::to_string(FreePort());
    const CtlRun refused = Vm418ctl("fetch " + Call(nobody) + "PARA");
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.output.find("Can't open COM port\n" + nobody + ": Connection refused"),
              std::string::npos)
        << refused.output;

    const CtlRun bad = Vm418ctl("fetch " + Call("rfc2217://127.0.0.1") + "PARA");
    EXPECT_EQ(bad.exitCode, 1);
    EXPECT_NE(bad.output.find("\"rfc2217://127.0.0.1\" is not a converter address (no port "
                              "number; expected rfc2217://HOST:PORT)"),
              std::string::npos)
        << bad.output;

    const CtlRun unknown = Vm418ctl("fetch " + Call("tcp://no-such-host.invalid:4001") + "PARA");
    EXPECT_EQ(unknown.exitCode, 1);
    EXPECT_NE(unknown.output.find("Can't open COM port\ntcp://no-such-host.invalid:4001: "),
              std::string::npos)
        << unknown.output;
}
