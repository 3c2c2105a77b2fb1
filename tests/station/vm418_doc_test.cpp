// The station document without a window: against vm418-sim on a pseudo-terminal for the
// call, the on-connect sequence, downloads while monitoring, defaults and the modem's
// answers; with events handed in directly for the retry and wait rules.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdlib>
#include <ctime>

#include "console_ui.h"
#include "qt_wait.h"
#include "simulator_process.h"
#include "station_db.h"
#include "vm418_doc.h"

using namespace station;

// Texts in failure messages as text.
inline void PrintTo(const QString& s, std::ostream* os) { *os << '"' << s.toStdString() << '"'; }

namespace {

// What a window would show, recorded; posted commands come back through the event loop as
// the main window routes them; the monitoring view's 50 ms poll timer runs while asked.
class RecordingUi : public StationUi {
  public:
    void MessageBox(const QString& text) override { messages << text; }
    void SetStatusText(const QString& text) override { statuses << text; }
    void EventText(const QString& text) override { events << text; }
    void PostCommand(int id) override {
        posted.push_back(id);
        QTimer::singleShot(0, doc, [this, id] { doc->OnCommand(id); });
    }
    void UpdateAllViews(int hint, int, const QByteArray&) override { hints.push_back(hint); }
    void TransferOpened(FileTransferController& c) override {
        transfers << QString::fromStdString(c.caption);
        opened = &c;
    }
    void TransferChanged(const FileTransferController& c, const ProtocolEvent* cause) override {
        if (onTransferChanged && cause) onTransferChanged(c, *cause);
    }
    void DownloadEnded(const QString& caption, const QString&) override {
        if (onDownloadEnded) onDownloadEnded(caption);
    }
    void ChooseSystem(const QString&,
                      std::function<void(std::optional<vm418::CSystemRset>)> chosen) override {
        chosen(row);
    }
    void StartPolling() {
        poll.callOnTimeout(doc, [this] { doc->PollIfReady(); });
        poll.start(50);
    }
    int Count(int hint) const {
        return static_cast<int>(std::count(hints.begin(), hints.end(), hint));
    }
    qsizetype IndexOf(const QString& start) const {
        for (qsizetype i = 0; i < events.size(); ++i)
            if (events[i].startsWith(start)) return i;
        return -1;
    }

    CVM418Doc* doc = nullptr;
    FileTransferController* opened = nullptr;
    std::function<void(const FileTransferController&, const ProtocolEvent&)> onTransferChanged;
    std::function<void(const QString&)> onDownloadEnded;
    std::optional<vm418::CSystemRset> row;
    QStringList messages, statuses, events, transfers;
    std::vector<int> posted, hints;
    QTimer poll;
};

class DocTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        connection = "DRIVER=SQLite3;Database=" + dir.path() + "/vm418.db;JournalMode=WAL";
        ASSERT_EQ(vm418::createSchema(connection), vm418::kDbOk);
        doc = std::make_unique<CVM418Doc>(ui, dir.path() + "/");
        doc->records.connectionText = connection;
        ui.doc = doc.get();
        vm418::CSystemRset row;
        row.SysID = 3;
        row.Serial = "S-3";
        row.SystemDescription = "Gate 3";
        row.Modem = "555";
        row.Password = "pw";
        row.COMportSettings = "COM7 9600 0 0 8 3";
        ui.row = row;
    }
    void TearDown() override {
        doc.reset();
        sim.reset();
        unsetenv("VM418_COM7");
    }
    // The unit behind COM7, then the system chosen in the systems dialog.
    void StartSim(std::vector<std::string> args = {}) {
        args.insert(args.end(), {"--password", "pw"});
        sim = std::make_unique<SimulatorProcess>();
        ASSERT_TRUE(sim->Start(VM418_SIM_PATH, args));
        setenv("VM418_COM7", sim->path().c_str(), 1);
        doc->SelectSystem();
    }
    void CallUntilMonitoring() {
        ui.StartPolling();
        doc->OnCommand(ID_CALL);
        ASSERT_TRUE(waitUntil([&] { return doc->linkState == LINK_MONITORING; }, 15000))
            << ui.events.join("\n").toStdString();
    }
    int Rows(const QString& table) {
        vm418::DbConnection conn(connection);
        if (!conn.open()) return -1;
        QSqlQuery q("SELECT COUNT(*) FROM " + table, conn.db());
        return q.next() ? q.value(0).toInt() : -1;
    }

    QTemporaryDir dir;
    QString connection;
    RecordingUi ui;
    std::unique_ptr<CVM418Doc> doc;
    std::unique_ptr<SimulatorProcess> sim;
};

}  // namespace

