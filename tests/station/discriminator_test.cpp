// The discriminator screen: the settings block and counts record as bytes, the 30-sample
// statistics, the screen's state machine driven directly with a recorded link and clock,
// and the window through the document against vm418-sim.
#include <gtest/gtest.h>

#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdlib>

#include "discr_dialog.h"
#include "discr_screen.h"
#include "discriminator.h"
#include "main_frame.h"
#include "qt_wait.h"
#include "simulator_process.h"
#include "station_db.h"
#include "vm418_doc.h"

using namespace vm418;

namespace {

std::vector<uint8_t> CountsBytes(const std::array<uint16_t, kDiscrChannels>& counts,
                                 uint16_t s1 = 0, uint16_t s2 = 0) {
    std::vector<uint8_t> d;
    for (uint16_t c : counts) {
        d.push_back(c & 0xFF);
        d.push_back(c >> 8);
    }
    for (uint16_t s : {s1, s2}) {
        d.push_back(s & 0xFF);
        d.push_back(s >> 8);
    }
    d.insert(d.end(), 4, 0);
    return d;
}

std::array<uint16_t, kDiscrChannels> Counts(uint16_t value) {
    std::array<uint16_t, kDiscrChannels> c;
    c.fill(value);
    return c;
}

}  // namespace

// Packed decimal both ways, the block's layout (first and second setting in bytes 2i and
// 2i + 1, the third in 32 + i) and the counts record; short data is refused, never read past.
TEST(DiscriminatorBytes, CodecLayoutAndShortDataRefused) {
    EXPECT_EQ(decodePackedDecimal(0x4A), 49);  // a digit above 9 reads as 9
    EXPECT_EQ(decodePackedDecimal(0xFF), 99);
    EXPECT_EQ(decodePackedDecimal(0x07), 7);
    EXPECT_EQ(encodePackedDecimal(37), 0x37);
    EXPECT_EQ(encodePackedDecimal(120), 0x99);
    EXPECT_EQ(encodePackedDecimal(300), 0x44);  // the low byte, 44
    EXPECT_EQ(encodePackedDecimal(-1), 0x99);   // 0xFF, above 99
    EXPECT_EQ(encodePackedDecimal(256), 0x00);

    DiscrSettings s{};
    for (int i = 0; i < kDiscrChannels; ++i)
        s[i] = {10 + i, 40 + i, 70 + i};
    const auto block = encodeDiscrBlock(s);
    EXPECT_EQ(block[0], 0x10);   // A1 first
    EXPECT_EQ(block[1], 0x40);   // A1 second
    EXPECT_EQ(block[32], 0x70);  // A1 third
    EXPECT_EQ(block[31], 0x55);  // H2 second
    EXPECT_EQ(block[47], 0x85);  // H2 third
    const auto back = decodeDiscrBlock(block.data(), block.size());
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, s);

    QString error;
    EXPECT_FALSE(decodeDiscrBlock(block.data(), kDiscrBlockSize - 1, &error));
    EXPECT_EQ(error, "Discriminator settings too short: 47 of 48 bytes");

    auto counts = Counts(0);
    counts[0] = 0x1234;
    counts[15] = 65535;
    const auto rec = CountsBytes(counts, 0x8001, 0x4000);
    const auto parsed = parseCountsRecord(rec.data(), rec.size());
    ASSERT_TRUE(parsed);
    EXPECT_EQ(parsed->counts[0], 0x1234);
    EXPECT_EQ(parsed->counts[15], 65535);
    EXPECT_EQ(parsed->S1, 0x8001);
    EXPECT_EQ(parsed->S2, 0x4000);
    EXPECT_FALSE(parseCountsRecord(rec.data(), kCountsRecordSize - 1, &error));
    EXPECT_EQ(error, "Counts record too short: 39 of 40 bytes");
    EXPECT_FALSE(parseCountsRecord(nullptr, 0));
}

