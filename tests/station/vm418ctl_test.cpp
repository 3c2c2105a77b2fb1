// vm418ctl link against the simulator it starts itself: the exit code tells whether a
// complete, checked file was saved. Then through an Ethernet-to-serial converter: ser2net on
// 127.0.0.1 bridges a raw TCP port and a Telnet port with the COM-PORT-OPTION to the
// pseudo-terminal that vm418-sim serves.
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
#include <regex>
#include <thread>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

struct CtlRun {
    int exitCode;
    std::string output;
};

CtlRun Ctl(const std::string& args) {
    const std::string cmd = std::string(VM418CTL_PATH) + " " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    std::array<char, 512> buf;
    while (p && std::fgets(buf.data(), buf.size(), p))
        out += buf.data();
    const int status = p ? pclose(p) : -1;
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, out};
}

CtlRun Vm418ctl(const std::string& args) {
    return Ctl("link " + args);
}

std::vector<char> ReadFile(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class Vm418ctlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("vm418ctl_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir / "unit");
        fs::current_path(dir);
    }
    void TearDown() override {
        fs::current_path(fs::temp_directory_path());
        fs::remove_all(dir);
    }
    std::string Sim(const std::string& extra = "") {
        return "--simulate --phone 5551234 --password pw --sim-arg --dump-dir --sim-arg " +
               (dir / "unit").string() + " " + extra;
    }
    fs::path dir;
};

std::string ReadAll(const fs::path& p) {
    const auto bytes = ReadFile(p);
    return {bytes.begin(), bytes.end()};
}

// With port 0: a port on 127.0.0.1 that nothing listens on (bound, then given back); else
// whether something listens on `port` (1 or 0).
int Loopback(int port) {
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    const int r = port != 0 ? connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0
                  : bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                          getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0
                      ? ntohs(a.sin_port)
                      : 0;
    close(s);
    return r;
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
class ConverterTest : public Vm418ctlTest {
  protected:
    void TearDown() override {
        Stop(bridge);
        Stop(ser2net);
        Stop(sim);
        Vm418ctlTest::TearDown();
    }
    void Start(const std::vector<std::string>& simArgs = {}) {
        std::vector<std::string> argv = {VM418_SIM_PATH, "--password", "pw",
                                         "--verbose",    "--dump-dir", (dir / "unit").string()};
        argv.insert(argv.end(), simArgs.begin(), simArgs.end());
        sim = Spawn(argv, dir / "sim.out", dir / "sim.err");
        for (int i = 0; i < 200 && pty.empty(); ++i) {
            std::this_thread::sleep_for(10ms);
            const std::string out = ReadAll(dir / "sim.out");
            if (out.find('\n') != std::string::npos) pty = out.substr(0, out.find('\n'));
        }
        ASSERT_FALSE(pty.empty()) << "vm418-sim gave no pseudo-terminal";
        rawPort = Loopback(0);
        telnetPort = Loopback(0);
        std::ofstream(dir / "ser2net.yaml")
            << "connection: &raw\n  accepter: tcp,127.0.0.1," << rawPort
            << "\n  connector: serialdev," << pty << ",9600n81,local\n"
            << "connection: &telnet\n  accepter: telnet(rfc2217),tcp,127.0.0.1," << telnetPort
            << "\n  connector: serialdev," << pty << ",9600n81,local\n";
        ser2net = Spawn({"ser2net", "-n", "-u", "-P", (dir / "ser2net.pid").string(), "-c",
                         (dir / "ser2net.yaml").string()},
                        dir / "ser2net.out", dir / "ser2net.err");
        for (int i = 0; i < 300 && !(Loopback(rawPort) && Loopback(telnetPort)); ++i)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(Loopback(rawPort) && Loopback(telnetPort))
            << "ser2net did not start: " << ReadAll(dir / "ser2net.err");
    }
    std::string Raw() const { return "tcp://127.0.0.1:" + std::to_string(rawPort); }
    std::string Telnet() const { return "rfc2217://127.0.0.1:" + std::to_string(telnetPort); }
    static std::string Call(const std::string& port) {
        return "--port " + port + " --phone 5551234 --password pw ";
    }

    pid_t sim = -1, ser2net = -1, bridge = -1;
    int rawPort = 0, telnetPort = 0;
    std::string pty;
};

}  // namespace