// A call runs the on-connect sequence in its order (parameters, history, last alarm), each
// file handed to its view and stored, then monitoring polls the unit.
TEST_F(DocTest, CallRunsOnConnectInOrderThenMonitors) {
    StartSim();
    EXPECT_EQ(doc->title, "Gate 3,  Serial# S-3");
    ASSERT_EQ(vm418::saveSystem(connection, *ui.row), 0);
    doc->serial.dcb.BaudRate = 19200;  // as the serial settings dialog leaves them
    doc->protocol.SetModemInit("&F");
    ASSERT_EQ(doc->WriteBackSerialSettings(), 0);
    std::optional<vm418::CSystemRset> stored;
    ASSERT_EQ(vm418::readSystem(connection, 3, stored), 0);
    EXPECT_EQ(stored->COMportSettings, "COM7 19200 0 0 8 3");
    EXPECT_EQ(stored->InitString, "&F");
    doc->serial.dcb.BaudRate = 9600;
    EXPECT_TRUE(doc->IsCommandEnabled(ID_CALL));
    EXPECT_FALSE(doc->IsCommandEnabled(ID_DOWNLOAD_ALL));
    CallUntilMonitoring();
    EXPECT_EQ(ui.statuses, (QStringList{"Calling Gate 3  555", "Connected"}));
    EXPECT_EQ(ui.transfers, (QStringList{"Downloading parameters file", "Downloading history file",
                                         "Downloading last alarm"}));
    EXPECT_EQ(ui.Count(HINT_PARAMETERS), 1);
    EXPECT_EQ(ui.Count(HINT_HISTORY), 1);
    EXPECT_EQ(ui.Count(HINT_ALARMS), 1);
    for (int view : {ID_VIEW_PARAMETERS, ID_VIEW_HISTORY, ID_VIEW_ALARMS})
        EXPECT_NE(std::find(ui.posted.begin(), ui.posted.end(), view), ui.posted.end()) << view;
    EXPECT_TRUE(ui.messages.isEmpty()) << ui.messages.join("\n").toStdString();
    EXPECT_EQ(Rows("Parameters"), 1);
    EXPECT_GT(Rows("History"), 0);
    EXPECT_EQ(Rows("Alarms"), 1);
    ASSERT_TRUE(waitUntil([&] { return ui.Count(HINT_MONITORING) >= 3; }));
    EXPECT_FALSE(doc->IsCommandEnabled(ID_CALL));
    EXPECT_TRUE(doc->IsCommandEnabled(ID_DOWNLOAD_ALL));

    doc->OnCommand(ID_HANG_UP);
    EXPECT_EQ(doc->linkState, LINK_OFF_LINE);
    EXPECT_TRUE(doc->IsCommandEnabled(ID_CALL));
}