// Mean, spread with n - 1 and relative spread over 30 samples; all zero gives 0 and 1.
TEST(DiscriminatorBytes, StatisticsOverThirtySamples) {
    std::array<uint32_t, kStatisticsSamples> samples{};
    auto st = channelStatistics(samples);
    EXPECT_EQ(st.mean, 0);
    EXPECT_EQ(st.relativeSpread, 1);
    for (int i = 0; i < kStatisticsSamples; ++i)
        samples[i] = i % 2 ? 110 : 90;
    st = channelStatistics(samples);
    EXPECT_DOUBLE_EQ(st.mean, 100);
    // s = sqrt(30 * 100 / 29), r = s / sqrt(100)
    EXPECT_NEAR(st.relativeSpread, std::sqrt(3000.0 / 29) / 10, 1e-12);
}

namespace {

// The screen over a recorded link, a hand-driven clock and timers run by the test.
class DiscrScreenTest : public ::testing::Test {
  protected:
    DiscrScreenTest() : screen(MakeLink(), false) {
        screen.closeNow = [this] { ++closes; };
        screen.graphAppend = [this](double v) { graph.push_back(v); };
    }
    DiscrScreen::Link MakeLink() {
        DiscrScreen::Link link;
        link.send = [this](uint16_t c) {
            sent.push_back(c);
            return 0;
        };
        link.sendRaw = [this](const QByteArray& raw) {
            raws.push_back(raw);
            return 0;
        };
        link.setMonitoringStopped = [this](bool v) { monitoringStopped = v; };
        link.tick = [this] { return now; };
        link.after = [this](int ms, std::function<void()> fn) { timers.emplace_back(ms, fn); };
        return link;
    }
    void Settings(uint16_t answer = ANS_DISCR_READ) {
        DiscrSettings s{};
        for (int i = 0; i < kDiscrChannels; ++i)
            s[i] = {20, 60, 85};
        const auto block = encodeDiscrBlock(s);
        screen.OnFrame(answer, block.data(), block.size());
    }
    void CountsAnswer(uint16_t value, uint16_t s1 = 0) {
        const auto rec = CountsBytes(Counts(value), s1);
        screen.OnFrame(ANS_DISCR_COUNTS, rec.data(), rec.size());
    }
    // Reads the settings and takes the first counts answer: the screen is polling.
    void StartPolling(uint16_t firstCount = 100) {
        screen.Read();
        Settings();
        CountsAnswer(firstCount);
        sent.clear();
    }

    DiscrScreen screen;
    std::vector<uint16_t> sent;
    std::vector<QByteArray> raws;
    std::vector<std::pair<int, std::function<void()>>> timers;
    std::vector<double> graph;
    uint32_t now = 50000;
    std::optional<bool> monitoringStopped;
    int closes = 0;
};

}  // namespace

// Read sends 0xC030; the settings fill and enable the channels and start the counts polls,
// which go out at most once a second (a clock that went back counts as time passed).
TEST_F(DiscrScreenTest, SettingsStartPollingAtMostOnceASecond) {
    EXPECT_FALSE(screen.channels[0].enabled);
    screen.Read();
    EXPECT_EQ(sent, std::vector<uint16_t>{CMD_DISCR_READ});
    EXPECT_TRUE(screen.WaitLamp());
    Settings();
    EXPECT_TRUE(screen.channels[15].enabled);
    EXPECT_EQ(screen.channels[3].settings, (std::array<int, 3>{20, 60, 85}));
    EXPECT_EQ(sent.back(), CMD_DISCR_COUNTS);
    EXPECT_FALSE(screen.WaitLamp());
    sent.clear();

    now += 400;
    CountsAnswer(100, 0x8000);
    EXPECT_EQ(screen.channels[0].count, "100");
    EXPECT_EQ(screen.statusLamps, (std::array<bool, 4>{true, false, false, false}));
    EXPECT_EQ(screen.dial, 1);
    now += 600;  // 1000 ms since the poll: not more
    screen.OnTimer();
    EXPECT_TRUE(sent.empty());
    now += 1;
    screen.OnTimer();
    screen.OnTimer();
    EXPECT_EQ(sent, std::vector<uint16_t>{CMD_DISCR_COUNTS});

    CountsAnswer(100);
    now -= 5000;
    screen.OnTimer();
    EXPECT_EQ(sent.size(), 2u);
}

