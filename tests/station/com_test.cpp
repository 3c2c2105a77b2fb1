#include <fcntl.h>
#include <sys/stat.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "com.h"
#include "pty.h"
#include "serial.h"

using namespace station;
using namespace station::test;
using namespace std::chrono_literals;

namespace {

// An engine that records what its hooks see.
class RecordingCom : public CCom {
  public:
    ~RecordingCom() override { CloseCom(); }
    std::vector<uint8_t> Received() {
        std::lock_guard lock(m);
        return received;
    }
    std::vector<std::pair<int, std::string>> Notes() {
        std::lock_guard lock(m);
        return notes;
    }
    std::atomic<int> idleTimeouts{0};
    std::atomic<int> portClosed{0};
    std::atomic<size_t> bytesWritten{0};

  protected:
    void ProcessInput() override {
        std::lock_guard lock(m);
        received.insert(received.end(), rxBuffer, rxEnd);
        rxEnd = rxBuffer;
    }
    int OnTimeout(int reason, const std::vector<uint8_t>*) override {
        if (reason == 0)
            ++idleTimeouts;
        return 1;
    }
    void OnDataWritten(size_t count, const std::vector<uint8_t>&) override {
        bytesWritten += count;
    }
    void OnPortClosed() override { ++portClosed; }
    void OnCommNotify(int code, const std::string& text) override {
        std::lock_guard lock(m);
        notes.emplace_back(code, text);
    }

  private:
    std::mutex m;
    std::vector<uint8_t> received;
    std::vector<std::pair<int, std::string>> notes;
};

template <typename Pred>
bool WaitUntil(Pred pred, std::chrono::milliseconds limit = 3000ms) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

class EngineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        serial.SetCom(&com);
        ASSERT_TRUE(serial.Open(pty.path())) << serial.OpenError();
    }
    Pty pty;
    RecordingCom com;
    CSerial serial;
};

}  // namespace

TEST(Engine, DiskFileIsRefusedAsNotACommHandle) {
    const auto path = std::filesystem::temp_directory_path() / "station_engine_disk_file";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_GE(fd, 0);
    RecordingCom com;
    EXPECT_FALSE(com.StartCom(fd));
    EXPECT_EQ(com.LastErrorCode(), NOT_COMM_HANDLE);
    EXPECT_EQ(com.LastErrorText(), "NOT_COMM_HANDLE");
    EXPECT_FALSE(com.IsStarted());
    EXPECT_FALSE(com.WriteCommString({1}));  // no write thread was started
    EXPECT_EQ(com.LastErrorText(), "THREAD_NOT_CREATED");
    close(fd);
    std::filesystem::remove(path);
}

TEST(Engine, CloseOnEngineNeverStartedSucceedsAndReportsPortClosed) {
    RecordingCom com;
    EXPECT_TRUE(com.CloseCom());
    EXPECT_EQ(com.portClosed, 1);
}

TEST_F(EngineTest, SecondStartFailsAndLeavesTheRunningThreadsAlone) {
    const int other = open(pty.path().c_str(), O_RDWR | O_NOCTTY);
    EXPECT_FALSE(com.StartCom(other));
    EXPECT_EQ(com.LastErrorCode(), COMM_ALREADY_OPEN);
    EXPECT_EQ(com.LastErrorText(), "COMM_ALREADY_OPEN");
    close(other);
    pty.Write({'h', 'i'});
    EXPECT_TRUE(WaitUntil([&] { return com.Received().size() == 2; }));
    EXPECT_TRUE(com.WriteCommString({'o', 'k'}));
    EXPECT_EQ(pty.Read(2), (std::vector<uint8_t>{'o', 'k'}));
}

TEST_F(EngineTest, WriteQueuedRightAfterStartIsDeliveredInOrder) {
    // The first writes race the write thread's start-up.
    RecordingCom fresh;
    Pty line;
    CSerial s;
    s.SetCom(&fresh);
    ASSERT_TRUE(s.Open(line.path()));
    std::vector<uint8_t> expected;
    for (uint8_t i = 0; i < 50; ++i) {
        ASSERT_TRUE(fresh.WriteCommString({i, static_cast<uint8_t>(i + 100)}));
        expected.push_back(i);
        expected.push_back(static_cast<uint8_t>(i + 100));
    }
    EXPECT_EQ(line.Read(expected.size()), expected);
    EXPECT_TRUE(WaitUntil([&] { return fresh.bytesWritten == expected.size(); }));
    EXPECT_TRUE(s.Close());
}