// While monitoring, a download waits for the unit to confirm that monitoring stopped; it
// starts monitoring again only when the command asked for it.
TEST_F(DocTest, DownloadWhileMonitoringWaitsForStopAndResumesOnlyWhenAsked) {
    StartSim();
    CallUntilMonitoring();
    ui.events.clear();
    int result = 0;
    doc->Download(DOWNLOAD_PARAMETERS, 0, [&](int r) { result = r; });
    EXPECT_EQ(doc->pendingAction, DOWNLOAD_PARAMETERS);
    ASSERT_TRUE(waitUntil([&] { return result != 0; }));
    EXPECT_EQ(result, IDOK);
    const auto stopped = ui.IndexOf("Command 0x40B0");
    ASSERT_GE(stopped, 0);
    EXPECT_LT(stopped, ui.IndexOf("Command 0x4004"));
    EXPECT_EQ(doc->linkState, LINK_CONNECTED);
    waitUntil([] { return false; }, 1000);
    EXPECT_EQ(doc->linkState, LINK_CONNECTED);  // not asked: monitoring stays off

    // "Get specific file": the dialog waits for the user's file name and "Start".
    doc->OnCommand(ID_GET_SPECIFIC_FILE);
    ASSERT_TRUE(doc->TransferDialogOpen());
    EXPECT_EQ(ui.transfers.last(), "Send specific file");
    EXPECT_FALSE(ui.opened->compact);
    ui.opened->fileName = "HIST";
    ui.opened->saveAs = (dir.path() + "/specific.418").toStdString();
    ASSERT_TRUE(ui.opened->Start());
    ASSERT_TRUE(waitUntil([&] { return !doc->TransferDialogOpen(); }));
    EXPECT_EQ(QFileInfo(dir.path() + "/specific.418").size(), 2800);

    // From the menu with monitoring wanted: it runs again afterwards.
    doc->OnCommand(ID_START_MONITORING);
    ASSERT_TRUE(waitUntil([&] { return doc->linkState == LINK_MONITORING; }));
    result = 0;
    doc->Download(DOWNLOAD_HISTORY, doc->monitorRetries, [&](int r) { result = r; });
    ASSERT_TRUE(waitUntil([&] { return result != 0; }));
    EXPECT_EQ(result, IDOK);
    EXPECT_TRUE(waitUntil([&] { return doc->linkState == LINK_MONITORING; }));

    // "Download all" for a call that hangs up once it has everything: monitoring stays off.
    result = 0;
    doc->DownloadAll([&](int r) { result = r; }, false);
    ASSERT_TRUE(waitUntil([&] { return result != 0; }, 30000));
    EXPECT_EQ(result, IDOK);
    waitUntil([] { return false; }, 1000);
    EXPECT_EQ(doc->linkState, LINK_CONNECTED);
}

// Defaults answered by 0x4010 read the unit's parameters back and light "Stop MONI";
// a block that fails validation is never written.
TEST_F(DocTest, DefaultsReadParametersBackAndABadBlockIsNeverWritten) {
    StartSim();
    CallUntilMonitoring();
    ui.transfers.clear();
    doc->OnCommand(ID_DEFAULT_PARAMETERS);
    ASSERT_TRUE(waitUntil([&] { return !ui.transfers.isEmpty() && !doc->TransferDialogOpen(); }));
    EXPECT_TRUE(doc->monitoringStopped);
    EXPECT_EQ(ui.transfers, QStringList{"Downloading parameters file"});
    EXPECT_GE(ui.IndexOf("Command 0x4010"), 0);

    std::memcpy(doc->records.parameters.Password, "xx", 3);
    ASSERT_EQ(doc->linkState, LINK_CONNECTED);
    const size_t outstanding = doc->protocol.OutstandingCount();
    doc->OnCommand(ID_WRITE_PARAMETERS);
    EXPECT_EQ(ui.messages, QStringList{"Parameters validation failed"});
    EXPECT_EQ(doc->protocol.OutstandingCount(), outstanding);
}

// The modem's answers: BUSY leaves the document off line with the reason in the status bar;
// "Call" is disabled while the call is being dialled.
TEST_F(DocTest, BusyIsShownAndLeavesTheDocumentOffLine) {
    StartSim({"--dial-result", "busy"});
    doc->OnCommand(ID_CALL);
    EXPECT_FALSE(doc->IsCommandEnabled(ID_CALL));
    ASSERT_TRUE(waitUntil([&] { return ui.statuses.size() == 2; }));
    EXPECT_EQ(ui.statuses.last(), "Disconnected BUSY");
    EXPECT_EQ(doc->linkState, LINK_OFF_LINE);
    EXPECT_TRUE(doc->IsCommandEnabled(ID_CALL));
}