// Thirty counts give each channel's average and relative spread, then a new cycle starts;
// the graph gets the selected channel's counts. A short record counts nothing but is shown.
TEST_F(DiscrScreenTest, ThirtyCountsShowStatisticsAndShortRecordIsShown) {
    StartPolling(90);  // the first sample
    screen.SelectChannel(5);
    screen.SelectChannel(99);  // not a channel: A1
    EXPECT_EQ(screen.selectedChannel, 0);
    for (int i = 1; i < kStatisticsSamples; ++i) {
        auto counts = Counts(i % 2 ? 110 : 90);
        counts[1] = 0;
        counts[0] = 100;
        const auto rec = CountsBytes(counts);
        screen.OnFrame(ANS_DISCR_COUNTS, rec.data(), rec.size());
        if (i == 10) {
            const uint8_t shortRecord[12] = {};
            screen.OnFrame(ANS_DISCR_COUNTS, shortRecord, sizeof shortRecord);
            EXPECT_TRUE(screen.errorLamp);
            EXPECT_EQ(screen.message, "Counts record too short: 12 of 40 bytes");
            EXPECT_EQ(screen.sampleIndex, 11);
        }
        if (i < kStatisticsSamples - 1) {
            EXPECT_EQ(screen.channels[2].average, "");
        }
    }
    EXPECT_EQ(screen.sampleIndex, 0);
    EXPECT_EQ(screen.channels[0].average, "100");
    EXPECT_EQ(screen.channels[1].average, "3");  // only the first sample counted (90)
    EXPECT_EQ(screen.channels[2].spread, QString::asprintf("%.2f", std::sqrt(3000.0 / 29) / 10));
    EXPECT_EQ(graph.size(), 30u);

    // A channel that counted nothing: 0 and 1.00.
    for (int i = 0; i < kStatisticsSamples; ++i)
        CountsAnswer(0);
    EXPECT_EQ(screen.channels[7].average, "0");
    EXPECT_EQ(screen.channels[7].spread, "1.00");
}

// "Close" while polling waits for the next counts answer to send 0xC060, copies the "Stop
// MONI" lamp to the document, and closes on 0x4060; not polling it closes at once.
TEST_F(DiscrScreenTest, CloseWhilePollingLeavesAtNextCountsAnswer) {
    StartPolling();
    screen.Close();
    EXPECT_TRUE(sent.empty());
    EXPECT_EQ(monitoringStopped, false);
    EXPECT_TRUE(screen.WaitLamp());
    now += 1500;
    screen.OnTimer();  // the poll that was due still goes out; its answer brings 0xC060
    EXPECT_EQ(sent, std::vector<uint16_t>{CMD_DISCR_COUNTS});
    CountsAnswer(100);
    EXPECT_EQ(sent.back(), CMD_DISCR_LEAVE);
    now += 5000;
    screen.OnTimer();
    EXPECT_EQ(sent.size(), 2u);
    EXPECT_EQ(closes, 0);
    screen.OnFrame(ANS_DISCR_LEFT, nullptr, 0);
    EXPECT_EQ(closes, 1);
    EXPECT_TRUE(screen.closed);

    DiscrScreen idle(MakeLink(), true);
    int idleCloses = 0;
    idle.closeNow = [&] { ++idleCloses; };
    EXPECT_TRUE(idle.stopMoniLamp);
    idle.Close();
    EXPECT_EQ(idleCloses, 1);
    EXPECT_EQ(monitoringStopped, true);
}

