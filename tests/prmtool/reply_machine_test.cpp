// The echo/data state machine of the device link, byte by byte, and the receive ring.

#include <gtest/gtest.h>

#include <vector>

#include "link.h"
#include "reply_machine.h"

namespace prm {
namespace {

struct Call {
    ReplyOwner owner;
    int32_t replyCode;
    int16_t receivedCount;
};

// Starts a command the way the screens do and feeds the bytes; records every handler call.
class Machine {
  public:
    Machine(int32_t commandCode, const std::string& command) {
        s.state = commandCode;
        setCommandBytes(s, command);
        s.awaitingEcho = 1;
        s.dataPending = true;
    }
    std::vector<Call> feed(const std::vector<uint8_t>& bytes) {
        std::vector<Call> calls;
        for (uint8_t b : bytes) {
            const ReplyOwner owner = processByte(s, b);
            if (owner != ReplyOwner::None) calls.push_back({owner, s.replyCode, s.receivedCount});
        }
        return calls;
    }
    LinkState s;
};

TEST(ReplyMachine, EchoWithoutDataCallsHandlerOnceAndStaysInCommandCode) {
    Machine m(code::kUart, "U");
    const auto calls = m.feed({0xAA});
    ASSERT_EQ(calls.size(), 1u);
    EXPECT_EQ(calls[0].owner, ReplyOwner::TestConsole);
    EXPECT_EQ(calls[0].replyCode, 1);
    EXPECT_EQ(m.s.expectedCount, 0);
    EXPECT_EQ(m.s.state, 1);
    EXPECT_FALSE(m.s.dataPending);
    EXPECT_EQ(m.s.awaitingEcho, 0);
}

TEST(ReplyMachine, TemperatureEchoThenTwoDataBytesGivesTwoCalls) {
    Machine m(code::kTemperature, "T");
    const auto calls = m.feed({0xAA, 0x34, 0x08});
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].replyCode, 7);
    EXPECT_EQ(calls[1].replyCode, 107);
    EXPECT_EQ(m.s.state, 107);
    const int value = static_cast<int16_t>(m.s.replyData[0] | (m.s.replyData[1] << 8));
    EXPECT_EQ(value, 2100);
    EXPECT_EQ(QString::asprintf("%5.1f grad C", value / 100.0), " 21.0 grad C");
    EXPECT_FALSE(m.s.dataPending);
}

TEST(ReplyMachine, AdcSpectrumRearmsAfterEvery256Bytes) {
    Machine m(code::kAdcSpectrum, "H");
    EXPECT_EQ(m.feed({0xAA}).size(), 1u);
    for (int block = 0; block < 2; ++block) {
        const auto calls = m.feed(std::vector<uint8_t>(256, static_cast<uint8_t>(block + 1)));
        ASSERT_EQ(calls.size(), 1u) << "block " << block;
        EXPECT_EQ(calls[0].replyCode, 109);
        EXPECT_EQ(calls[0].receivedCount, 0);  // already re-armed when the handler runs
        EXPECT_EQ(m.s.expectedCount, 256);
        EXPECT_EQ(m.s.replyData[255], block + 1);
    }
}

TEST(ReplyMachine, ThresholdScanStepsAccumulateForHandlerToConsume) {
    Machine gamma(code::kThresholdScan, "S");
    gamma.feed({0xAA});
    const auto g = gamma.feed({1, 0, 2, 0, 3, 0, 4, 0});
    ASSERT_EQ(g.size(), 2u);
    EXPECT_EQ(g[0].receivedCount, 4);
    EXPECT_EQ(g[1].receivedCount, 8);
    EXPECT_EQ(gamma.s.expectedCount, 4);

    Machine neutron(code::kThresholdScan, "n");
    neutron.feed({0xAA});
    const auto n = neutron.feed({1, 0, 2, 0});
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[1].receivedCount, 4);
    EXPECT_EQ(neutron.s.expectedCount, 2);
}

TEST(ReplyMachine, ByteInContrastOrUnusedCodeIsDroppedButAnswersTheEchoTimeout) {
    for (int32_t state : {35, 12, 20, 25, 32}) {
        Machine m(state, "c");
        EXPECT_TRUE(m.feed({0xAA, 0x12}).empty()) << state;
        EXPECT_EQ(m.s.awaitingEcho, 0);
        EXPECT_EQ(m.s.state, state);
        EXPECT_EQ(m.s.replyCode, 0);
    }
}