// A unit without alarms, and a database that takes nothing: each is said, and monitoring
// still runs.
TEST_F(DocTest, UnitWithoutAlarmsAndAFailingStoreAreSaidSoAndMonitoringStillRuns) {
    StartSim({"--no-alarms"});
    doc->records.connectionText =
        "DRIVER=SQLite3;Database=" + dir.path() + "/no/such/folder/vm418.db";
    CallUntilMonitoring();
    EXPECT_EQ(ui.messages, QStringList{"VM418 has no alarms"});
    EXPECT_EQ(ui.Count(HINT_ALARMS), 0);
    EXPECT_EQ(doc->storeFailures, 2);  // the parameters and the history
    EXPECT_EQ(ui.statuses.filter(QRegularExpression("^Database error - .+")).size(), 2)
        << ui.statuses.join('\n').toStdString();
    EXPECT_EQ(Rows("Parameters"), 0);
}

// A port that cannot be opened is said so, and a download asked for off line does nothing
// and says so in the log.
TEST_F(DocTest, PortThatCannotBeOpenedIsSaidSoAndNothingIsDownloaded) {
    setenv("VM418_COM7", "/dev/no-such-station-port", 1);
    doc->SelectSystem();
    doc->OnCommand(ID_CALL);
    // The box's text alone; which device failed, and why, the status bar says.
    EXPECT_EQ(ui.messages, QStringList{"Can't open COM port"});
    ASSERT_FALSE(ui.statuses.isEmpty());
    EXPECT_TRUE(ui.statuses.last().startsWith("/dev/no-such-station-port: "))
        << ui.statuses.last().toStdString();
    EXPECT_EQ(doc->linkState, LINK_OFF_LINE);

    static QStringList logged;
    const auto previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext& context, const QString& text) {
            if (QByteArray(context.category) == "station.link") logged << text;
        });
    int result = 0;
    doc->Download(DOWNLOAD_HISTORY, 0, [&](int r) { result = r; });
    qInstallMessageHandler(previous);
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_FALSE(doc->TransferDialogOpen());
    EXPECT_EQ(logged, QStringList{"Download not started: off line"});
}

// Six time-outs of the monitoring poll in a row: five automatic restarts, then connected
// and idle with the error lamp; an answer in between resets the count. Each event's text
// goes to the program's log, the restarted ones too.
TEST_F(DocTest, SixPollTimeoutsGiveFiveRestartsThenIdle) {
    static QStringList logged;
    logged.clear();
    QLoggingCategory::setFilterRules("station.link.info=true");  // off unless asked for
    const auto previous = qInstallMessageHandler(
        [](QtMsgType, const QMessageLogContext& context, const QString& text) {
            if (QByteArray(context.category) == "station.link") logged << text;
        });
    const auto timeout = [&] {
        ProtocolEvent e;
        e.command = 0xC0A1;
        e.status = XLNK_ERR_TIMEOUT;
        doc->OnProtocolEvent(e);
    };
    doc->linkState = LINK_MONITORING;
    doc->monitorRetries = 1;
    timeout();
    ProtocolEvent answer;
    answer.command = 0x40A1;
    doc->OnProtocolEvent(answer);
    EXPECT_EQ(doc->monitorRetries, 1);
    for (int i = 0; i < 5; ++i) {
        timeout();
        EXPECT_EQ(doc->lastStatus, 0);
    }
    EXPECT_EQ(doc->monitorRetries, 6);
    timeout();
    EXPECT_EQ(doc->monitorRetries, 6);
    EXPECT_EQ(doc->lastStatus, XLNK_ERR_TIMEOUT);
    EXPECT_EQ(doc->linkState, LINK_CONNECTED);
    EXPECT_EQ(ui.events.last(), "Error: Timeout command 0xC0A1");
    qInstallMessageHandler(previous);
    QLoggingCategory::setFilterRules({});
    EXPECT_EQ(logged.filter("Error: Timeout command 0xC0A1").size(), 7)
        << logged.join('\n').toStdString();
}