// A changed setting shows "Update"; pressing it sends 0xC050 at the next counts answer and
// the block raw 300 ms later; 0x4050 lights "Stop MONI", hides "Update" and polls again.
TEST_F(DiscrScreenTest, UpdateWritesBlockAfterCountsAnswer) {
    StartPolling();
    EXPECT_FALSE(screen.UpdateVisible());
    screen.SetSetting(0, 0, 37);
    screen.SetSetting(15, 2, 120);
    EXPECT_TRUE(screen.UpdateVisible());
    screen.Update();
    EXPECT_TRUE(sent.empty());
    CountsAnswer(100);
    EXPECT_EQ(sent, std::vector<uint16_t>{CMD_DISCR_WRITE});
    ASSERT_EQ(timers.size(), 1u);
    EXPECT_EQ(timers[0].first, kDiscrRawDelayMs);
    EXPECT_TRUE(raws.empty());
    timers[0].second();
    ASSERT_EQ(raws.size(), 1u);
    ASSERT_EQ(raws[0].size(), 48);
    EXPECT_EQ(static_cast<uint8_t>(raws[0][0]), 0x37);
    EXPECT_EQ(static_cast<uint8_t>(raws[0][1]), 0x60);
    EXPECT_EQ(static_cast<uint8_t>(raws[0][47]), 0x99);

    screen.OnFrame(ANS_DISCR_WRITTEN, nullptr, 0);
    EXPECT_TRUE(screen.stopMoniLamp);
    EXPECT_FALSE(screen.UpdateVisible());
    EXPECT_FALSE(screen.WaitLamp());
    EXPECT_EQ(sent.back(), CMD_DISCR_COUNTS);

    // Right after the settings the first poll is out but not answered: Update and Default
    // wait for its answer rather than cross it on the line.
    for (const auto& [press, command] :
         {std::pair<void (DiscrScreen::*)(), uint16_t>{&DiscrScreen::Update, CMD_DISCR_WRITE},
          {&DiscrScreen::Default, CMD_DISCR_DEFAULTS}}) {
        DiscrScreen s(MakeLink(), false);
        s.Read();
        const auto block = encodeDiscrBlock(DiscrSettings{});
        s.OnFrame(ANS_DISCR_READ, block.data(), block.size());
        sent.clear();
        s.SetSetting(1, 1, 42);
        (s.*press)();
        EXPECT_TRUE(sent.empty()) << std::hex << command;
        const auto rec = CountsBytes(Counts(7));
        s.OnFrame(ANS_DISCR_COUNTS, rec.data(), rec.size());
        EXPECT_EQ(sent, std::vector<uint16_t>{command});
    }
}

// A failed poll restarts with 0xC030 and keeps the cycle; any other event closes with
// "Error" lit and leaves the document's "Stop MONI" alone. A short settings block is shown
// and fills nothing; "Default" before any read goes out at once instead of waiting for ever.
TEST_F(DiscrScreenTest, FailuresRestartCloseOrRefuse) {
    StartPolling();
    CountsAnswer(100);
    screen.Close();  // pending 0xC060, forgotten by the failure
    screen.OnStatus(CMD_DISCR_COUNTS, 0x6700);
    EXPECT_EQ(sent, std::vector<uint16_t>{CMD_DISCR_READ});
    EXPECT_EQ(screen.pendingCommand, kNoPendingCommand);
    EXPECT_EQ(screen.sampleIndex, 2);
    EXPECT_FALSE(screen.closed);
    Settings();
    EXPECT_EQ(sent.back(), CMD_DISCR_COUNTS);
    CountsAnswer(100);
    EXPECT_EQ(screen.sampleIndex, 3);

    monitoringStopped.reset();
    screen.OnStatus(CMD_DISCR_WRITE, 0x6700);
    EXPECT_TRUE(screen.errorLamp);
    EXPECT_EQ(screen.sampleIndex, -1);
    EXPECT_EQ(closes, 1);
    EXPECT_FALSE(monitoringStopped);

    DiscrScreen fresh(MakeLink(), false);
    sent.clear();
    const uint8_t shortBlock[20] = {};
    fresh.OnFrame(ANS_DISCR_READ, shortBlock, sizeof shortBlock);
    EXPECT_FALSE(fresh.channels[0].enabled);
    EXPECT_TRUE(fresh.errorLamp);
    EXPECT_EQ(fresh.message, "Discriminator settings too short: 20 of 48 bytes");
    EXPECT_TRUE(sent.empty());
    fresh.Default();
    EXPECT_EQ(sent, std::vector<uint16_t>{CMD_DISCR_DEFAULTS});
}

// ---- the window through the document against vm418-sim ----

namespace {

using namespace station;

ProtocolEvent Frame(uint16_t command, std::vector<uint8_t> data = {}) {
    ProtocolEvent e;
    e.command = command;
    e.length = static_cast<uint16_t>(data.size());
    e.data = std::move(data);
    e.data.push_back(0);
    return e;
}

class ScreenUi : public StationUi {
  public:
    void MessageBox(const QString& text) override { messages << text; }
    void SetStatusText(const QString&) override {}
    void PostCommand(int id) override {
        QTimer::singleShot(0, doc, [this, id] { doc->OnCommand(id); });
    }
    void ChooseSystem(const QString&,
                      std::function<void(std::optional<vm418::CSystemRset>)> chosen) override {
        chosen(row);
    }
    bool OpenDiscriminatorScreen() override {
        dialog = CDiscrDlg::Open(*doc, nullptr);
        return true;
    }
    void DiscriminatorEvent(const ProtocolEvent& event) override {
        if (dialog) dialog->OnEvent(event);
    }

