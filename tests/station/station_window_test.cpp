// The station window over its document, offscreen, against vm418-sim: the menus as they
// stand, the systems dialog, a call until the monitoring view shows the unit's values, and
// the command enabling of the menus.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTimer>

#include "main_frame.h"
#include "monitoring_view.h"
#include "port_settings_text.h"
#include "qt_wait.h"
#include "simulator_process.h"
#include "station_db.h"
#include "station_dialogs.h"
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
    dialog.portBox->setEditText("COM12345");
    dialog.parityBox->setCurrentIndex(1);
    dialog.stopBitsBox->setCurrentIndex(2);
    dialog.flowBox->setCurrentIndex(0);
    std::string port;
    LineSettings line = none.line;
    dialog.TakeChoices(port, line);
    EXPECT_EQ(FormatPortSettingsText(port, line), "COM1 19200 2 2 8 0");
    EXPECT_TRUE(line.fParity);

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
