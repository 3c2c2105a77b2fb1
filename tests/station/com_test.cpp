#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "com.h"
#include "line_speed.h"
#include "port_settings_text.h"
#include "pty.h"
#include "serial.h"

using namespace station;
using namespace station::test;
using namespace std::chrono_literals;

namespace {

// An engine that records what its hooks see.
class RecordingCom : public CCom {
  public:
    ~RecordingCom() override { EndThreads(); }
    std::vector<uint8_t> Received() {
        std::lock_guard lock(m);
        return received;
    }
    std::vector<std::pair<int, std::string>> Notes() {
        std::lock_guard lock(m);
        return notes;
    }
    std::atomic<int> idleTimeouts{0};
    std::atomic<int> busyChecks{0};
    std::atomic<int> portClosed{0};
    std::atomic<size_t> bytesWritten{0};
    std::atomic<bool> holdWrites{false};  // the write thread stays in its hook while set
    std::atomic<bool> writeHeld{false};

  protected:
    void ProcessInput() override {
        std::lock_guard lock(m);
        received.insert(received.end(), rxBuffer, rxEnd);
        rxEnd = rxBuffer;
    }
    int OnTimeout(int reason, const std::vector<uint8_t>*) override {
        if (reason == kTimeoutSilence)
            ++idleTimeouts;
        if (reason == kTimeoutWhileReceiving)
            ++busyChecks;
        return 1;
    }
    void OnDataWritten(size_t count, const std::vector<uint8_t>&) override {
        writeHeld = holdWrites.load();
        while (holdWrites)
            std::this_thread::sleep_for(5ms);
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
        if (std::chrono::steady_clock::now() > end) return false;
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

// The outstanding commands are looked at once a second: as silence when no byte came,
// and also while a trickle of bytes keeps the line busy.
TEST_F(EngineTest, ChecksComeOncePerSecondOfSilenceAndAlsoWithATrickle) {
    com.idleTimeouts = 0;
    std::this_thread::sleep_for(2500ms);
    EXPECT_GE(com.idleTimeouts, 2);
    EXPECT_LE(com.idleTimeouts, 3);
    EXPECT_EQ(com.busyChecks, 0);
    com.idleTimeouts = 0;
    for (int i = 0; i < 8; ++i) {
        pty.Write({'.'});
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_EQ(com.idleTimeouts, 0);
    EXPECT_GE(com.busyChecks, 2);
}

TEST_F(EngineTest, FarSideGoneEndsTheReadThreadWithItsReport) {
    pty.CloseFar();
    ASSERT_TRUE(WaitUntil([&] { return !com.Notes().empty(); }));
    EXPECT_EQ(com.Notes()[0].first, RTHREAD_FATAL_TERMINATION);
    EXPECT_EQ(com.Notes()[0].second, "RTHREAD_FATAL_TERMINATION");
    EXPECT_EQ(com.LastErrorText(),
              "ERROR_INVALID_HANDLE in HandleReadEvent()\n"
              "Likely that the Service Provider has closed the port.");
    // The write side ends with it: nothing more can be queued.
    EXPECT_TRUE(WaitUntil([&] { return !com.IsRunning(); }));
    EXPECT_FALSE(com.WriteCommString({1}));
    EXPECT_TRUE(com.IsStarted());  // started until CloseCom
    EXPECT_TRUE(serial.Close());
    EXPECT_FALSE(com.IsStarted());
}

// A thread that does not end (the write thread kept in its hook) gets the close's bound and
// no more: the close fails and says so, and the port opens again once the thread has ended.
TEST_F(EngineTest, CloseGivesAThreadThatDoesNotEndItsBoundThenFails) {
    com.SetThreadEndWait(300ms);
    com.holdWrites = true;
    ASSERT_TRUE(com.WriteCommString({1}));
    ASSERT_TRUE(WaitUntil([&] { return com.writeHeld.load(); }));
    EXPECT_FALSE(serial.Close());
    EXPECT_EQ(com.LastErrorText(), "Write thread not exiting: the port was closed without it");
    EXPECT_FALSE(serial.Open(pty.path()));
    com.holdWrites = false;
    EXPECT_TRUE(WaitUntil([&] { return serial.Open(pty.path()); }));
}

TEST(Serial, DeviceWhoseLineSettingsFailIsClosedAgain) {
    RecordingCom com;
    CSerial serial;
    serial.SetCom(&com);
    EXPECT_FALSE(serial.Open("/dev/null"));  // a character device, but no serial line
    EXPECT_EQ(serial.Handle(), -1);
    EXPECT_NE(serial.OpenError().find("/dev/null: line settings refused"), std::string::npos);
    EXPECT_FALSE(com.IsStarted());
    Pty pty;
    EXPECT_TRUE(serial.Open(pty.path()));
    EXPECT_TRUE(serial.Close());
}

// Every rate of the settings dialog's list opens and is the rate the driver reports; those
// without a Bxxx constant (14400, 28800, 56000, 128000, 256000) too, as does a rate outside
// the list that the device takes. The same device opens again each time: Close released it,
// and what the far side sent while it was closed (the end of an earlier call) is not read.
TEST(Serial, EveryListedRateOpensAndIsTheLineRate) {
    Pty pty;
    const uint32_t rates[] = {110,   300,   600,   1200,  2400,   4800,   9600,   14400, 19200,
                              28800, 38400, 56000, 57600, 115200, 128000, 256000, 12345};
    for (const uint32_t rate : rates) {
        CSerial serial;
        serial.dcb.BaudRate = rate;
        ASSERT_TRUE(serial.Open(pty.path())) << serial.OpenError();
        EXPECT_EQ(GetLineSpeed(serial.Handle()), rate);
        pollfd stale{serial.Handle(), POLLIN, 0};
        EXPECT_EQ(poll(&stale, 1, 20), 0) << "bytes of before the opening were read";
        serial.Close();
        pty.Write({0xAA, 0x55, 0xC0, 0x0B});
    }
}

// The framing and flow settings a Linux line can run are applied; those it cannot are
// refused before the device is opened, naming the setting, rather than replaced by another.
// One device serves every case in turn, so nothing an earlier case set may stay behind.
TEST(Serial, LineSettingsAreAppliedOrRefusedByName) {
    const struct {
        const char* text;  // a system's settings text
        void (*change)(LineSettings&);
        const char* refusal;  // "" when the line opens
        tcflag_t cflagSet;
        tcflag_t iflagSet;
    } cases[] = {
        {"COM1 9600 2 2 7 3", nullptr, "", CSTOPB, INPCK},
        {"COM1 9600 1 0 8 0", nullptr, "", PARODD | CRTSCTS, INPCK},
        {"COM1 9600 4 0 5 2", nullptr, "", CMSPAR, INPCK | IXON | IXOFF},
        {"COM1 9600 3 0 6 3", nullptr, "", PARODD | CMSPAR, INPCK},
        // DTR and RTS off by hand: a pseudo-terminal has no modem lines, which is no error.
        {"COM1 9600 0 0 8 3", [](LineSettings& l) { l.fDtrControl = l.fRtsControl = 0; }, "", 0, 0},
        {"COM1 9600 0 0 4 3", nullptr, "4 data bits are not possible on this line", 0, 0},
        {"COM1 9600 0 1 8 3", nullptr, "1.5 stop bits are not possible on this line", 0, 0},
        {"COM1 9600 0 0 8 1", nullptr, "DTR/DSR flow control is not possible on this line", 0, 0},
        {"COM1 9600 0 0 8 3", [](LineSettings& l) { l.fDsrSensitivity = true; },
         "DSR sensitivity is not possible on this line", 0, 0},
        {"COM1 9600 0 0 8 3", [](LineSettings& l) { l.fRtsControl = 3; },
         "RTS toggle is not possible on this line", 0, 0},
    };
    Pty pty;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        RecordingCom com;
        CSerial serial;
        serial.SetCom(&com);
        serial.dcb = ParsePortSettingsText(c.text).line;
        if (c.change) c.change(serial.dcb);
        const bool opened = serial.Open(pty.path());
        if (*c.refusal != '\0') {
            EXPECT_FALSE(opened);
            EXPECT_EQ(serial.OpenError(), pty.path() + ": " + c.refusal);
            EXPECT_EQ(serial.Handle(), -1);
            EXPECT_FALSE(com.IsStarted());
            continue;
        }
        ASSERT_TRUE(opened) << serial.OpenError();
        termios tio{};
        ASSERT_EQ(tcgetattr(serial.Handle(), &tio), 0);
        // A pseudo-terminal always keeps 8 data bits and no parity bit; it stores the rest.
        const tcflag_t framing = PARODD | CMSPAR | CSTOPB | CRTSCTS;
        EXPECT_EQ(tio.c_cflag & framing, c.cflagSet);
        EXPECT_EQ(tio.c_iflag & (INPCK | IXON | IXOFF), c.iflagSet);
        EXPECT_TRUE(serial.Close());
    }
}

// An engine already serving another port does not start on a second one: that Open fails,
// its device is closed again, a later Open does not report success without an engine, and
// the running connection goes on.
TEST(Serial, EngineThatDoesNotStartLeavesThePortClosed) {
    RecordingCom com;
    Pty first, second;
    CSerial running, refused;
    running.SetCom(&com);
    refused.SetCom(&com);
    ASSERT_TRUE(running.Open(first.path())) << running.OpenError();
    for (int attempt = 0; attempt < 2; ++attempt) {
        EXPECT_FALSE(refused.Open(second.path()));
        EXPECT_EQ(refused.Handle(), -1);
        EXPECT_EQ(refused.OpenError(),
                  second.path() + ": the port engine did not start (COMM_ALREADY_OPEN)");
    }
    first.Write({'x'});
    EXPECT_TRUE(WaitUntil([&] { return com.Received().size() == 1; }));
    EXPECT_TRUE(running.Close());
    ASSERT_TRUE(refused.Open(second.path())) << refused.OpenError();
    second.Write({'y'});
    EXPECT_TRUE(WaitUntil([&] { return com.Received().size() == 2; }));
    EXPECT_TRUE(refused.Close());
}

namespace {

// Port locks in a private lock folder.
class PortLockTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[] = "/tmp/vm418-lock-XXXXXX";
        ASSERT_NE(mkdtemp(name), nullptr);
        dir = name;
        setenv("VM418_LOCK_DIR", name, 1);
    }
    void TearDown() override {
        unsetenv("VM418_LOCK_DIR");
        std::filesystem::remove_all(dir);
    }
    std::filesystem::path LockFile(const Pty& p) const {
        return dir / ("LCK.." + std::filesystem::path(p.path()).filename().string());
    }
    static std::string LockText(pid_t pid) {
        char text[16];
        std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
        return text;
    }
    static std::string Contents(const std::filesystem::path& p) {
        std::ifstream in(p);
        return {std::istreambuf_iterator<char>(in), {}};
    }
    std::filesystem::path dir;
};

}  // namespace

// Another program's lock keeps the port, whoever that program runs as; once it has ended
// its lock is stale and taken over, and Close removes the lock again.
TEST_F(PortLockTest, PortLockedByARunningProgramIsRefusedUntilItEnds) {
    Pty pty;
    const pid_t other = fork();
    ASSERT_GE(other, 0);
    if (other == 0) {
        pause();
        _exit(0);
    }
    std::ofstream(LockFile(pty)) << LockText(other);
    CSerial serial;
    EXPECT_FALSE(serial.Open(pty.path()));
    EXPECT_EQ(serial.OpenError(), pty.path() + ": port in use by process " + std::to_string(other));
    EXPECT_EQ(serial.Handle(), -1);
    EXPECT_EQ(Contents(LockFile(pty)), LockText(other));

    kill(other, SIGKILL);
    waitpid(other, nullptr, 0);
    ASSERT_TRUE(serial.Open(pty.path())) << serial.OpenError();
    EXPECT_EQ(Contents(LockFile(pty)), LockText(getpid()));
    serial.Close();
    EXPECT_FALSE(std::filesystem::exists(LockFile(pty)));
}

// Two objects of one program on one device, the second naming it through a link: the second
// is refused, the first's lock stays until its destructor. A lock file without a process id
// in it, or no lock folder at all, keeps no one out.
TEST_F(PortLockTest, SecondOpenOfTheSameDeviceIsRefused) {
    Pty pty;
    const auto link = dir / "station-port";
    std::filesystem::create_symlink(pty.path(), link);
    {
        CSerial first, second;
        ASSERT_TRUE(first.Open(pty.path())) << first.OpenError();
        EXPECT_FALSE(second.OpenDevice(link));
        EXPECT_EQ(second.OpenError(), link.string() + ": port in use by process " +
                                          std::to_string(getpid()) + " (this program)");
        EXPECT_EQ(Contents(LockFile(pty)), LockText(getpid()));
    }
    EXPECT_FALSE(std::filesystem::exists(LockFile(pty)));

    std::ofstream(LockFile(pty)) << "garbage";
    CSerial serial;
    EXPECT_TRUE(serial.Open(pty.path())) << serial.OpenError();
    EXPECT_EQ(Contents(LockFile(pty)), LockText(getpid()));
    serial.Close();

    setenv("VM418_LOCK_DIR", (dir / "missing").c_str(), 1);
    EXPECT_TRUE(serial.Open(pty.path())) << serial.OpenError();
    serial.Close();
}

// Another program's flock on the device refuses the port; ours keeps such programs out
// while the port is open. Closed, the device is left neither locked nor in exclusive mode
// (which refuses the next opening by a user who is not root while the far side is open).
TEST_F(PortLockTest, FlockAndExclusiveModeLastAsLongAsThePortIsOpen) {
    Pty pty;
    const int other = open(pty.path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    CSerial serial;
    EXPECT_FALSE(serial.Open(pty.path()));
    EXPECT_EQ(serial.OpenError(), pty.path() + ": port in use by another program");
    flock(other, LOCK_UN);
    ASSERT_TRUE(serial.Open(pty.path())) << serial.OpenError();
    EXPECT_NE(flock(other, LOCK_EX | LOCK_NB), 0);
    int exclusive = -1;
    EXPECT_EQ(ioctl(other, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 1);
    serial.Close();
    ioctl(other, TIOCGEXCL, &exclusive);
    EXPECT_EQ(exclusive, 0);
    EXPECT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    close(other);
}

// The document may destroy its engine and its port holder in either order; neither ever
// calls into the other once it is gone.
TEST(Serial, EngineAndPortHolderMayGoInEitherOrder) {
    Pty pty;
    auto serial = std::make_unique<CSerial>();
    auto com = std::make_unique<RecordingCom>();
    serial->SetCom(com.get());
    ASSERT_TRUE(serial->Open(pty.path())) << serial->OpenError();
    com.reset();                    // stops its threads on the still open device
    EXPECT_FALSE(serial->Close());  // no engine any more
    EXPECT_EQ(serial->Handle(), -1);

    com = std::make_unique<RecordingCom>();
    serial->SetCom(com.get());
    ASSERT_TRUE(serial->Open(pty.path())) << serial->OpenError();
    serial.reset();  // stops the engine before it closes the device
    EXPECT_FALSE(com->IsStarted());
    EXPECT_EQ(com->portClosed, 1);
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
    EXPECT_EQ(ResolvePortName("ttyUSB0"), "/dev/ttyUSB0");

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
    std::filesystem::remove_all(dir);
}

// A system's COM name is cut to five characters; a name the user gives is used whole.
TEST(Serial, OnlyASystemsComNameIsCut) {
    CSerial serial;
    serial.Open("COM123456");
    EXPECT_EQ(serial.port, "COM12");
    serial.Close();
    EXPECT_FALSE(serial.OpenDevice("COM12345"));
    EXPECT_EQ(serial.port, "COM12345");
    EXPECT_EQ(serial.OpenError(), "/dev/ttyS12344: No such file or directory");
    EXPECT_FALSE(serial.OpenDevice("ttyNoSuchStationPort"));
    EXPECT_EQ(serial.OpenError(), "/dev/ttyNoSuchStationPort: No such file or directory");
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
}

// The engine on a converter's RFC 2217 connection, against a scripted converter on
// 127.0.0.1: the line set-up on the wire, data 0xFF doubled out and undoubled in, a line
// state notification as a local line's error event, and DTR dropped when the port closes.
TEST(Serial, Rfc2217ConverterCarriesTheLineAndItsEvents) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(listener, 1), 0);
    getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);