// The texts of the events, as the status bar and the log show them.
TEST_F(DocTest, EventTexts) {
    const std::tuple<uint16_t, uint16_t, QString> cases[] = {
        {XLNK_ERR_MODEM + 3, 0xFFFF, "Disconnected NO CARRIER"},
        {XLNK_ERR_MODEM + 4, 0xFFFF, "Disconnected  Modem (command) ERROR"},
        {XLNK_ERR_MODEM + 9, 0xFFFF, "Disconnected NO DIAL TOINE"},
        {XLNK_ERR_MODEM, 0xFFFF, "Disconnected "},
        {XLNK_ERR_PORT_LOST, 0xFFFF, "Disconnected  port lost"},
        {XLNK_MODEM_CONNECTED, 0xFFFF, "Connected"},
        {XLNK_ERR_TIMEOUT, 0xC0A1, "Error: Timeout command 0xC0A1 "},
        {XLNK_ERR_FILE_TRANSFER_INTERRUPTED, 0xC00B, "XLNK_ERR_FILE_TRANSFER_INTERRUPTED"},
        {XLNK_ERR_UNEXPECTED_COMMAND, 0x40A1, "Error: Unexpected command 0x40A1 "},
        {XLNK_ERR_CHECKSUM, 0xC0A1, "Error: Error ID 0x6D00 command ID 0xC0A1 "},
    };
    for (const auto& [status, command, text] : cases)
        EXPECT_EQ(EventText(status, command), text) << std::hex << status;
}

// Waits do not block: protocol events that arrive during one are handled after it, in
// their order, none dropped. The whole frame is kept, also one longer than 1024 bytes.
TEST_F(DocTest, EventsDuringAWaitAreHandledAfterItInOrder) {
    // No port: the request cannot be sent, and the error lamp's second is a wait.
    doc->linkState = LINK_CONNECTED;
    doc->Download(DOWNLOAD_HISTORY, 0);
    ASSERT_TRUE(doc->Waiting(CVM418Doc::WaitFor::Transfer));
    for (const char* text : {"one", "two", "three"}) {
        auto e = std::make_unique<ProtocolEvent>();
        e->length = static_cast<uint16_t>(std::strlen(text));
        e->data.assign(text, text + e->length + 1);
        QCoreApplication::postEvent(doc.get(), new ProtocolQEvent(std::move(e)));
    }
    QCoreApplication::processEvents();
    EXPECT_TRUE(ui.events.isEmpty());
    ASSERT_TRUE(waitUntil([&] { return ui.events.size() == 3; }));
    EXPECT_EQ(ui.events, (QStringList{"Raw data: one", "Raw data: two", "Raw data: three"}));

    ProtocolEvent block;
    block.command = 0xC00B;
    block.length = 1034;
    block.data.assign(1035, 0x42);
    doc->OnProtocolEvent(block);
    EXPECT_EQ(doc->lastFrameData.size(), 1034);
}

// The command line's wait for the document sleeps between events (it used to keep a core
// busy through every call), and still wakes for the event it waits for and at its limit.
TEST(RunEventsUntilTest, SleepsBetweenEventsAndEndsAtTheEventOrTheLimit) {
    const auto cpuMs = [] {
        timespec t{};
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
        return t.tv_sec * 1000.0 + t.tv_nsec / 1e6;
    };
    bool fired = false;
    QTimer::singleShot(600, [&] { fired = true; });
    const double before = cpuMs();
    EXPECT_TRUE(cli::RunEventsUntil([&] { return fired; }, 60000));
    EXPECT_LT(cpuMs() - before, 100);
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(cli::RunEventsUntil([] { return false; }, 300));
    EXPECT_GE(t.elapsed(), 300);
    EXPECT_LT(t.elapsed(), 5000);
}