// Into a pipe the download shows plain progress lines ending with its last figures before
// "Saved", no frame of the transfer and no carriage return; --verbose shows every frame
// instead.
TEST_F(Vm418ctlTest, FetchSavesTheFileAndExitsZero) {
    const CtlRun r = Vm418ctl("fetch " + Sim() + " HIST --save-as hist.bin");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Connected\n"), std::string::npos);
    const size_t last = r.output.find("\nHIST  block 3/3  2800 of 3072 bytes");
    EXPECT_NE(last, std::string::npos) << r.output;
    EXPECT_LT(last, r.output.find("\nSaved hist.bin\n")) << r.output;
    EXPECT_EQ(r.output.find("0xC00B"), std::string::npos) << r.output;
    EXPECT_EQ(r.output.find('\r'), std::string::npos) << r.output;
    EXPECT_EQ(ReadFile(dir / "hist.bin"), ReadFile(dir / "unit" / "HIST"));

    const CtlRun verbose = Vm418ctl("fetch " + Sim() + " HIST --save-as hist.bin --verbose");
    EXPECT_EQ(verbose.exitCode, 0) << verbose.output;
    EXPECT_NE(verbose.output.find("0xC00B 1034 bytes\n0xC00B 1034 bytes\n0xC00B 1034 bytes\n"),
              std::string::npos)
        << verbose.output;
    EXPECT_EQ(verbose.output.find("HIST  block"), std::string::npos) << verbose.output;
}

// A rate without a Bxxx constant, on a line whose settings text names another port: the
// simulator's line is the one used.
TEST_F(Vm418ctlTest, FetchWithoutSaveAsLeavesReceivedTmp) {
    const CtlRun r = Vm418ctl("fetch " + Sim() + " --line 'COM9 14400 0 0 8 3' PARA");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_EQ(ReadFile(dir / "received.tmp"), ReadFile(dir / "unit" / "PARA"));
}

TEST_F(Vm418ctlTest, InterruptedFetchExitsNonZeroAndSavesNothing) {
    const CtlRun r =
        Vm418ctl("fetch " + Sim("--sim-arg --bad-crc --sim-arg 5") + " ALAR --save-as alar.bin");
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("XLNK_ERR_FILE_TRANSFER_INTERRUPTED"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "alar.bin"));
}

TEST_F(Vm418ctlTest, BusyLineIsReported) {
    const CtlRun r = Vm418ctl("fetch " + Sim("--sim-arg --dial-result --sim-arg busy") + " PARA");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Disconnected BUSY\n"), std::string::npos) << r.output;
}

TEST_F(Vm418ctlTest, SendServesTheUnitsRequestFromTheOutbox) {
    fs::create_directories(dir / "outbox");
    std::ofstream(dir / "outbox" / "cfg.bin") << std::string(1500, 'c');
    const CtlRun r =
        Vm418ctl("send " + Sim("--sim-arg --request-file --sim-arg cfg.bin --sim-arg --upload-save "
                               "--sim-arg " +
                               (dir / "up.bin").string()));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    for (int i = 0; i < 100 && !fs::exists(dir / "up.bin"); ++i)
        usleep(10000);
    EXPECT_EQ(ReadFile(dir / "up.bin"), ReadFile(dir / "outbox" / "cfg.bin"));
}

TEST_F(Vm418ctlTest, MissingArgumentsPrintUsage) {
    const CtlRun r = Vm418ctl("fetch --phone 1");
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.output.find("usage: vm418ctl link fetch"), std::string::npos);
}

