// The station window over its document, offscreen, against vm418-sim: the menus as they
// stand, the systems dialog, a call until the monitoring view shows the unit's values, and
// the command enabling of the menus.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include "alarm_view.h"
#include "hist_view.h"
#include "main_frame.h"
#include "monitoring_view.h"
#include "port_settings_text.h"
#include "qt_wait.h"
#include "simulator_process.h"
#include "station_db.h"
#include "station_dialogs.h"
#include "suite_version.h"
#include "vm418_doc.h"

using namespace station;

namespace {

// A modal dialog the test fails to answer is closed after a while, so that the test fails
// on its assertions instead of waiting for ever.
void CloseStrayModalDialogsAfter(int ms) {
    QTimer::singleShot(ms, [] {
        while (QWidget* w = QApplication::activeModalWidget())
            w->close();
    });
}

QStringList Texts(const QComboBox* box) {
    QStringList out;
    for (int i = 0; i < box->count(); ++i)
        out << box->itemText(i);
    return out;
}

QStringList Texts(const QList<QAction*>& actions) {
    QStringList out;
    for (const QAction* a : actions)
        if (!a->isSeparator() && a->isVisible()) out << a->text();
    return out;
}

QMenu* MenuOf(QMainWindow& frame, const QString& title) {
    for (QAction* a : frame.menuBar()->actions())
        if (a->isVisible() && a->text() == title) return a->menu();
    return nullptr;
}

}  // namespace