// "Open files" imports the downloaded files of the working folder for the document's
// system, with the messages of a download's hand-over; a file that is missing is said so and
// the others are still stored.
TEST_F(DocTest, OpenFilesImportsTheFolderForTheSystem) {
    doc->OnCommand(ID_OPEN_FILES);  // no system selected yet
    EXPECT_EQ(ui.statuses.last(), "Open files: no system is selected");
    doc->SelectSystem();
    for (const char* name : {"sys_par.418", "history.418", "alarmfi.418"})
        ASSERT_TRUE(QFile::copy(QString(STATION_TEST_DATA "/download/") + name,
                                dir.path() + "/" + name));
    doc->OnCommand(ID_OPEN_FILES);
    EXPECT_TRUE(ui.messages.isEmpty()) << ui.messages.join('\n').toStdString();
    EXPECT_EQ(Rows("Parameters"), 1);
    EXPECT_EQ(Rows("Alarms"), 3);
    const int events = Rows("History");
    EXPECT_GT(events, 0);
    EXPECT_EQ(ui.Count(HINT_ALARMS), 1);
    vm418::DbConnection conn(connection);
    ASSERT_TRUE(conn.open());
    QSqlQuery q("SELECT COUNT(*) FROM Alarms WHERE SysID = 3", conn.db());
    ASSERT_TRUE(q.next());
    EXPECT_EQ(q.value(0).toInt(), 3);

    ASSERT_TRUE(QFile::remove(dir.path() + "/history.418"));
    doc->OnCommand(ID_OPEN_FILES);
    ASSERT_EQ(ui.messages.size(), 1);
    EXPECT_TRUE(ui.messages[0].startsWith("Can't read history file ")) << ui.messages[0].toStdString();
    EXPECT_EQ(Rows("Alarms"), 3);  // nothing twice
    EXPECT_EQ(Rows("History"), events);
}

// ---- an operator who clicks at any moment ----

// Abort pressed during the error lamp's second, and pressed twice: the transfer ends once,
// with the reason, and no wait is left holding the dialog that has gone (which the address
// sanitizer run would report).
TEST_F(DocTest, AbortDuringTheErrorWaitAndTwiceEndsTheTransferOnce) {
    doc->linkState = LINK_CONNECTED;  // no port: the request cannot be sent
    int result = 0, calls = 0;
    doc->Download(DOWNLOAD_HISTORY, 0, [&](int r) {
        result = r;
        ++calls;
    });
    ASSERT_TRUE(doc->TransferDialogOpen());
    ASSERT_TRUE(doc->Waiting(CVM418Doc::WaitFor::Transfer));
    ui.opened->Abort();
    ui.opened->Abort();
    ASSERT_TRUE(waitUntil([&] { return calls > 0; }));
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_FALSE(doc->TransferDialogOpen());
    EXPECT_FALSE(doc->Waiting());
    waitUntil([] { return false; }, 1500);  // a wait left behind would run here
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(doc->downloadFailures,
              QStringList{"Downloading history file: failed - XLNK_ERR_FILE_TRANSFER_INTERRUPTED"});
}