    CVM418Doc* doc = nullptr;
    QPointer<CDiscrDlg> dialog;
    std::optional<vm418::CSystemRset> row;
    QStringList messages;
};

}  // namespace

// Opened while monitoring, the screen waits for the unit to stop monitoring, reads the
// settings, polls the counts until 30 samples give the statistics; an edited setting is
// written with "Update" and read back, "Default" restores the unit's own; "Close" leaves
// the screen and monitoring restarts.
TEST(DiscriminatorWindow, OpenReadCountUpdateReadBackCloseAgainstSimulator) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    const QString connection =
        "DRIVER=SQLite3;Database=" + dir.path() + "/vm418.db;JournalMode=WAL";
    ASSERT_EQ(vm418::createSchema(connection), vm418::kDbOk);
    ScreenUi ui;
    CVM418Doc doc(ui, dir.path() + "/");
    doc.records.connectionText = connection;
    ui.doc = &doc;
    vm418::CSystemRset row;
    row.SysID = 4;
    row.Modem = "555";
    row.Password = "pw";
    row.COMportSettings = "COM8 9600 0 0 8 3";
    ui.row = row;
    SimulatorProcess sim;
    ASSERT_TRUE(sim.Start(VM418_SIM_PATH, {"--password", "pw"}));
    setenv("VM418_COM8", sim.path().c_str(), 1);
    doc.SelectSystem();

    QTimer poll;  // the monitoring view's poll timer
    poll.callOnTimeout(&doc, [&doc] { doc.PollIfReady(); });
    poll.start(50);
    doc.OnCommand(ID_CALL);
    ASSERT_TRUE(waitUntil([&] { return doc.linkState == LINK_MONITORING; }, 30000));

    doc.OnCommand(ID_VIEW_DISCRIMINATOR);
    ASSERT_TRUE(ui.dialog);
    CDiscrDlg& dlg = *ui.dialog;
    EXPECT_EQ(dlg.windowTitle(), "Discriminator screen");
    EXPECT_EQ(dlg.ViewXtal()->count(), 16);
    EXPECT_EQ(dlg.ViewXtal()->itemText(15), "H2");
    EXPECT_FALSE(dlg.SettingEdit(0, 0)->isEnabled());
    // The unit stops monitoring, then the document asks for the settings.
    ASSERT_TRUE(waitUntil([&] { return dlg.SettingEdit(0, 0)->isEnabled(); }, 15000));
    EXPECT_EQ(doc.linkState, LINK_DISCRIMINATOR);
    EXPECT_EQ(dlg.SettingEdit(0, 0)->Number(), 18);  // the simulated unit's defaults
    EXPECT_EQ(dlg.SettingEdit(1, 1)->Number(), 59);
    EXPECT_EQ(dlg.SettingEdit(15, 2)->Number(), 85);
    EXPECT_FALSE(dlg.UpdateButton()->isVisibleTo(&dlg));
    EXPECT_FALSE(dlg.UpdateButton()->icon().isNull());  // "Update" shows its picture

    // Thirty polls, one a second.
    ASSERT_TRUE(waitUntil([&] { return !dlg.AverageText(15).isEmpty(); }, 80000));
    for (int ch = 0; ch < vm418::kDiscrChannels; ++ch) {
        EXPECT_GT(dlg.AverageText(ch).toInt(), 50) << ch;
        EXPECT_FALSE(dlg.CountText(ch).isEmpty());
        const double r = dlg.SpreadText(ch).toDouble();
        EXPECT_GT(r, 0.2) << ch;
        EXPECT_LT(r, 3.0) << ch;
    }
    EXPECT_GE(dlg.Graph().Points(), 30);
    EXPECT_FALSE(dlg.ErrorLamp());

    dlg.SettingEdit(0, 0)->setValue(37);
    EXPECT_TRUE(dlg.UpdateButton()->isVisibleTo(&dlg));
    dlg.UpdateButton()->click();
    EXPECT_TRUE(dlg.WaitLamp());
    ASSERT_TRUE(waitUntil([&] { return dlg.StopMoniLamp() && !dlg.WaitLamp(); }, 10000));
    EXPECT_FALSE(dlg.UpdateButton()->isVisibleTo(&dlg));

    // A change not written is replaced by what the unit holds.
    dlg.SettingEdit(1, 1)->setValue(44);
    dlg.ReadButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !dlg.WaitLamp(); }, 10000));
    EXPECT_EQ(dlg.SettingEdit(1, 1)->Number(), 59);
    EXPECT_EQ(dlg.SettingEdit(0, 0)->Number(), 37);

    // The unit's defaults replace what was written.
    dlg.DefaultButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !dlg.WaitLamp(); }, 10000));
    EXPECT_EQ(dlg.SettingEdit(0, 0)->Number(), 18);

    dlg.CloseButton()->click();
    ASSERT_TRUE(waitUntil([&] { return !doc.DiscriminatorScreenOpen(); }, 10000));
    EXPECT_TRUE(doc.monitoringStopped);
    ASSERT_TRUE(waitUntil([&] { return doc.linkState == LINK_MONITORING; }, 10000));
    EXPECT_TRUE(waitUntil([&] { return ui.dialog.isNull(); }, 5000));
    EXPECT_TRUE(ui.messages.isEmpty()) << ui.messages.join("\n").toStdString();
    doc.HangUp();
    unsetenv("VM418_COM8");
}