TEST(ReplyMachine, WrongEchoAndZAreTheirOwnReplyCodes) {
    Machine wrong(code::kReadUser, "J");
    const auto w = wrong.feed({'?'});
    ASSERT_EQ(w.size(), 1u);
    EXPECT_EQ(w[0].owner, ReplyOwner::Settings);
    EXPECT_EQ(w[0].replyCode, code::kWrongEcho);
    EXPECT_EQ(wrong.s.lastEchoByte, '?');
    EXPECT_EQ(wrong.s.state, code::kReadUser);  // no data follows a wrong echo

    Machine z(code::kReadRecords, "P");
    const auto c = z.feed({'Z'});
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].owner, ReplyOwner::Records);
    EXPECT_EQ(c[0].replyCode, code::kZEcho);
}

TEST(ReplyMachine, SettingsReadBlockCompletesAfter31Bytes) {
    Machine m(code::kReadUser, "J");
    std::vector<uint8_t> bytes{0xAA};
    bytes.resize(32, 0x11);
    const auto calls = m.feed(bytes);
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0].replyCode, 212);
    EXPECT_EQ(calls[1].replyCode, 312);
    EXPECT_EQ(calls[1].receivedCount, 31);
    EXPECT_EQ(calls[1].owner, ReplyOwner::Settings);
}

// The reply-length table: every code with an entry, and codes without one.
TEST(ReplyMachine, ReplyLengthTable) {
    const std::pair<int32_t, int> table[] = {
        {6, 1},    {10, 1},   {16, 1}, {17, 1},  {207, 1}, {213, 1}, {401, 1}, {7, 2},
        {8, 2},    {24, 2},   {33, 2}, {9, 256}, {11, 8},  {13, 6},  {15, 12}, {211, 31},
        {212, 31}, {402, 16}, {1, -1}, {19, -1}, {98, -1}, {99, -1}, {0, -1},
    };
    for (const auto& [code, length] : table)
        EXPECT_EQ(replyLength(code, 'X'), length) << code;
    EXPECT_EQ(replyLength(18, 'S'), 4);
    EXPECT_EQ(replyLength(18, 'n'), 2);
}

// A stream the handler consumes stays within the reply area, contiguous and in order.
TEST(ReplyMachine, ConsumedStreamNeverOverrunsTheReplyArea) {
    Machine m(code::kThresholdScan, "S");
    m.feed({0xAA});
    int expected = 0;
    for (int step = 0; step < 2000; ++step) {
        const uint8_t v = static_cast<uint8_t>(step);
        const auto calls = m.feed({v, 0, v, 1});
        ASSERT_EQ(calls.size(), 1u);
        ASSERT_LE(m.s.receivedCount, kReplyDataSize);
        // The handler's part: take the step from readIndex.
        EXPECT_EQ(m.s.replyData[m.s.readIndex], static_cast<uint8_t>(expected));
        EXPECT_EQ(m.s.replyData[m.s.readIndex + 3], 1);
        m.s.readIndex = static_cast<int16_t>(m.s.readIndex + 4);
        ++expected;
    }
    EXPECT_EQ(m.s.replyDropped, 0);
}

TEST(ReplyMachine, UnconsumedStreamDropsBytesInsteadOfOverrunning) {
    Machine m(code::kButtons, "M");
    m.feed({0xAA});
    m.feed(std::vector<uint8_t>(kReplyDataSize + 50, 7));
    EXPECT_EQ(m.s.receivedCount, kReplyDataSize);
    EXPECT_EQ(m.s.replyDropped, 50);
}

TEST(Ring, HoldsAt999UnreadBytesAndWraps) {
    LinkState s;
    std::vector<uint8_t> bytes(1005);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(ringPut(s, bytes.data(), 1005), 6);
    EXPECT_EQ(ringUnread(s), kRingSize - 1);
    for (int i = 0; i < 500; ++i)
        ASSERT_EQ(ringTake(s), static_cast<uint8_t>(i));
    EXPECT_EQ(ringPut(s, bytes.data(), 400), 0);  // wraps past the end
    for (int i = 500; i < 999; ++i)
        ASSERT_EQ(ringTake(s), static_cast<uint8_t>(i));
    for (int i = 0; i < 400; ++i)
        ASSERT_EQ(ringTake(s), static_cast<uint8_t>(i));
    EXPECT_TRUE(ringEmpty(s));
}

TEST(ScreenLogBudget, ThirteenthLineDropsTheFirst) {
    LinkState s;
    s.logBudget = kTestConsoleLogLines;
    ScreenLog log;
    for (int i = 1; i <= 13; ++i)
        log.add(s, QString::number(i));
    ASSERT_EQ(log.lines().size(), 12);
    EXPECT_EQ(log.lines().first(), "2");
    EXPECT_EQ(log.lines().last(), "13");
    EXPECT_EQ(s.logBudget, 0);
}

}  // namespace
}  // namespace prm
