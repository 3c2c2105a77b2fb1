// vm418ctl link against the simulator it starts itself: the exit code tells whether a
// complete, checked file was saved.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace fs = std::filesystem;

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
