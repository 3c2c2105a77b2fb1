// vm418ctl link against the simulator it starts itself: the exit code tells whether a
// complete, checked file was saved.
#include <gtest/gtest.h>
#include <unistd.h>

#include <array>
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

TEST_F(Vm418ctlTest, FetchSavesTheFileAndExitsZero) {
    const CtlRun r = Vm418ctl("fetch " + Sim() + " HIST --save-as hist.bin");
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("Connected\n"), std::string::npos);
    EXPECT_NE(r.output.find("Saved hist.bin"), std::string::npos);
    EXPECT_EQ(ReadFile(dir / "hist.bin"), ReadFile(dir / "unit" / "HIST"));
}

TEST_F(Vm418ctlTest, FetchWithoutSaveAsLeavesReceivedTmp) {
    const CtlRun r = Vm418ctl("fetch " + Sim() + " PARA");
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

TEST_F(Vm418ctlTest, UnopenablePortIsNamed) {
    const CtlRun r = Vm418ctl("fetch --port /dev/no-such-port --phone 1 --password pw PARA");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.output.find("Can't open COM port\n/dev/no-such-port: No such file or directory"),
              std::string::npos)
        << r.output;
}
