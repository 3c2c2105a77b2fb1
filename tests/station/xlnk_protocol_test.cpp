#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "test_support.h"

using namespace station;
using namespace station::test;

namespace {

class ProtocolTest : public ::testing::Test {
  protected:
    void SetUp() override { p.SetWindow(&sink); }
    LoopbackProtocol p;
    CollectingSink sink;
};

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

}  // namespace

TEST_F(ProtocolTest, BadHeaderYieldsChecksumEventThenResyncs) {
    ASSERT_EQ(p.SendCommand(0xC0A1, 0, nullptr, 5000), 0);
    auto bad = Frame(0xC0A1);
    bad[5] ^= 0x01;
    p.Receive(Concat(bad, Frame(0x40A1, {1, 2, 3})));
    const auto events = sink.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].status, XLNK_ERR_CHECKSUM);
    EXPECT_EQ(events[0].command, 0xC0A1);
    EXPECT_EQ(events[1].status, 0);
    EXPECT_EQ(events[1].command, 0x40A1);
    EXPECT_EQ(events[1].Text(), std::string("\x01\x02\x03"));
    EXPECT_EQ(p.OutstandingCount(), 0u);
}

TEST_F(ProtocolTest, LengthBeyondFrameBufferIsRefusedAndReceiverResyncs) {
    p.ExpectCommand(0xC0A0, 5000);
    // A well-checked header announcing 2095 data bytes: 2101 bytes do not fit.
    std::vector<uint8_t> header = {0x10, 0x2F, 0x08, 0xA0, 0xC0, 0};
    header[5] = HeaderChecksum(header.data(), 5);
    p.Receive(Concat(header, Frame(0xC0A0)));
    const auto events = sink.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].status, XLNK_ERR_CHECKSUM);
    EXPECT_EQ(events[1].command, 0xC0A0);
    EXPECT_EQ(events[1].status, 0);
}

TEST_F(ProtocolTest, TextBeforeFrameIsDeliveredFirstAsRawText) {
    p.ExpectCommand(0xC0B5, 5000);
    p.Receive(Concat({'O', 'K', '\r', '\n'}, Frame(0xC0B5)));
    const auto events = sink.Events();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].command, kNoFrameCommand);
    EXPECT_EQ(events[0].status, 0);
    EXPECT_EQ(events[0].Text(), "OK\r\n");
    EXPECT_EQ(events[0].data.size(), 5u);  // the spare byte behind the text
    EXPECT_EQ(events[1].command, 0xC0B5);
}

TEST_F(ProtocolTest, SplitFramesAreAssembledAndTwoFramesInOneReadComeInOrder) {
    p.SendCommand(0xC0A1, 0, nullptr, 5000);
    p.SendCommand(0xC0B0, 0, nullptr, 5000);
    p.SendCommand(0xC0A0, 0, nullptr, 5000);
    std::vector<uint8_t> payload(300);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>(i * 7);
    const auto frame = Frame(0x40A1, payload);
    p.Receive({frame.begin(), frame.begin() + 2});
    p.Receive({frame.begin() + 2, frame.begin() + 100});
    p.Receive({frame.begin() + 100, frame.end()});
    p.Receive(Concat(Frame(0x40B0), Frame(0x40A0)));
    const auto events = sink.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].command, 0x40A1);
    EXPECT_EQ(std::vector<uint8_t>(events[0].data.begin(), events[0].data.end() - 1), payload);
    EXPECT_EQ(events[1].command, 0x40B0);
    EXPECT_EQ(events[2].command, 0x40A0);
}

TEST_F(ProtocolTest, AnswerRemovesOldestOfTwoRequestsAndASecondAnswerIsUnexpected) {
    p.now = 1000;
    p.SendCommand(0xC0A1, 0, nullptr, 5000);
    p.now = 1500;
    p.SendCommand(0xC0A1, 0, nullptr, 5000);
    p.Receive(Frame(0x40A1));
    ASSERT_EQ(p.OutstandingCount(), 1u);
    EXPECT_EQ(p.Outstanding()[0].sendTick, 1500u);
    p.Receive(Frame(0x40A1));
    p.Receive(Frame(0x40A1, {9}));
    const auto events = sink.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[1].status, 0);
    EXPECT_EQ(events[2].status, XLNK_ERR_UNEXPECTED_COMMAND);
    EXPECT_EQ(events[2].command, 0x40A1);
    EXPECT_EQ(events[2].length, 0);  // the data of an unexpected frame is not delivered
}

TEST_F(ProtocolTest, ExpectedUnitRequestIsAnsweredAndAnUnexpectedOneIsNot) {
    p.ExpectCommand(0xC123, 5000);
    p.Receive(Frame(0xC123));
    ASSERT_EQ(p.written.size(), 1u);
    EXPECT_EQ(p.written[0], Frame(0x4123));
    p.Receive(Frame(0xC123));
    EXPECT_EQ(p.written.size(), 1u);
    EXPECT_EQ(sink.Events().back().status, XLNK_ERR_UNEXPECTED_COMMAND);
}

