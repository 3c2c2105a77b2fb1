#include <gtest/gtest.h>

#include "test_support.h"

using namespace station;
using namespace station::test;

namespace {

std::string Text(const std::vector<uint8_t>& v) {
    return {v.begin(), v.end()};
}

class ModemTest : public ::testing::Test {
  protected:
    void SetUp() override { p.SetWindow(&sink); }
    // Dials and lets the modem accept "AT"; the dial line is then on the wire.
    void DialToDialling() {
        ASSERT_EQ(p.Dial("5551234", "secret"), 0);
        p.ReceiveText("AT\r\r\nOK\r\n");
        ASSERT_EQ(p.ModemState(), MODEM_DIALLING);
    }
    LoopbackProtocol p;
    CollectingSink sink;
};

}  // namespace

// The dial and password lines, with the bounds on each piece.
TEST_F(ModemTest, DialAndConnectStrings) {
    struct Case {
        std::string init, phone, password, dial, connect;
    } cases[] = {
        {"", "5551234", "pw", "ATD5551234\r", "pw\r\n"},
        {"&F", "5551234", "pw", "AT&FD5551234\r", "pw\r\n"},
        {std::string(50, 'I'), std::string(35, '9'), std::string(90, 'p'),
         "AT" + std::string(40, 'I') + "D" + std::string(30, '9') + "\r",
         std::string(77, 'p') + "\r\n"},
    };
    for (const auto& c : cases) {
        LoopbackProtocol q;
        q.SetModemInit(c.init);
        ASSERT_EQ(q.Dial(c.phone, c.password), 0);
        EXPECT_EQ(q.DialString(), c.dial);
        EXPECT_EQ(q.ConnectString(), c.connect);
        EXPECT_LE(q.ConnectString().size(), 79u);
        ASSERT_EQ(q.written.size(), 1u);
        EXPECT_EQ(Text(q.written[0]), "AT\r");
        EXPECT_EQ(q.ModemState(), MODEM_AT_SENT);
    }
    LoopbackProtocol refused;
    refused.refuseWrites = true;
    EXPECT_EQ(refused.Dial("1", "x"), -1);
    EXPECT_EQ(refused.ModemState(), MODEM_IDLE);
}

TEST_F(ModemTest, ConnectWithSpeedSuffixSendsPasswordAndReportsConnected) {
    DialToDialling();
    ASSERT_EQ(p.written.size(), 2u);
    EXPECT_EQ(Text(p.written[1]), "ATD5551234\r");
    // The answer may arrive in pieces; it is judged at its line end.
    p.ReceiveText("\r\nCONNECT 96");
    p.ReceiveText("00/ARQ\r\n");
    EXPECT_EQ(p.ModemState(), MODEM_CONNECTED);
    ASSERT_EQ(p.written.size(), 3u);
    EXPECT_EQ(Text(p.written[2]), "secret\r\n");
    EXPECT_TRUE(sink.WaitForStatus(XLNK_MODEM_CONNECTED, 0));
    EXPECT_EQ(p.OutstandingCount(), 0u);
    // A repeated CONNECT finds no modem command and is ignored.
    p.ReceiveText("CONNECT 9600\r\n");
    EXPECT_EQ(p.written.size(), 3u);
}

// Every failure text ends the dialogue with its own event code; the usual "NO DIALTONE"
// counts as well as "NO DIAL TONE".
TEST_F(ModemTest, FailureTextsAndTheirEventCodes) {
    const std::pair<std::string, int> cases[] = {{"NO CARRIER", 3},   {"ERROR", 4},
                                                 {"BUSY", 7},         {"NO ANSWER", 8},
                                                 {"NO DIAL TONE", 9}, {"NO DIALTONE", 9}};
    for (const auto& [text, r] : cases) {
        LoopbackProtocol q;
        CollectingSink s;
        q.SetWindow(&s);
        q.Dial("5551234", "pw");
        q.ReceiveText("OK\r\n");
        q.ReceiveText(text + "\r\n");
        EXPECT_EQ(q.ModemState(), MODEM_IDLE) << text;
        const auto events = s.Events();
        ASSERT_FALSE(events.empty());
        EXPECT_EQ(events.back().status, XLNK_ERR_MODEM + r) << text;
        EXPECT_EQ(events.back().command, kNoFrameCommand);
    }
}

TEST_F(ModemTest, OkAndConnectInOneTextCountAsOk) {
    p.Dial("5551234", "pw");
    EXPECT_EQ(p.ParseModemText(reinterpret_cast<const uint8_t*>("OK CONNECT"), 10), 0);
    EXPECT_EQ(p.ModemState(), MODEM_DIALLING);
}