TEST(StationWindow, MenusSystemsDialogCallAndMonitoringView) {
    QTemporaryDir dir;
    const QString db = "DRIVER=SQLite3;Database=" + dir.path() + "/vm418.db;JournalMode=WAL";
    ASSERT_EQ(vm418::createSchema(db), vm418::kDbOk);
    for (int id : {3, 4}) {
        vm418::CSystemRset row;
        row.SysID = id;
        row.Serial = QString("S-%1").arg(id);
        row.SystemDescription = QString("Gate %1").arg(id);
        row.Modem = QString("55%1").arg(id);
        row.Password = "pw";
        row.COMportSettings = "COM7 9600 0 0 8 3";
        ASSERT_EQ(vm418::saveSystem(db, row), 0);
    }
    SimulatorProcess sim;
    ASSERT_TRUE(sim.Start(VM418_SIM_PATH, {"--password", "pw"}));
    setenv("VM418_COM7", sim.path().c_str(), 1);

    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    CMainFrame frame(db, dir.path() + "/");
    EXPECT_EQ(frame.windowTitle(), "418vLINK");
    // Without a document: the menus of no document.
    EXPECT_EQ(Texts(frame.menuBar()->actions()), (QStringList{"&File", "&View", "&Help"}));
    ASSERT_NE(MenuOf(frame, "&File"), nullptr);
    EXPECT_EQ(Texts(MenuOf(frame, "&File")->actions()),
              (QStringList{"&New", "P&rint Setup...", "E&xit"}));
    EXPECT_EQ(Texts(MenuOf(frame, "&View")->actions()), (QStringList{"&Toolbar", "&Status Bar"}));
    // The program's own icon in every size drawn for it (Qt's stock icons have other sizes).
    EXPECT_EQ(
        frame.windowIcon().availableSizes(),
        (QList<QSize>{
            {16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}}));
    QString about;
    QTimer::singleShot(100, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* box = qobject_cast<QMessageBox*>(w); box && box->isVisible())
                about = box->text(), box->accept();
    });
    MenuOf(frame, "&Help")->actions().value(0)->trigger();
    EXPECT_EQ(about, "418vLINK\nVersion 1.0\n\nvm418station " SUITE_VERSION);

    // The first frame asks for a system: the second row is chosen in the grid.
    bool dialogSeen = false;
    QTimer chooser;
    chooser.callOnTimeout([&] {
        for (QWidget* w : QApplication::topLevelWidgets()) {
            auto* systems = dynamic_cast<CSystemsDlg*>(w);
            if (!systems || !systems->isVisible()) continue;
            dialogSeen = true;
            EXPECT_EQ(systems->windowTitle(), "418vLINK - Select system");
            EXPECT_EQ(systems->Grid()->model()->headerData(2, Qt::Horizontal).toString(),
                      "System Name");
            systems->Grid()->selectRow(1);
            systems->Select();
        }
    });
    chooser.start(20);
    CloseStrayModalDialogsAfter(10000);
    frame.show();
    MenuOf(frame, "&File")->actions()[0]->trigger();  // "&New"
    ASSERT_NE(frame.Document(), nullptr);
    EXPECT_EQ(Texts(frame.menuBar()->actions()),
              (QStringList{"System", "Dowload", "&View", "&Window", "&Help"}));
    EXPECT_EQ(Texts(MenuOf(frame, "Dowload")->actions()),
              (QStringList{"Download parameters file", "Download history file",
                           "Download alarm file", "Download all files", "Download last alarm",
                           "Download previous alarm", "Download next alarm"}));
    ASSERT_TRUE(waitUntil([&] { return frame.Document()->systemId == 4; }));
    chooser.stop();
    EXPECT_TRUE(dialogSeen);
    EXPECT_EQ(frame.RecentSystems(), QStringList{"4  Gate 4"});
    EXPECT_TRUE(frame.Action(ID_CALL)->isEnabled());
    EXPECT_FALSE(frame.Action(ID_DOWNLOAD_ALL)->isEnabled());

    frame.Action(ID_CALL)->trigger();
    EXPECT_FALSE(frame.Action(ID_CALL)->isEnabled());  // while dialling
    CVM418View* view = frame.MonitoringView();
    ASSERT_TRUE(waitUntil([&] { return !view->DateText().isEmpty(); }, 20000))
        << frame.StatusMessage().toStdString();
    EXPECT_EQ(frame.StatusMessage(), "Connected");
    EXPECT_EQ(view->Caption(), "Gate 4,  Serial# S-4  - MONITORING [Connected]");
    EXPECT_EQ(view->StatusText(), "Monitoring region AB");
    EXPECT_TRUE(frame.Action(ID_DOWNLOAD_ALL)->isEnabled());

    // The document's menus; the recent system is offered, but not while connected.
    EXPECT_EQ(Texts(MenuOf(frame, "System")->actions()),
              (QStringList{"Select system", "Call", "Hang up", "COM port and modem setup",
                           "Change period of displayed data", "Print...", "Print Preview",
                           "Print Setup...", "Print to PDF...", "Export CSV...", "Export N42...",
                           "&1 Gate 4", "E&xit"}));
    EXPECT_EQ(Texts(MenuOf(frame, "&View")->actions()),
              (QStringList{"View alarms", "View history", "View parameters",
                           "View discriminator screen"}));
    ASSERT_EQ(frame.RecentActions().size(), 1u);
    EXPECT_FALSE(frame.RecentActions()[0]->isEnabled());
    {
        // Another database has recent systems of its own.
        CMainFrame other(db + ";Timeout=1000", dir.path() + "/");
        EXPECT_TRUE(other.RecentSystems().isEmpty());
    }

    // Connected, the alarm and history views ask for no period and show what the document
    // holds; "Change period" serves the parameter view only. Closing the alarm view's frame
    // leaves the other views open.
    ASSERT_TRUE(waitUntil([&] { return frame.Document()->pendingAction == 0; }, 20000));
    bool periodAsked = false;
    QTimer periodWatch;
    periodWatch.callOnTimeout([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = dynamic_cast<CTimePeriodDlg*>(w); d && d->isVisible()) {
                periodAsked = true;
                d->reject();
            }
    });
    periodWatch.start(20);
    const int alarmsHeld = static_cast<int>(frame.Document()->records.alarmMap.size());
    const int eventsHeld = static_cast<int>(frame.Document()->records.historyMap.size());
    frame.Action(ID_VIEW_ALARMS)->trigger();
    frame.Action(ID_VIEW_HISTORY)->trigger();
    auto* alarms = dynamic_cast<CAlarmView*>(frame.DataView(ID_VIEW_ALARMS));
    auto* history = dynamic_cast<CHistView*>(frame.DataView(ID_VIEW_HISTORY));
    ASSERT_TRUE(alarms && history);
    EXPECT_FALSE(periodAsked);
    EXPECT_EQ(alarms->Rows().rowCount(), alarmsHeld);
    EXPECT_EQ(history->Rows().rowCount(), eventsHeld);
    EXPECT_EQ(alarms->Caption(), "Gate 4,  Serial# S-4  - ALARMS [Connected]");
    EXPECT_EQ(history->parentWidget()->windowTitle(),
              "Gate 4,  Serial# S-4  - HISTORY [Connected]");
    EXPECT_FALSE(frame.ChangePeriodAction()->isEnabled());
    frame.Action(ID_VIEW_PARAMETERS)->trigger();
    ASSERT_NE(frame.DataView(ID_VIEW_PARAMETERS), nullptr);
    EXPECT_TRUE(frame.ChangePeriodAction()->isEnabled());
    for (QWidget* v : {static_cast<QWidget*>(view), static_cast<QWidget*>(alarms),
                       static_cast<QWidget*>(history),
                       static_cast<QWidget*>(frame.DataView(ID_VIEW_PARAMETERS))})
        EXPECT_TRUE(v->parentWidget()->testAttribute(Qt::WA_SetWindowIcon));  // the frames' icons
    periodWatch.stop();
    alarms->parentWidget()->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(frame.DataView(ID_VIEW_ALARMS), nullptr);
    EXPECT_EQ(frame.DataView(ID_VIEW_HISTORY), history);
    EXPECT_NE(frame.DataView(ID_VIEW_PARAMETERS), nullptr);
    EXPECT_EQ(frame.MonitoringView(), view);

    // A monitoring answer that flags a new alarm (W1 bit 0) makes the view ask for the last
    // alarm; the document stops monitoring before it downloads it, then monitors again.
    // The probe goes before the document does: its poll timer would call a closed one.
    std::vector<int> posted;
    {
        CVM418View probe(*frame.Document(), [&](int id) { posted.push_back(id); });
        QByteArray record(84, '\0');
        record[32] = 0x01;  // W1 = 0x8001, little-endian
        record[33] = static_cast<char>(0x80);
        probe.OnUpdate(0x40A1, record);
        EXPECT_EQ(probe.StatusText(), "Monitoring region AB");
    }
    ASSERT_EQ(posted, std::vector<int>{ID_DOWNLOAD_LAST_ALARM});
    frame.Action(posted[0])->trigger();
    EXPECT_EQ(frame.Document()->pendingCommand, 0xC0B0);  // stop monitoring
    EXPECT_EQ(frame.Document()->pendingAction, DOWNLOAD_LAST_ALARM);
    QPointer<CFileTransDlg> lastAlarm;
    ASSERT_TRUE(waitUntil(
        [&] {
            lastAlarm = frame.findChild<CFileTransDlg*>();
            return lastAlarm && lastAlarm->isVisible();
        },
        15000));
    EXPECT_EQ(lastAlarm->windowTitle(), "Downloading last alarm");
    ASSERT_TRUE(waitUntil([&] { return frame.Document()->linkState == LINK_MONITORING; }, 20000))
        << frame.StatusMessage().toStdString();
    frame.Action(ID_HANG_UP)->trigger();
    EXPECT_TRUE(frame.RecentActions()[0]->isEnabled());
    frame.Action(ID_CALL)->trigger();
    ASSERT_TRUE(waitUntil([&] { return frame.Document()->linkState == LINK_MONITORING; }, 20000))
        << frame.StatusMessage().toStdString();
    ASSERT_TRUE(waitUntil([&] { return view->Graph().Points() >= 5; }));
    EXPECT_FALSE(view->BackgroundText(0).isEmpty());
    EXPECT_FALSE(view->ErrorLamp());
    if (const QString shot = qEnvironmentVariable("STATION_WINDOW_SHOT"); !shot.isEmpty())
        frame.grab().save(shot);

    // A download's dialog is modal on the frame; Esc aborts the download, and the dialog
    // stays until the transfer has ended, then monitoring runs again.
    frame.Action(ID_DOWNLOAD_ALARM_FILE)->trigger();
    QPointer<CFileTransDlg> transfer;
    ASSERT_TRUE(waitUntil([&] {
        transfer = frame.findChild<CFileTransDlg*>();
        return transfer && transfer->isVisible();
    }));
    EXPECT_EQ(transfer->windowModality(), Qt::WindowModal);
    transfer->reject();
    EXPECT_TRUE(transfer && transfer->isVisible());
    ASSERT_TRUE(waitUntil([&] { return transfer.isNull(); }, 10000))
        << frame.StatusMessage().toStdString() << " linkState " << frame.Document()->linkState;
    EXPECT_EQ(frame.StatusMessage(), "Downloading alarm file: failed - aborted");
    EXPECT_TRUE(waitUntil([&] { return frame.Document()->linkState == LINK_MONITORING; }));

    frame.Action(ID_HANG_UP)->trigger();
    EXPECT_EQ(view->Caption(), "Gate 4,  Serial# S-4  - MONITORING [Off Line]");

    // Closing the first frame while connected hangs up and closes the document with its
    // data views; the menus of no document come back, and "&New" opens one that calls again.
    frame.Action(ID_CALL)->trigger();
    ASSERT_TRUE(waitUntil([&] { return frame.Document()->linkState == LINK_MONITORING; }, 20000))
        << frame.StatusMessage().toStdString() << " linkState " << frame.Document()->linkState;
    frame.Action(ID_VIEW_ALARMS)->trigger();
    ASSERT_NE(frame.DataView(ID_VIEW_ALARMS), nullptr);
    view->parentWidget()->close();
    // A closed frame goes when the event loop comes round again (deferred delete).
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    ASSERT_EQ(frame.Document(), nullptr);
    EXPECT_EQ(frame.MonitoringView(), nullptr);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(frame.DataView(ID_VIEW_ALARMS), nullptr);
    EXPECT_EQ(Texts(frame.menuBar()->actions()), (QStringList{"&File", "&View", "&Help"}));
    EXPECT_FALSE(frame.Action(ID_CALL)->isEnabled());
    chooser.start(20);
    MenuOf(frame, "&File")->actions()[0]->trigger();
    ASSERT_TRUE(waitUntil([&] { return frame.Document()->systemId == 4; }));
    chooser.stop();
    frame.Action(ID_CALL)->trigger();  // the port was given back by the closed document
    ASSERT_TRUE(waitUntil([&] { return frame.Document()->linkState == LINK_MONITORING; }, 20000))
        << frame.StatusMessage().toStdString();
    frame.Action(ID_HANG_UP)->trigger();
    unsetenv("VM418_COM7");
}