// While the on-connect downloads run, and while a request waits for monitoring to stop, a
// request of the menu or the monitoring view is refused with a status text instead of
// breaking in; the discriminator opening, the Write and the Default that waited are carried
// out. A hang-up during the discriminator screen's close wait leaves the document off line.
TEST_F(DocTest, RequestsThatWouldBreakInAreRefusedAndTheWaitingOneIsCarriedOut) {
    StartSim();
    ui.StartPolling();
    doc->OnCommand(ID_CALL);
    // "Download alarm file" chosen in the pause after connecting and as each of the three
    // downloads ends (the next step follows it at once).
    int pauses = 0;
    ui.onDownloadEnded = [&](const QString&) {
        ++pauses;
        doc->OnCommand(ID_DOWNLOAD_ALARM_FILE);
    };
    ASSERT_TRUE(waitUntil(
        [&] {
            if (doc->Waiting(CVM418Doc::WaitFor::Step) && ui.transfers.isEmpty() && pauses == 0) {
                ++pauses;
                doc->OnCommand(ID_DOWNLOAD_ALARM_FILE);
            }
            return doc->linkState == LINK_MONITORING;
        },
        15000));
    ui.onDownloadEnded = nullptr;
    EXPECT_EQ(pauses, 4);
    EXPECT_EQ(ui.statuses.filter("Download alarm file not done: the unit is busy with the "
                                 "on-connect downloads")
                  .size(),
              4)
        << ui.statuses.join('\n').toStdString();
    EXPECT_EQ(ui.transfers, (QStringList{"Downloading parameters file", "Downloading history file",
                                         "Downloading last alarm"}));
    EXPECT_TRUE(doc->downloadFailures.isEmpty()) << doc->downloadFailures.join('\n').toStdString();

    // A new alarm flagged while a Write, a Default or the discriminator screen waits.
    const QString refused = "Download last alarm not done: the unit is busy with a request "
                            "waiting for monitoring to stop";
    for (const int request : {ID_WRITE_PARAMETERS, ID_DEFAULT_PARAMETERS}) {
        SCOPED_TRACE(request);
        ASSERT_TRUE(waitUntil([&] { return doc->linkState == LINK_MONITORING; }, 10000));
        ui.transfers.clear();
        doc->OnCommand(request);
        ASSERT_NE(doc->pendingAction, 0);
        doc->OnCommand(ID_DOWNLOAD_LAST_ALARM);
        EXPECT_EQ(ui.statuses.last(), refused);
        // The unit confirms the block or the defaults: the parameters are read back.
        ASSERT_TRUE(waitUntil([&] { return !ui.transfers.isEmpty() && !doc->TransferDialogOpen(); },
                              15000));
        EXPECT_EQ(ui.transfers, QStringList{"Downloading parameters file"});
        doc->OnCommand(ID_START_MONITORING);
    }
    ASSERT_TRUE(waitUntil([&] { return doc->linkState == LINK_MONITORING; }, 10000));
    doc->OnCommand(ID_VIEW_DISCRIMINATOR);
    ASSERT_EQ(doc->pendingAction, LINK_DISCRIMINATOR);
    doc->OnCommand(ID_DOWNLOAD_LAST_ALARM);
    EXPECT_EQ(ui.statuses.last(), refused);
    EXPECT_EQ(doc->pendingAction, LINK_DISCRIMINATOR);
    ASSERT_TRUE(waitUntil([&] { return doc->linkState == LINK_DISCRIMINATOR; }));

    doc->DiscriminatorScreenClosed();
    doc->OnCommand(ID_HANG_UP);
    waitUntil([] { return false; }, 600);  // past the close wait
    EXPECT_EQ(doc->linkState, LINK_OFF_LINE);
    EXPECT_TRUE(doc->IsCommandEnabled(ID_CALL));
    EXPECT_TRUE(doc->downloadFailures.isEmpty()) << doc->downloadFailures.join('\n').toStdString();
}

// A poll that times out restarts monitoring: 0xC0A0 goes out on the line and the unit's
// answer brings monitoring back. A unit whose line is cut in the middle of a file ends the
// download with "Disconnected  port lost" and leaves the document off line.
TEST_F(DocTest, PollTimeoutRestartsMonitoringOnTheLineAndALostLineEndsTheDownload) {
    StartSim({"--vanish-after-block", "5"});
    CallUntilMonitoring();
    ui.events.clear();
    ProtocolEvent timeout;
    timeout.command = 0xC0A1;
    timeout.status = XLNK_ERR_TIMEOUT;
    doc->OnProtocolEvent(timeout);
    EXPECT_EQ(doc->monitorRetries, 2);
    ASSERT_TRUE(waitUntil([&] { return ui.IndexOf("Command 0x40A0") >= 0; }))
        << ui.events.join('\n').toStdString();
    ASSERT_TRUE(waitUntil([&] { return doc->monitorRetries == 1; }));  // answers again
    EXPECT_EQ(doc->linkState, LINK_MONITORING);

    int result = 0;
    doc->Download(DOWNLOAD_ALARM_FILE, doc->monitorRetries, [&](int r) { result = r; });
    ASSERT_TRUE(waitUntil([&] { return result != 0; }, 15000));
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_FALSE(doc->TransferDialogOpen());
    EXPECT_EQ(doc->linkState, LINK_OFF_LINE);
    EXPECT_EQ(doc->downloadFailures,
              QStringList{"Downloading alarm file: failed - Disconnected  port lost"});
    EXPECT_TRUE(doc->IsCommandEnabled(ID_CALL));
}