TEST_F(ModemTest, UnansweredDialTimesOutAfterSixtySeconds) {
    p.now = 0;
    DialToDialling();
    p.now = 60000;
    p.OnTimeout(0, nullptr);
    EXPECT_EQ(p.ModemState(), MODEM_DIALLING);
    p.now = 60001;
    p.OnTimeout(0, nullptr);
    EXPECT_EQ(p.ModemState(), MODEM_IDLE);
    EXPECT_EQ(sink.Events().back().status, XLNK_ERR_MODEM);
}

// One dialogue at a time; a call starts with a receiver that has forgotten the bytes of
// the call before (here half a frame), and a hang-up ends the connection.
TEST_F(ModemTest, DialStartsCleanAndIsRefusedWhileADialogueRuns) {
    const auto halfFrame = Frame(0xC00B, std::vector<uint8_t>(100, 0x55));
    p.Receive({halfFrame.begin(), halfFrame.begin() + 40});
    ASSERT_EQ(p.Dial("5551234", "secret"), 0);
    EXPECT_EQ(p.Dial("5551234", "secret"), -1);
    EXPECT_EQ(p.written.size(), 1u);
    p.ReceiveText("AT\r\r\nOK\r\n");
    ASSERT_EQ(p.ModemState(), MODEM_DIALLING);
    EXPECT_EQ(p.Dial("5551234", "secret"), -1);
    p.ReceiveText("\r\nCONNECT 9600\r\n");
    ASSERT_EQ(p.ModemState(), MODEM_CONNECTED);
    EXPECT_EQ(p.Dial("5551234", "secret"), -1);
    EXPECT_EQ(p.written.size(), 3u);
    // Hang-up in the middle of a frame: the next call is understood from its first byte.
    p.Receive({halfFrame.begin(), halfFrame.begin() + 40});
    p.OnPortClosed();
    EXPECT_EQ(p.ModemState(), MODEM_IDLE);
    ASSERT_EQ(p.Dial("5551234", "secret"), 0);
    p.ReceiveText("AT\r\r\nOK\r\n");
    EXPECT_EQ(p.ModemState(), MODEM_DIALLING);
}

// While connected, a modem result counts only on a line of its own, not inside other text;
// a carrier lost inside a frame does not hide it: after a damaged header, or inside a
// frame's data once the line falls silent.
TEST_F(ModemTest, ResultWhileConnectedCountsOnlyOnItsOwnLine) {
    auto badHeader = Frame(0xC0A1, {});
    badHeader[5] ^= 0x40;
    auto cutShort = Frame(0x40A1, std::vector<uint8_t>(84, 'N'));
    cutShort.resize(40);
    for (auto bytes : {badHeader, cutShort}) {
        p.OnPortClosed();
        DialToDialling();
        p.ReceiveText("\r\nCONNECT 9600\r\nunit says NO CARRIER\r\n");
        ASSERT_EQ(p.ModemState(), MODEM_CONNECTED);
        const std::string data = "\r\nNO CARRIER\r\n";
        bytes.insert(bytes.end(), data.begin(), data.end());
        p.Receive(bytes);
        p.OnTimeout(0, nullptr);
        EXPECT_EQ(p.ModemState(), MODEM_IDLE);
        EXPECT_EQ(sink.Events().back().status, XLNK_ERR_MODEM + 3);
    }
}

TEST_F(ModemTest, SilentModemTimesOutAfterTwoSeconds) {
    p.now = 0;
    p.Dial("5551234", "pw");
    p.now = 2001;
    p.OnTimeout(0, nullptr);
    EXPECT_EQ(p.ModemState(), MODEM_IDLE);
    EXPECT_TRUE(sink.WaitForStatus(XLNK_ERR_MODEM, 0));
}

TEST_F(ModemTest, RingingKeepsTheDialOutstanding) {
    DialToDialling();
    p.ReceiveText("RINGING\r\n");
    EXPECT_EQ(p.OutstandingCount(), 1u);
    p.ReceiveText("CONNECT 2400\r\n");
    EXPECT_EQ(p.ModemState(), MODEM_CONNECTED);
}

TEST_F(ModemTest, EscapeWithoutLineEndIsJudgedAfterSilence) {
    p.Dial("5551234", "pw");
    p.ReceiveText("+++");
    EXPECT_EQ(p.ModemState(), MODEM_AT_SENT);
    p.OnTimeout(0, nullptr);
    EXPECT_EQ(p.ModemState(), MODEM_DIALLING);
}