    std::vector<uint8_t> seen;  // everything the station sent, as it came
    std::mutex seenMutex;
    std::atomic<int> peer{-1};
    std::thread converter([&] {
        peer = accept(listener, nullptr, nullptr);
        const uint8_t agree[] = {255, 253, 44, 255, 250, 44, 101, 0, 0, 0x4B, 0, 255, 240};
        ASSERT_EQ(send(peer, agree, sizeof agree, MSG_NOSIGNAL), ssize_t{sizeof agree});
        uint8_t buf[256];
        for (ssize_t n; (n = recv(peer, buf, sizeof buf, 0)) > 0;) {
            std::lock_guard lock(seenMutex);
            seen.insert(seen.end(), buf, buf + n);
        }
    });
    auto Seen = [&] {
        std::lock_guard lock(seenMutex);
        return seen;
    };
    auto Holds = [&](const std::vector<uint8_t>& part) {
        const auto s = Seen();
        return std::search(s.begin(), s.end(), part.begin(), part.end()) != s.end();
    };

    RecordingCom com;
    CSerial serial;
    serial.SetCom(&com);
    serial.dcb = ParsePortSettingsText("x 19200 2 2 7 3").line;  // 7E2, no flow control
    ASSERT_TRUE(serial.Open("rfc2217://127.0.0.1:" + std::to_string(ntohs(a.sin_port))))
        << serial.OpenError();
    // The converter's thread may not have read the set-up yet when the open returns.
    EXPECT_TRUE(WaitUntil([&] { return Holds({255, 250, 44, 1, 0, 0, 0x4B, 0, 255, 240}); }));
    EXPECT_TRUE(WaitUntil([&] {
        return Holds({255, 250, 44, 2, 7, 255, 240, 255, 250, 44, 3, 3,  255, 240,
                      255, 250, 44, 4, 2, 255, 240, 255, 250, 44, 5, 1,  255, 240,
                      255, 250, 44, 5, 8, 255, 240, 255, 250, 44, 5, 11, 255, 240});
    }));