// Ports that cannot be opened are named as the device they stand for, the name given with
// --port or in the settings text of --line whole; a line setting no Linux line can run is
// refused by name.
TEST_F(Vm418ctlTest, UnopenablePortIsNamed) {
    const std::pair<std::string, std::string> cases[] = {
        {"--port /dev/no-such-port", "/dev/no-such-port: No such file or directory"},
        {"--port ttyNoSuchPort", "/dev/ttyNoSuchPort: No such file or directory"},
        {"--port COM12345", "/dev/ttyS12344: No such file or directory"},
        {"--line 'COM99 9600 0 0 8 3'", "/dev/ttyS98: No such file or directory"},
        {"--line 'COM12345 9600 0 0 8 3'", "/dev/ttyS12344: No such file or directory"},
        {"--simulate --line 'COM1 9600 0 0 4 3'", ": 4 data bits are not possible on this line"},
    };
    for (const auto& [port, error] : cases) {
        const CtlRun r = Vm418ctl("fetch " + port + " --phone 1 --password pw PARA");
        EXPECT_EQ(r.exitCode, 1) << port;
        EXPECT_NE(r.output.find(error + "\n"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("Can't open COM port\n"), std::string::npos) << r.output;
    }
}

// Settings texts that are malformed or hold a value outside its list are refused before
// anything is opened, with the reason and exit code 2.
TEST_F(Vm418ctlTest, BadLineTextIsRefusedWithTheReason) {
    const std::pair<const char*, const char*> cases[] = {
        {"COM1 9600 0 0 8",
         "expected six fields (port baud parity stop-bits data-bits flow), found 5"},
        {"COM1 fast 0 0 8 3", "baud rate \"fast\" is not a whole number"},
        {"COM1 9601 0 0 8 3", "baud rate 9601 is not one of 110 300 600"},
        {"COM1 9600 5 0 8 3", "parity 5 is not in 0-4"},
        {"COM1 9600 0 3 8 3", "stop bits 3 is not in 0-2"},
        {"COM1 9600 0 0 9 3", "data bits 9 is not in 4-8"},
        {"COM1 9600 0 0 8 -1", "flow control -1 is not in 0-3"},
    };
    for (const auto& [line, reason] : cases) {
        const CtlRun r = Vm418ctl(std::string("fetch --port /dev/null --line '") + line +
                                  "' --phone 1 --password pw PARA");
        EXPECT_EQ(r.exitCode, 2) << line;
        EXPECT_NE(
            r.output.find(std::string("vm418ctl link fetch: --line \"") + line + "\": " + reason),
            std::string::npos)
            << r.output;
    }
}

// The unit's line is cut in the middle of a download: the fetch ends within seconds with
// the reason and leaves no partial file behind. A send whose unit goes in the middle of
// the file ends as soon.
TEST_F(Vm418ctlTest, FetchAndSendEndSoonWithTheReasonWhenTheLineIsCut) {
    const auto start = std::chrono::steady_clock::now();
    const CtlRun r = Vm418ctl("fetch " +
                              Sim("--sim-arg --block-size --sim-arg 256 --sim-arg "
                                  "--vanish-after-block --sim-arg 4") +
                              " ALAR --save-as alar.bin");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(r.exitCode, 1) << r.output;
    EXPECT_NE(r.output.find("Disconnected  port lost\n"), std::string::npos) << r.output;
    EXPECT_FALSE(fs::exists(dir / "alar.bin"));
    EXPECT_FALSE(fs::exists(dir / "received.tmp"));

    fs::create_directories(dir / "outbox");
    std::ofstream(dir / "outbox" / "cfg.bin") << std::string(5000, 'c');
    const auto sendStart = std::chrono::steady_clock::now();
    const CtlRun s = Vm418ctl(
        "send " + Sim("--sim-arg --request-file --sim-arg cfg.bin --sim-arg --vanish-after-block "
                      "--sim-arg 1"));
    EXPECT_LT(std::chrono::steady_clock::now() - sendStart, std::chrono::seconds(20));
    EXPECT_EQ(s.exitCode, 1) << s.output;
    EXPECT_NE(s.output.find("Disconnected  port lost\n"), std::string::npos) << s.output;
}

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
    std::chrono::steady_clock::time_point killed;
    std::thread cut([this, &killed] {
        // The stall after the first block holds the transfer; the converter stops then (a
        // loaded machine may take long to get there).
        for (int i = 0; i < 6000; ++i) {
            if (ReadAll(dir / "sim.err").find("0x400B") != std::string::npos) break;
            std::this_thread::sleep_for(10ms);
        }
        std::this_thread::sleep_for(300ms);
        killed = std::chrono::steady_clock::now();
        kill(ser2net, SIGKILL);
    });
    const CtlRun lost = Vm418ctl("fetch " + Call(Telnet()) + "ALAR --save-as alar.bin");
    cut.join();
    const auto started = killed;
    EXPECT_EQ(lost.exitCode, 1) << lost.output;
    EXPECT_NE(lost.output.find("Disconnected  port lost"), std::string::npos) << lost.output;
    EXPECT_NE(lost.output.find("the converter closed the connection"), std::string::npos)
        << lost.output;
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s) << "not ended at once after the cut";
    EXPECT_FALSE(fs::exists(dir / "alar.bin"));
    EXPECT_FALSE(fs::exists(dir / "received.tmp"));

    const std::string nobody = "tcp://127.0.0.1:" + std::to_string(Loopback(0));
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
}