// SendCommand's refusals and what each leaves in the outstanding list.
TEST_F(ProtocolTest, SendCommandLimitsAndResultCodes) {
    for (int i = 0; i < 32; ++i)
        ASSERT_EQ(p.SendCommand(0xC0A1, 0, nullptr, 5000), 0);
    EXPECT_EQ(p.SendCommand(0xC0A1, 0, nullptr, 5000), 0);  // 32 outstanding: still sent
    EXPECT_EQ(p.OutstandingCount(), 33u);
    EXPECT_EQ(p.SendCommand(0xC0A1, 0, nullptr, 5000), -5);
    EXPECT_EQ(p.written.size(), 33u);

    LoopbackProtocol q;
    std::vector<uint8_t> big(2097);
    EXPECT_EQ(q.SendCommand(0xC0F1, big.size(), big.data(), 5000), -4);
    EXPECT_EQ(q.SendCommand(0xC0F1, 2096, big.data(), 5000), 0);
    EXPECT_EQ(q.written.back().size(), 2102u);
    q.refuseWrites = true;
    EXPECT_EQ(q.SendCommand(0xC0A0, 0, nullptr, 5000), -2);
    EXPECT_EQ(q.OutstandingCount(), 1u);  // the refused one is not left behind
}

TEST_F(ProtocolTest, AnswersLeaveTheListOnceWrittenRequestsStay) {
    p.completeWrites = false;
    p.SendCommand(0x40A0, 0, nullptr, 1000);
    p.SendCommand(0xC0A0, 0, nullptr, 5000);
    p.SendCommand(0x4700, 2, reinterpret_cast<const uint8_t*>("x\r"), 1000);  // never tracked
    EXPECT_EQ(p.OutstandingCount(), 2u);
    LoopbackProtocol q;
    q.SendCommand(0x40A0, 0, nullptr, 1000);
    q.SendCommand(0xC0A0, 0, nullptr, 5000);
    ASSERT_EQ(q.OutstandingCount(), 1u);
    EXPECT_EQ(q.Outstanding()[0].cmd, 0xC0A0);
}

TEST_F(ProtocolTest, AtMostOneDescriptorExpiresPerTimeoutOldestFirst) {
    p.now = 0;
    p.SendCommand(0xC0A0, 0, nullptr, 5000);
    p.SendCommand(0xC0B0, 0, nullptr, 5000);
    p.now = 5000;  // exactly the time-out: not yet
    p.OnTimeout(0, nullptr);
    EXPECT_TRUE(sink.Events().empty());
    p.now = 5001;
    p.OnTimeout(0, nullptr);
    ASSERT_EQ(sink.Events().size(), 1u);
    EXPECT_EQ(sink.Events()[0].command, 0xC0A0);
    EXPECT_EQ(sink.Events()[0].status, XLNK_ERR_TIMEOUT);
    p.OnTimeout(0, nullptr);
    ASSERT_EQ(sink.Events().size(), 2u);
    EXPECT_EQ(sink.Events()[1].command, 0xC0B0);
    p.OnTimeout(0, nullptr);
    EXPECT_EQ(sink.Events().size(), 2u);
}

TEST_F(ProtocolTest, TimeoutsStayRightAcrossTickWrap) {
    p.now = 0xFFFFFF00u;
    p.SendCommand(0xC0A0, 0, nullptr, 5000);
    p.now = 0x00000100u;  // 512 ms later
    p.OnTimeout(0, nullptr);
    EXPECT_EQ(p.OutstandingCount(), 1u);
    p.now = 0x00001400u;  // 5376 ms later
    p.OnTimeout(0, nullptr);
    EXPECT_EQ(p.OutstandingCount(), 0u);
    EXPECT_EQ(sink.WaitForStatus(XLNK_ERR_TIMEOUT, 0)->command, 0xC0A0);
}

// Senders on several threads together still leave at most 33 commands outstanding.
TEST_F(ProtocolTest, OutstandingLimitHoldsUnderConcurrentSenders) {
    std::atomic<int> sent{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&] {
            for (int i = 0; i < 20; ++i)
                if (p.SendCommand(0xC0A1, 0, nullptr, 5000) == 0) ++sent;
        });
    for (auto& t : senders)
        t.join();
    EXPECT_EQ(sent, 33);
    EXPECT_EQ(p.OutstandingCount(), 33u);
}

// A window that goes away waits for the event being handed to it, so that it is never
// called once SetWindow(nullptr) has returned.
TEST_F(ProtocolTest, SetWindowNullWaitsForTheEventBeingDelivered) {
    class SlowSink : public ProtocolEventSink {
      public:
        void OnProtocolEvent(std::unique_ptr<ProtocolEvent>) override {
            inside = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            finished = true;
        }
        std::atomic<bool> inside{false}, finished{false};
    } slow;
    p.SetWindow(&slow);
    std::thread reader([&] { p.PostEvent(1, nullptr, XLNK_ERR_TIMEOUT); });
    while (!slow.inside)
        std::this_thread::yield();
    p.SetWindow(nullptr);
    EXPECT_TRUE(slow.finished);
    reader.join();
    EXPECT_EQ(p.PostEvent(1, nullptr, XLNK_ERR_TIMEOUT), -1);  // nowhere to deliver now
}

TEST_F(ProtocolTest, PortClosedForgetsEverythingOutstanding) {
    p.SendCommand(0xC0A0, 0, nullptr, 5000);
    p.ExpectCommand(0xC00A, 5000);
    p.OnPortClosed();
    EXPECT_EQ(p.OutstandingCount(), 0u);
    p.now += 100000;
    p.OnTimeout(0, nullptr);
    EXPECT_TRUE(sink.Events().empty());
}