// The main window opens the screen for its document, hands it the document's frames, and
// tells the document when it has closed. Opened while monitoring, it waits for the settings
// the document asks for; Esc while polling waits for the unit as "Close" does.
TEST(DiscriminatorWindow, MainFrameOpensFeedsAndClosesTheScreen) {
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    CMainFrame frame("DRIVER=SQLite3;Database=" + dir.path() + "/vm418.db", dir.path() + "/");
    frame.NewDocument();  // not shown: no systems dialog
    CVM418Doc& doc = *frame.Document();
    // As the link delivers them: posted to the document, handled from the event loop.
    const auto deliver = [&doc](ProtocolEvent e) {
        QCoreApplication::postEvent(&doc, new ProtocolQEvent(std::make_unique<ProtocolEvent>(e)));
        QCoreApplication::sendPostedEvents(&doc);
    };
    doc.linkState = LINK_MONITORING;
    doc.OnCommand(ID_VIEW_DISCRIMINATOR);
    ASSERT_TRUE(doc.DiscriminatorScreenOpen());
    auto* dlg = frame.findChild<CDiscrDlg*>();
    ASSERT_NE(dlg, nullptr);
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_EQ(dlg->windowModality(), Qt::WindowModal);
    EXPECT_TRUE(dlg->WaitLamp());
    EXPECT_FALSE(dlg->CloseButton()->isEnabled());
    dlg->reject();
    EXPECT_TRUE(dlg->isVisible());

    DiscrSettings s{};
    s[4] = {12, 34, 56};
    const auto block = encodeDiscrBlock(s);
    deliver(Frame(ANS_DISCR_READ, {block.begin(), block.end()}));
    EXPECT_EQ(dlg->SettingEdit(4, 0)->Number(), 12);
    EXPECT_EQ(dlg->SettingEdit(4, 2)->Number(), 56);
    deliver(Frame(ANS_DISCR_COUNTS, CountsBytes(Counts(77))));
    EXPECT_EQ(dlg->CountText(9), "77");

    QPointer<CDiscrDlg> alive(dlg);
    dlg->reject();  // Esc
    EXPECT_TRUE(dlg->isVisible());
    EXPECT_TRUE(dlg->WaitLamp());
    deliver(Frame(ANS_DISCR_COUNTS, CountsBytes(Counts(78))));
    deliver(Frame(ANS_DISCR_LEFT));
    EXPECT_FALSE(doc.DiscriminatorScreenOpen());
    EXPECT_EQ(doc.linkState, LINK_OFF_LINE);  // no modem connection to resume on
    EXPECT_TRUE(waitUntil([&] { return alive.isNull(); }));
}