// A whole call and an autocall round through each kind of converter port, and through a
// local pseudo-terminal that socat forwards over TCP (which outlives the station's close),
// store exactly what they store over the unit's own line. The autocall is the second call
// on the port: the modem was hung up by its escape sequence, as no DTR drop reaches it
// (ser2net cannot set DTR on a pseudo-terminal and says nothing).
TEST_F(ConverterTest, WholeCallsThroughConvertersStoreWhatTheUnitsOwnLineStores) {
    Start();
    std::string want;
    int stores = 0;
    const std::string bridged = (dir / "bridge").string();
    for (const std::string& port : {pty, Raw(), Telnet(), bridged}) {
        if (port == bridged) {
            bridge = Spawn({"socat", "pty,link=" + bridged + ",rawer,ignoreeof",
                            "tcp:127.0.0.1:" + std::to_string(rawPort)},
                           dir / "socat.out", dir / "socat.err");
            for (int i = 0; i < 300 && !fs::exists(bridged); ++i)
                std::this_thread::sleep_for(10ms);
        }
        const std::string db = "--db 'DRIVER=SQLite3;Database=" + dir.string() + "/" +
                               std::to_string(++stores) + ".db' ";
        const std::string add = db + "systems add --name Gate --modem 5551234 --password pw " +
                                "--port-settings '" + port + " 9600 0 0 8 3' --system ";
        ASSERT_EQ(Ctl(db + "db init").exitCode + Ctl(add + "1").exitCode +
                      Ctl(add + "2 --autocall-period 30").exitCode,
                  0);
        const CtlRun call = Ctl(db + "call --system 1 --download all --monitor 1");
        EXPECT_EQ(call.exitCode, 0) << port << "\n" << call.output;
        const CtlRun round = Ctl(db + "autocall --once");
        EXPECT_EQ(round.exitCode, 0) << port << "\n" << round.output;
        EXPECT_NE(round.output.find("system 2 Gate: collected"), std::string::npos) << round.output;
        std::string stored;
        for (const char* id : {"1", "2"}) {
            for (const char* list : {"alarms list", "history list"})
                stored += Ctl(db + list + " --json --system " + id).output;
            const std::string params = Ctl(db + "params show --system " + id).output;
            stored += params.substr(params.find('\n'));  // after the time it was stored
        }
        if (want.empty()) want = stored;
        EXPECT_TRUE(stored == want) << port << " stored other rows than the local line";
    }
    // Two calls on each of the four lines, each hung up by the escape sequence and ATH0.
    const std::string log = ReadAll(dir / "sim.err");
    const std::regex hungUp("modem: escape, command mode\nmodem: ATH0\n");
    EXPECT_EQ(std::distance(std::sregex_iterator(log.begin(), log.end(), hungUp), {}), 8) << log;
}
