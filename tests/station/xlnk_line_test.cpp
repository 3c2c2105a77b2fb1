// The protocol with its engine on a pseudo-terminal: what the window hears when the line
// misbehaves or goes away.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "pty.h"
#include "serial.h"
#include "test_support.h"

using namespace station;
using namespace station::test;
using namespace std::chrono_literals;

namespace {

class LineTest : public ::testing::Test {
  protected:
    void SetUp() override {
        protocol.SetWindow(&sink);
        serial.SetCom(&protocol);
        ASSERT_TRUE(serial.Open(pty->path())) << serial.OpenError();
    }
    size_t Count(uint16_t status) {
        size_t n = 0;
        for (const auto& e : sink.Events())
            n += e.status == status;
        return n;
    }
    CollectingSink sink;
    XLNKProtocol protocol;
    CSerial serial;
    std::unique_ptr<Pty> pty = std::make_unique<Pty>();
};

}  // namespace

// The adapter is pulled while monitoring: the window hears it once, within seconds, nothing
// stays outstanding, the engine counts as stopped, and after a hang-up the next call works.
TEST_F(LineTest, LostPortReachesTheWindowOnceAndStopsTheEngine) {
    ASSERT_EQ(protocol.SendCommand(0xC0A1, 0, nullptr, 5000), 0);
    ASSERT_EQ(pty->Read(6).size(), 6u);
    pty->CloseFar();
    const auto lost = sink.WaitForStatus(XLNK_ERR_PORT_LOST, 3000);
    ASSERT_TRUE(lost);
    EXPECT_EQ(lost->command, kNoFrameCommand);
    EXPECT_EQ(EventCodeName(lost->status), "XLNK_ERR_PORT_LOST");
    EXPECT_EQ("Disconnected " + ModemResultText(lost->status - XLNK_ERR_MODEM),
              "Disconnected  port lost");
    EXPECT_EQ(protocol.OutstandingCount(), 0u);
    EXPECT_FALSE(protocol.IsRunning());
    EXPECT_EQ(protocol.SendCommand(0xC0A1, 0, nullptr, 5000), -2);
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(Count(XLNK_ERR_PORT_LOST), 1u);
    EXPECT_EQ(Count(XLNK_ERR_TIMEOUT), 0u);

    // Opening again without a hang-up does not pretend: the stopped port is opened anew.
    pty = std::make_unique<Pty>();
    ASSERT_TRUE(serial.Open(pty->path())) << serial.OpenError();
    EXPECT_TRUE(protocol.IsRunning());
    ASSERT_EQ(protocol.Dial("5551234", "pw"), 0);
    EXPECT_EQ(pty->Read(3), (std::vector<uint8_t>{'A', 'T', '\r'}));
}

// A trickle of noise with gaps under a second does not hold a time-out back.
TEST_F(LineTest, CommandTimesOutOnTimeWhileNoiseTrickles) {
    std::atomic<bool> noisy{true};
    std::thread noise([&] {
        while (noisy) {
            pty->Write({'~'});
            std::this_thread::sleep_for(500ms);
        }
    });
    ASSERT_EQ(protocol.SendCommand(0xC0A0, 0, nullptr, 1000), 0);
    const auto e = sink.WaitForStatus(XLNK_ERR_TIMEOUT, 2000 + 300);  // time-out + 1 s
    noisy = false;
    noise.join();
    ASSERT_TRUE(e);
    EXPECT_EQ(e->command, 0xC0A0);
}
