// The link's threads: the data-available event, the data-in worker and the reply handlers
// on the GUI thread, against a pseudo-terminal.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <vector>

#include "link.h"
#include "pty_peer.h"
#include "qt_wait.h"

namespace prm {
namespace {

class LinkOverPty : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        link.port().setDevice(peer.device());
        ASSERT_TRUE(link.port().open()) << link.port().lastError().toStdString();
        link.ensureWorker();
    }
    PtyPeer peer;
    Link link;
};

TEST_F(LinkOverPty, BatchOf999BytesIsHandledInOrderOnTheGuiThreadOneAtATime) {
    std::vector<int> seen;
    std::atomic<int> inside{0};
    bool overlapped = false;
    bool offGuiThread = false;
    link.setReplyHandler(ReplyOwner::TestConsole, [&] {
        if (inside++ > 0) overlapped = true;
        if (QThread::currentThread() != QCoreApplication::instance()->thread()) {
            offGuiThread = true;
        }
        const LinkState& s = link.state();
        seen.push_back(s.replyCode == code::kButtons ? -1 : s.replyData[s.receivedCount - 1]);
        // The button-test handler consumes its event.
        link.state().readIndex = s.receivedCount;
        if (seen.size() == 1) QThread::msleep(50);  // the worker is busy: bytes pile up
        --inside;
    });
    {
        auto guard = link.lock();
        link.state().state = code::kButtons;
        setCommandBytes(link.state(), "M");
    }
    QByteArray batch(1, char(0xAA));
    for (int i = 0; i < 998; ++i)
        batch.append(char(i % 251));
    peer.send(batch);
    ASSERT_TRUE(waitUntil([&] { return seen.size() == 999; }));
    EXPECT_FALSE(overlapped);
    EXPECT_FALSE(offGuiThread);
    EXPECT_EQ(seen[0], -1);  // the echo
    for (int i = 0; i < 998; ++i)
        ASSERT_EQ(seen[i + 1], i % 251) << i;
}

// A burst far beyond the ring's 999 bytes waits in the port instead of being dropped.
TEST_F(LinkOverPty, BurstLongerThanTheRingLosesNothing) {
    std::vector<uint8_t> seen;
    link.setReplyHandler(ReplyOwner::TestConsole, [&] {
        const LinkState& s = link.state();
        if (s.replyCode == code::kButtons + code::kDataOffset) {
            seen.push_back(s.replyData[s.receivedCount - 1]);
        }
        link.state().readIndex = s.receivedCount;
    });
    link.beginCommand(code::kButtons, "M");
    QByteArray burst(1, char(0xAA));
    for (int i = 0; i < 5000; ++i)
        burst.append(char(i % 253));
    peer.send(burst);
    ASSERT_TRUE(waitUntil([&] { return seen.size() == 5000; }, 20000)) << seen.size();
    for (int i = 0; i < 5000; ++i)
        ASSERT_EQ(seen[i], i % 253) << i;
    auto guard = link.lock();
    EXPECT_EQ(link.state().ringDropped, 0);
}

TEST_F(LinkOverPty, StrayEchoAfterCommandEndReachesNoScreen) {
    int settingsCalls = 0;
    int consoleCalls = 0;
    link.setReplyHandler(ReplyOwner::Settings, [&] { ++settingsCalls; });
    link.setReplyHandler(ReplyOwner::TestConsole, [&] { ++consoleCalls; });
    // A threshold scan interrupted with a count left over, then ended.
    link.beginCommand(code::kThresholdScan, "S");
    peer.send(QByteArray("\xAA\x01\x02", 3));
    ASSERT_TRUE(waitUntil([&] {
        auto guard = link.lock();
        return consoleCalls == 1 && link.state().receivedCount == 2;
    }));
    link.endCommand();
    peer.send(QByteArray("\xAA\xAA", 2));
    ASSERT_TRUE(waitUntil([&] { return consoleCalls == 3; }));
    EXPECT_EQ(settingsCalls, 0);
    auto guard = link.lock();
    EXPECT_EQ(link.state().state, 0);
}

TEST_F(LinkOverPty, CommandGoesOutAsItsCharactersOnly) {
    link.beginCommand(code::kReadUser, "J");
    link.writeCommand();
    EXPECT_EQ(peer.take(1), QByteArray("J"));
    auto guard = link.lock();
    EXPECT_EQ(link.state().awaitingEcho, 1);
    EXPECT_EQ(link.state().state, code::kReadUser);
}