// The serial settings dialog's lists and choices, its write-back on any close; the period
// dialog that only OK changes; the date-pick dialog of a station without stored blocks.
TEST(StationWindow, SettingsPeriodAndDatePickDialogs) {
    const PortSettings none = ParsePortSettingsText("COM2 19200 0 0 8 3");
    CSerialSettingsDlg dialog(none.port, none.line, "");
    EXPECT_EQ(dialog.windowTitle(), "Serial port settings");
    EXPECT_EQ(dialog.portBox->currentText(), "COM2");
    EXPECT_EQ(dialog.baudBox->count(), 16);
    EXPECT_EQ(dialog.baudBox->currentText(), "19200");
    EXPECT_EQ(dialog.parityBox->currentText(), "None");
    EXPECT_EQ(dialog.parityBox->itemData(1).toInt(), 2);  // "Even" carries parity code 2
    EXPECT_EQ(dialog.dataBitsBox->currentText(), "8");
    EXPECT_EQ(dialog.stopBitsBox->currentText(), "1");
    EXPECT_EQ(dialog.flowBox->currentText(), "None");
    EXPECT_EQ(Texts(dialog.flowBox), (QStringList{"Hardware ( RTS/CTS )", "Hardware ( DTR/DSR )",
                                                  "Software  ( Xoff/Xon )", "None"}));
    dialog.portBox->setEditText("COM12345");
    dialog.parityBox->setCurrentIndex(1);
    dialog.stopBitsBox->setCurrentIndex(2);
    dialog.flowBox->setCurrentIndex(0);
    std::string port;
    LineSettings line = none.line;
    dialog.TakeChoices(port, line);
    EXPECT_EQ(FormatPortSettingsText(port, line), "COM12345 19200 2 2 8 0");
    EXPECT_TRUE(line.fParity);
    // "Ok" on a name no entry starts with keeps it whole; a name the first entries start
    // with selects the first of them.
    for (const auto& [current, kept] :
         {std::pair{"ttyS0", "ttyS0"}, {"COM10", "COM10"}, {"COM", "COM1"}, {"COM3", "COM3"}}) {
        CSerialSettingsDlg untouched(current, none.line, "");
        std::string taken;
        untouched.TakeChoices(taken, line);
        EXPECT_EQ(taken, kept);
    }
    // An empty port name or one with a blank is refused: the dialog stays and says why.
    for (const char* bad : {"", "   ", "COM 1"}) {
        CSerialSettingsDlg refusing("COM2", none.line, "");
        refusing.show();
        refusing.portBox->setEditText(bad);
        auto* buttons = refusing.findChild<QDialogButtonBox*>();
        buttons->buttons()[0]->click();  // "Ok"
        EXPECT_TRUE(refusing.isVisible()) << bad;
        EXPECT_FALSE(refusing.ShownProblem().isEmpty()) << bad;
        std::string kept = "COM2";
        refusing.TakeChoices(kept, line);
        EXPECT_EQ(kept, "COM2");
        refusing.portBox->setEditText("COM4");
        buttons->buttons()[0]->click();
        EXPECT_EQ(refusing.result(), QDialog::Accepted);
    }
    // A converter's address is taken whole and said to be one; one that does not parse is
    // refused naming it; a COM name says which device it stands for.
    {
        CSerialSettingsDlg converter("COM2", none.line, "");
        EXPECT_EQ(converter.PortInfo(), "COM2 is /dev/ttyS1");
        converter.show();
        converter.portBox->setEditText("rfc2217://[fd00::7]");
        auto* buttons = converter.findChild<QDialogButtonBox*>();
        buttons->buttons()[0]->click();
        EXPECT_TRUE(converter.isVisible());
        EXPECT_EQ(converter.ShownProblem(),
                  "\"rfc2217://[fd00::7]\" is not a converter address (no port number; expected "
                  "rfc2217://HOST:PORT)");
        const std::string address = "rfc2217://gate3-converter.example:4001";
        converter.portBox->setEditText(QString::fromStdString(address));
        EXPECT_TRUE(converter.PortInfo().startsWith("A converter on the network (RFC 2217)"));
        buttons->buttons()[0]->click();
        EXPECT_EQ(converter.result(), QDialog::Accepted);
        std::string taken;
        converter.TakeChoices(taken, line);
        EXPECT_EQ(taken, address);
    }

    // "Cancel" still writes the port settings and the initialisation text back.
    QTemporaryDir dir;
    const QString db = "DRIVER=SQLite3;Database=" + dir.path() + "/vm418.db;JournalMode=WAL";
    ASSERT_EQ(vm418::createSchema(db), vm418::kDbOk);
    vm418::CSystemRset row;
    row.SysID = 5;
    row.COMportSettings = "COM2 19200 0 0 8 3";
    ASSERT_EQ(vm418::saveSystem(db, row), 0);
    CMainFrame frame(db, dir.path() + "/");
    frame.NewDocument();
    frame.Document()->UseSystem(row);
    QTimer typist;
    typist.callOnTimeout([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = dynamic_cast<CSerialSettingsDlg*>(w); d && d->isVisible()) {
                d->findChild<QLineEdit*>()->setText("&F");
                d->baudBox->setCurrentIndex(0);
                d->reject();
            }
    });
    typist.start(20);
    CloseStrayModalDialogsAfter(10000);
    frame.Document()->OnCommand(ID_COM_SETUP);
    std::optional<vm418::CSystemRset> stored;
    ASSERT_EQ(vm418::readSystem(db, 5, stored), 0);
    EXPECT_EQ(stored->COMportSettings, "COM2 19200 0 0 8 3");
    EXPECT_EQ(stored->InitString, "&F");

    // "Select" on an empty table closes the dialog with nothing chosen.
    QTemporaryDir emptyDir;
    const QString emptyDb = "DRIVER=SQLite3;Database=" + emptyDir.path() + "/e.db";
    ASSERT_EQ(vm418::createSchema(emptyDb), vm418::kDbOk);
    CSystemsDlg empty(emptyDb);
    empty.Select();
    EXPECT_EQ(empty.result(), QDialog::Accepted);
    EXPECT_FALSE(empty.Chosen());
    // Through the document: closing the dialog without "Select" keeps the system it had;
    // "Select" on the empty table leaves it without one, its title as it was and its line
    // at every default (COM1, 9600 baud, RTS/CTS).
    CVM418Doc& doc = *frame.Document();
    const QString title = doc.title;
    doc.records.connectionText = emptyDb;
    bool select = false;
    QTimer picker;
    picker.callOnTimeout([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = dynamic_cast<CSystemsDlg*>(w); d && d->isVisible())
                select ? d->Select() : d->reject();
    });
    picker.start(20);
    doc.OnCommand(ID_SELECT_SYSTEM);
    EXPECT_EQ(doc.systemId, 5);
    EXPECT_EQ(doc.serial.port, "COM2");
    select = true;
    doc.OnCommand(ID_SELECT_SYSTEM);
    EXPECT_EQ(doc.systemId, 0);
    EXPECT_EQ(doc.title, title);
    EXPECT_EQ(doc.serial.port, "COM1");
    EXPECT_EQ(doc.serial.dcb.BaudRate, 9600u);
    EXPECT_TRUE(doc.serial.dcb.fOutxCtsFlow);
    EXPECT_TRUE(frame.RecentSystems().isEmpty());  // no system to remember
    picker.stop();
    doc.records.connectionText = db;

    const QDate from(2026, 1, 1), to(2026, 1, 31);
    CTimePeriodDlg period(from, to);
    EXPECT_EQ(period.windowTitle(), "Select days");
    period.fromEdit->setDate(QDate(2025, 6, 1));
    period.reject();
    EXPECT_EQ(period.From(), from);
    period.fromEdit->setDate(QDate(2025, 6, 1));
    period.findChild<QPushButton*>()->click();
    EXPECT_EQ(period.From(), QDate(2025, 6, 1));
    EXPECT_EQ(period.To(), to);

    frame.Document()->records.SysID = 5;
    CDatePickDlg pick(&frame.Document()->records);
    EXPECT_EQ(pick.windowTitle(), "Select date");
    EXPECT_EQ(pick.list->count(), 0);
    pick.findChild<QDialogButtonBox*>()->buttons()[0]->click();
    EXPECT_FALSE(pick.Loaded());
}