TEST_F(EngineTest, BytesReachTheHookAsTheyArrive) {
    pty.Write({0x10, 0x00});
    EXPECT_TRUE(WaitUntil([&] { return com.Received().size() == 2; }, 200ms));
    std::vector<uint8_t> big(5000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<uint8_t>(i);
    pty.Write(big);
    EXPECT_TRUE(WaitUntil([&] { return com.Received().size() == 5002; }));
    EXPECT_TRUE(std::equal(big.begin(), big.end(), com.Received().begin() + 2));
}

TEST_F(EngineTest, IdleTimeoutsComeOncePerSecondOfSilenceAndNotWithATrickle) {
    com.idleTimeouts = 0;
    std::this_thread::sleep_for(2500ms);
    EXPECT_GE(com.idleTimeouts, 2);
    EXPECT_LE(com.idleTimeouts, 3);
    com.idleTimeouts = 0;
    for (int i = 0; i < 8; ++i) {
        pty.Write({'.'});
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_EQ(com.idleTimeouts, 0);
}

TEST_F(EngineTest, FarSideGoneEndsTheReadThreadWithItsReport) {
    pty.CloseFar();
    ASSERT_TRUE(WaitUntil([&] { return !com.Notes().empty(); }));
    EXPECT_EQ(com.Notes()[0].first, RTHREAD_FATAL_TERMINATION);
    EXPECT_EQ(com.Notes()[0].second, "RTHREAD_FATAL_TERMINATION");
    EXPECT_EQ(com.LastErrorText(),
              "ERROR_INVALID_HANDLE in HandleReadEvent()\n"
              "Likely that the Service Provider has closed the port.");
    EXPECT_TRUE(com.IsStarted());  // started until CloseCom
    EXPECT_TRUE(serial.Close());
    EXPECT_FALSE(com.IsStarted());
}

TEST(Serial, DeviceWhoseLineSettingsFailIsClosedAgain) {
    RecordingCom com;
    CSerial serial;
    serial.SetCom(&com);
    EXPECT_FALSE(serial.Open("/dev/null"));  // a character device, but no serial line
    EXPECT_EQ(serial.Handle(), -1);
    EXPECT_NE(serial.OpenError().find("/dev/null: line settings refused"), std::string::npos);
    Pty pty;
    serial.dcb.BaudRate = 12345;
    EXPECT_FALSE(serial.Open(pty.path()));
    EXPECT_EQ(serial.Handle(), -1);
    serial.dcb.BaudRate = 9600;
    EXPECT_TRUE(serial.Open(pty.path()));
    EXPECT_TRUE(serial.Close());
}

TEST(Serial, MissingDeviceNamesDeviceAndReason) {
    CSerial serial;
    EXPECT_FALSE(serial.Open("/dev/no-such-station-port"));
    EXPECT_EQ(serial.OpenError(), "/dev/no-such-station-port: No such file or directory");
}

TEST(Serial, ComNamesResolveThroughEnvironmentOrTtyS) {
    setenv("VM418_COM7", "/dev/ttyUSB3", 1);
    EXPECT_EQ(ResolvePortName("COM7"), "/dev/ttyUSB3");
    unsetenv("VM418_COM7");
    EXPECT_EQ(ResolvePortName("COM7"), "/dev/ttyS6");
    EXPECT_EQ(ResolvePortName("/dev/pts/4"), "/dev/pts/4");

    // The user's port map, overridden by the environment.
    char dir[] = "/tmp/vm418-ports-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string config = std::string(dir) + "/vm418station";
    ASSERT_EQ(mkdir(config.c_str(), 0700), 0);
    {
        std::ofstream ini(config + "/ports.ini");
        ini << "[Other]\nCOM7=/dev/wrong\n[Ports]\ncom7 = /dev/ttyACM1\n";
    }
    setenv("XDG_CONFIG_HOME", dir, 1);
    EXPECT_EQ(ResolvePortName("COM7"), "/dev/ttyACM1");
    setenv("VM418_COM7", "/dev/ttyUSB3", 1);
    EXPECT_EQ(ResolvePortName("COM7"), "/dev/ttyUSB3");
    unsetenv("VM418_COM7");
    unsetenv("XDG_CONFIG_HOME");
    CSerial serial;
    serial.Open("COM123456");  // the name is cut to five characters
    EXPECT_EQ(serial.port, "COM12");
}

// The descriptions of the engine's error codes.
TEST(Engine, ErrorDescriptions) {
    const std::pair<int, std::string> cases[] = {
        {2003, "Unable to CreateEvent: CloseEvent"},
        {2009, "Unexpected error occured in WaitForMultipleObjects()"},
        {2012, "Not enough memory for buffer"},
        {258, "WAIT_TIMEOUT"},
        {995, "ERROR_OPERATION_ABORTED"},
        {4711, "Unknown error value 4711 "},
    };
    const std::string contexts[] = {"CloseEvent", "WaitForMultipleObjects()", "", "", "", ""};
    for (size_t i = 0; i < std::size(cases); ++i)
        EXPECT_EQ(CommErrorText(cases[i].first, contexts[i]), cases[i].second);
    EXPECT_EQ(Win32ErrorFromErrno(EIO), 6);
    EXPECT_EQ(Win32ErrorFromErrno(ETIMEDOUT), 258);
    EXPECT_EQ(Win32ErrorFromErrno(ECANCELED), 995);
}