TEST_F(LinkOverPty, SendAndWaitLogsTheStartTextAndArmsTheExchange) {
    ScreenLog log;
    {
        auto guard = link.lock();
        link.state().logBudget = kTestConsoleLogLines;
    }
    link.setActiveLog(&log);
    Link::CommandStart start;
    start.code = code::kTemperature;
    start.bytes = "T";
    start.buttonIndex = 7;
    start.buttonCaption = "Temperature";
    start.startText = "Temperature test" + std::string(100, '.');
    start.endText = "End of temperature test";
    link.sendAndWait(start);
    EXPECT_EQ(peer.take(1), "T");
    ASSERT_EQ(log.lines().size(), 2);
    EXPECT_EQ(log.lines()[0], "");
    EXPECT_EQ(log.lines()[1].size(), kLogTextSize - 1);
    auto guard = link.lock();
    const LinkState& s = link.state();
    EXPECT_EQ(s.state, code::kTemperature);
    EXPECT_EQ(s.awaitingEcho, 1);
    EXPECT_TRUE(s.firstEchoPending);
    EXPECT_TRUE(s.dataPending);
    EXPECT_EQ(s.startedButtonCaption, "Temperature");
    EXPECT_EQ(s.startedButtonIndex, 7);
    EXPECT_EQ(s.endText, "End of temperature test");
    EXPECT_EQ(s.logBudget, kTestConsoleLogLines - 2);
}

TEST_F(LinkOverPty, UnitForAScreenWithoutHandlerIsDropped) {
    int consoleCalls = 0;
    link.setReplyHandler(ReplyOwner::TestConsole, [&] { ++consoleCalls; });
    link.beginCommand(code::kClearRecords, "W");  // the records screen is not open
    peer.send(QByteArray("\xAA\x00", 2));
    ASSERT_TRUE(waitUntil([&] {
        auto guard = link.lock();
        return link.state().state == 501 && link.state().receivedCount == 1;
    }));
    link.beginCommand(code::kUart, "U");
    peer.send(QByteArray("\xAA", 1));
    ASSERT_TRUE(waitUntil([&] { return consoleCalls == 1; }));
    waitUntil([] { return false; }, 100);
    EXPECT_EQ(consoleCalls, 1);
}

// Before the worker runs nothing drains the ring: the overrun is exact.
TEST(LinkRing, OverrunDropsNewBytesAndIsReportedOncePerOverrun) {
    Link link;
    QStringList notices;
    QObject::connect(&link, &Link::notice, [&](const QString& m) { notices << m; });
    int calls = 0;
    link.setReplyHandler(ReplyOwner::TestConsole, [&] { ++calls; });
    link.deliver(QByteArray(1500, 'x'));
    link.deliver(QByteArray(10, 'x'));
    ASSERT_EQ(notices.size(), 1);
    EXPECT_EQ(notices[0], "Receive buffer full: 501 bytes from HM-210 dropped");
    link.ensureWorker();
    ASSERT_TRUE(waitUntil([&] { return calls == 999; }));  // each 'x' is a wrong echo
    {
        auto guard = link.lock();
        EXPECT_EQ(link.state().ringDropped, 511);
    }
    link.deliver(QByteArray(1200, 'x'));  // a new overrun is reported again
    EXPECT_EQ(notices.size(), 2);
}

TEST(LinkTiming, TickDelayEndsWhenTheApplicationQuits) {
    bool lateTimerFired = false;
    QTimer::singleShot(20, [] { QCoreApplication::exit(0); });
    QTimer::singleShot(600, [&] { lateTimerFired = true; });
    Link::tickDelay(20);  // 1.1 s unless the exit ends it
    EXPECT_FALSE(lateTimerFired);
    // The application's loop, run once, clears the quit for the tests that follow.
    QTimer::singleShot(0, [] { QCoreApplication::exit(0); });
    QCoreApplication::exec();
    bool ticked = false;
    QTimer::singleShot(0, [&] { ticked = true; });
    Link::tickDelay(1);
    EXPECT_TRUE(ticked);
}

}  // namespace
}  // namespace prm