    ASSERT_TRUE(com.WriteCommString({0x41, 0xFF, 0x42}));
    EXPECT_TRUE(WaitUntil([&] { return Holds({0x41, 0xFF, 0xFF, 0x42}); }));
    // An escaped 0xFF cut between two sends, then a framing error on the converter's line.
    const uint8_t part1[] = {0x10, 255};
    const uint8_t part2[] = {255, 0x11, 255, 250, 44, 106, 0x08, 255, 240};
    send(peer, part1, sizeof part1, MSG_NOSIGNAL);
    std::this_thread::sleep_for(50ms);
    send(peer, part2, sizeof part2, MSG_NOSIGNAL);
    EXPECT_TRUE(WaitUntil([&] {
        return com.Received() == std::vector<uint8_t>{0x10, 0xFF, 0x11};
    }));
    EXPECT_TRUE(WaitUntil([&] { return !com.Notes().empty(); }));
    EXPECT_EQ(
        com.Notes(),
        (std::vector<std::pair<int, std::string>>{
            {COMM_LINE_ERROR_NOTIFY, "CE_FRAME - The hardware detected a framing error, \r\n"}}));

    EXPECT_TRUE(serial.Close());
    converter.join();  // the connection closed
    const auto s = Seen();
    const std::vector<uint8_t> dtrOff = {255, 250, 44, 5, 9, 255, 240};
    ASSERT_GE(s.size(), dtrOff.size());
    EXPECT_EQ(std::vector<uint8_t>(s.end() - static_cast<long>(dtrOff.size()), s.end()), dtrOff);
    close(peer);
    close(listener);
}