// CAP, NUM and SCRL follow the keyboard's locks, lit while on and dim while off. It needs an
// X display: CTest runs it under xvfb-run (station_lock_indicators).
TEST(StationWindowX11, LockIndicatorsFollowTheKeyboard) {
    if (QGuiApplication::platformName() != "xcb")
        GTEST_SKIP() << "needs an X display: xvfb-run with QT_QPA_PLATFORM=xcb";
    QTemporaryDir dir;
    CMainFrame frame("DRIVER=SQLite3;Database=" + dir.path() + "/vm418.db", dir.path() + "/");
    frame.show();
    // (Scroll Lock lights what the server's Scroll Lock indicator says, which the usual
    // keymaps, Xvfb's among them, do not let the key drive.)
    for (const auto& [indicator, key] : {std::pair{"CAP", "Caps_Lock"}, {"NUM", "Num_Lock"}}) {
        SCOPED_TRACE(indicator);
        const bool before = frame.IndicatorLit(indicator);
        ASSERT_EQ(QProcess::execute("xdotool", {"key", key}), 0);
        EXPECT_TRUE(waitUntil([&] { return frame.IndicatorLit(indicator) != before; }, 3000));
        ASSERT_EQ(QProcess::execute("xdotool", {"key", key}), 0);
        EXPECT_TRUE(waitUntil([&] { return frame.IndicatorLit(indicator) == before; }, 3000));
    }
}