// A hang-up in the middle of a file ends the download with its reason; the next call's
// on-connect downloads all run. Hanging up and calling again while a download's restart of
// monitoring is due sends nothing into the new call's modem dialogue.
TEST_F(DocTest, HangUpMidFileThenCallAgainAndNothingOfTheOldCallReachesTheNew) {
    StartSim({"--stall-after-block", "3", "--stall-ms", "3000"});  // only the alarm file has 4
    CallUntilMonitoring();
    ui.onTransferChanged = [this](const FileTransferController& c, const ProtocolEvent& e) {
        if (c.caption == "Downloading alarm file" && e.command == CMD_FILE_BLOCK)
            QTimer::singleShot(0, doc.get(), [this] { doc->OnCommand(ID_HANG_UP); });
    };
    int result = 0;
    doc->Download(DOWNLOAD_ALARM_FILE, doc->monitorRetries, [&](int r) { result = r; });
    ASSERT_TRUE(waitUntil([&] { return result != 0; }));
    EXPECT_EQ(result, IDCANCEL);
    EXPECT_FALSE(doc->TransferDialogOpen());
    EXPECT_EQ(doc->linkState, LINK_OFF_LINE);
    EXPECT_EQ(doc->downloadFailures, QStringList{"Downloading alarm file: failed - hung up"});

    ui.onTransferChanged = nullptr;
    ui.transfers.clear();
    // Called again at once: the line stays down a moment first, so the modem takes the
    // hang-up for one.
    doc->OnCommand(ID_CALL);
    EXPECT_LT(doc->serial.Handle(), 0);
    EXPECT_TRUE(doc->Waiting(CVM418Doc::WaitFor::Dial));
    EXPECT_FALSE(doc->IsCommandEnabled(ID_CALL));
    ASSERT_TRUE(waitUntil([&] { return doc->linkState == LINK_MONITORING; }, 15000))
        << ui.events.join("\n").toStdString();
    EXPECT_EQ(ui.transfers, (QStringList{"Downloading parameters file", "Downloading history file",
                                         "Downloading last alarm"}));
    EXPECT_EQ(doc->downloadFailures.size(), 1);

    // A unit whose modem never answers stands for the new call's dialogue.
    SimulatorProcess silent;
    ASSERT_TRUE(silent.Start(VM418_SIM_PATH, {"--silent-modem"}));
    ui.onDownloadEnded = [&](const QString&) {
        QTimer::singleShot(0, doc.get(), [&] {
            doc->OnCommand(ID_HANG_UP);
            doc->serial.port = silent.path();
            doc->OnCommand(ID_CALL);
        });
    };
    result = 0;
    doc->Download(DOWNLOAD_HISTORY, 1, [&](int r) { result = r; });
    ASSERT_TRUE(waitUntil([&] { return result != 0; }));
    EXPECT_EQ(result, IDOK);  // the file came; only the restart of monitoring was dropped
    waitUntil([] { return false; }, 900);
    // The modem's AT only: no command of the old call went into the new call's dialogue.
    EXPECT_EQ(doc->protocol.OutstandingCount(), 1u);
    ui.onDownloadEnded = nullptr;
    doc->OnCommand(ID_HANG_UP);
}
