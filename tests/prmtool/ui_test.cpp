// The windows under the offscreen platform: wired to their controllers and the link.

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMenuBar>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <QToolButton>

#include "main_window.h"
#include "port_window.h"
#include "pty_peer.h"
#include "qt_wait.h"
#include "records_window.h"
#include "settings_window.h"
#include "simulator_launcher.h"
#include "suite_version.h"
#include "testconsole_window.h"

namespace prm {
namespace {

using Button = SettingsController::Button;

// Closes every message box that opens until it is destroyed; keeps the last caption and
// text and counts the boxes.
struct MessageBoxCatcher {
    QString caption;
    QString text;
    int boxes = 0;
    QTimer timer;
    void arm() {
        QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
        timer.start(10);
    }
    void poll() {
        auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
        if (!box || box->property("caught").toBool()) return;
        box->setProperty("caught", true);
        ++boxes;
        caption = box->windowTitle();
        text = box->text();
        // Closed after the events of its showing, as a user's click would come.
        QTimer::singleShot(50, box, &QMessageBox::accept);
    }
};

// Saves a picture of a window when PRM_SCREENSHOTS names a folder.
void screenshot(QWidget& w, const QString& name) {
    const QString dir = qEnvironmentVariable("PRM_SCREENSHOTS");
    if (!dir.isEmpty()) w.grab().save(dir + '/' + name + ".png");
}

class WithSimulator : public ::testing::Test {
  protected:
    void SetUp() override {
        QString error;
        ASSERT_TRUE(simulator.start({}, &error)) << error.toStdString();
        PortMap::setProcessOverride(1, simulator.device());
    }
    SimulatorLauncher simulator;
    Link link;
};

TEST_F(WithSimulator, MainWindowHasItsTitleMenuAndOpensCom1OnActivation) {
    TForm1 window(link);
    EXPECT_EQ(window.windowTitle(), "Monitor HM-210");
    QStringList menu;
    for (QAction* a : window.menuBar()->actions())
        menu << a->text();
    EXPECT_EQ(menu, (QStringList{"COMx", "Tests", "Setting", "History", "Exit"}));
    EXPECT_EQ(window.picture().size(), QSize(427, 442));
    // The program's own icon in every size drawn for it (Qt's stock icons have other sizes).
    EXPECT_EQ(
        window.windowIcon().availableSizes(),
        (QList<QSize>{
            {16, 16}, {22, 22}, {24, 24}, {32, 32}, {48, 48}, {64, 64}, {128, 128}, {256, 256}}));
    // The About box, from the button at the right end of the menu bar.
    MessageBoxCatcher about;
    about.arm();
    auto* aboutButton = window.menuBar()->findChild<QToolButton*>("about");
    ASSERT_NE(aboutButton, nullptr);
    aboutButton->click();
    EXPECT_EQ(about.text, "prmtool " SUITE_VERSION
                          "\n\nService and set-up tool of the HM-210 personal radiation monitor");

    {
        auto guard = link.lock();
        link.state().state = 212;
        link.state().settingsLoaded = true;
    }
    window.activateLink();
    EXPECT_TRUE(link.port().isOpen());
    EXPECT_EQ(link.port().deviceName(), simulator.device());
    EXPECT_EQ(window.portStatus(), QString("COM1 (%1) open").arg(simulator.device()));
    auto guard = link.lock();
    EXPECT_EQ(link.state().state, 0);
    EXPECT_EQ(link.state().activeScreen, kScreenMain);
    EXPECT_FALSE(link.state().settingsLoaded);
}

TEST_F(WithSimulator, MainWindowTellsALostPortOnceAndKeepsShowingIt) {
    TForm1 window(link);
    window.activateLink();
    ASSERT_TRUE(link.port().isOpen());
    MessageBoxCatcher box;
    box.arm();
    simulator.stop();  // the line goes away
    ASSERT_TRUE(waitUntil([&] { return !box.text.isEmpty(); }));
    EXPECT_EQ(box.boxes, 1);
    EXPECT_TRUE(box.text.startsWith("COM1 (" + link.port().deviceName() + ") was lost: "))
        << box.text.toStdString();
    EXPECT_EQ(box.caption, "Monitor HM-210");
    EXPECT_EQ(window.portStatus(), box.text);
}

TEST(MainWindowPicture, LoadsHm210BmpFromTheWorkingFolderElseAPlaceholder) {
    QTemporaryDir dir;
    const QString previous = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    Link link;
    {
        TForm1 window(link);
        // The build puts the drawn picture beside prmtool, not beside this test.
        EXPECT_FALSE(window.pictureLoaded());
        EXPECT_EQ(window.picture().size(), QSize(427, 442));
    }
    ASSERT_TRUE(QFile::copy(QStringLiteral(PRM_PICTURE_PATH), dir.path() + "/HM-210.bmp"));
    {
        TForm1 window(link);
        EXPECT_TRUE(window.pictureLoaded());
        EXPECT_EQ(window.picture().size(), QSize(427, 442));
        screenshot(window, "main-window");
    }
    QDir::setCurrent(previous);
}

TEST(PortWindow, ChoosingAnotherPortReopensItThereAndIsPreselectedNextTime) {
    PtyPeer first;
    PtyPeer third;
    PortMap::setProcessOverride(1, first.device());
    PortMap::setProcessOverride(3, third.device());
    PortService port;
    ASSERT_TRUE(port.open());
    {
        TForm3 window(port);
        EXPECT_EQ(window.windowTitle(), "Communication Port");
        window.show();
        EXPECT_TRUE(window.items().button(0)->isChecked());
        window.items().button(2)->click();
        EXPECT_EQ(port.portNumber(), 3);
        EXPECT_TRUE(port.isOpen());
        EXPECT_EQ(port.deviceName(), third.device());
        window.mainMenu();
        EXPECT_EQ(window.result(), QDialog::Accepted);
        EXPECT_TRUE(port.isOpen());
    }
    port.writeString("J");
    EXPECT_EQ(third.take(1), "J");
    TForm3 again(port);
    again.show();
    EXPECT_TRUE(again.items().button(2)->isChecked());
}

// Each COM item shows its device; mapping the selected one keeps the device in the port map
// file and moves the open port there; what is no serial line is refused in a box; "Default"
// takes the name out of the file; a variable that sets a name is shown.
TEST(PortWindow, MappingTheSelectedComNameMovesTheOpenPortToTheNewDevice) {
    QTemporaryDir config;
    PtyPeer first;
    PtyPeer second;
    qunsetenv("PRMTOOL_COM2");
    PortMap::setProcessOverride(1, first.device());
    const PortMap map(config.filePath("ports.ini"));
    ASSERT_EQ(map.setMapping(2, first.device()), "");
    PortService port(map);
    port.setPortNumber(2);
    ASSERT_TRUE(port.open());
    TForm3 window(port);
    window.show();
    EXPECT_EQ(window.deviceOf(1)->text(), first.device());
    EXPECT_EQ(window.deviceOf(0)->text(), first.device() + " (environment)");
    EXPECT_EQ(window.deviceLabel()->text(), "COM2 is " + first.device());
    EXPECT_EQ(window.mapButton()->text(), "Map COM2...");
    screenshot(window, "port-window");
    {
        PortMapDialog dialog(port, 2, &window);
        EXPECT_EQ(dialog.deviceBox()->currentText(), first.device());  // the file's mapping
        EXPECT_TRUE(dialog.overrideLabel()->isHidden());
        MessageBoxCatcher box;
        box.arm();
        dialog.deviceBox()->setEditText("/dev/null");
        dialog.mapDevice();
        EXPECT_EQ(box.text, "/dev/null is not a serial device");
        EXPECT_EQ(dialog.result(), QDialog::Rejected);
        dialog.deviceBox()->setEditText(second.device());
        dialog.mapDevice();
        EXPECT_EQ(dialog.result(), QDialog::Accepted);
    }
    EXPECT_TRUE(port.isOpen());
    EXPECT_EQ(port.deviceName(), second.device());
    port.writeString("J");
    EXPECT_EQ(second.take(1), "J");
    EXPECT_EQ(PortMap(config.filePath("ports.ini")).resolve("COM2"), second.device());

    PortMapDialog(port, 2).useDefault();
    EXPECT_EQ(port.deviceName(), "/dev/ttyS1");
    EXPECT_FALSE(PortMapDialog(port, 1).overrideLabel()->isHidden());
}

TEST_F(WithSimulator, SettingsWindowShowsReadsAndValidatesThroughItsController) {
    link.port().setPortNumber(1);
    ASSERT_TRUE(link.port().open());
    link.ensureWorker();
    TForm4 window(link);
    EXPECT_EQ(window.windowTitle(), "Setting");
    EXPECT_FALSE(window.button(Button::SaveDefaultUser)->isVisible());
    window.show();  // activation reads the user settings
    ASSERT_TRUE(waitUntil([&] { return window.field(Field::GammaDiscr)->text() == "1700"; }));
    EXPECT_EQ(window.configurationGroup()->title(), "User Settings");
    EXPECT_TRUE(window.configurationGroup()->isEnabled());
    EXPECT_EQ(window.field(Field::SerialNumber)->text(), "0417");
    EXPECT_TRUE(window.doseUnitItem(kDoseItemR)->isChecked());
    EXPECT_EQ(window.coarseStepper()->value(), 4);
    EXPECT_FALSE(window.button(Button::SaveUser)->isEnabled());
    screenshot(window, "settings-window");

    QTest::mouseClick(window.button(Button::DisplayDefault), Qt::LeftButton);
    ASSERT_TRUE(
        waitUntil([&] { return window.configurationGroup()->title() == "Default Settings"; }));
    EXPECT_EQ(window.field(Field::GammaDiscr)->text(), "1780");
    EXPECT_TRUE(window.button(Button::SaveUser)->isEnabled());

    // One box per bad entry, though the box takes the focus from the field.
    MessageBoxCatcher box;
    box.arm();
    QLineEdit* gamma = window.field(Field::GammaDiscr);
    window.activateWindow();
    gamma->setFocus();
    gamma->selectAll();
    QTest::keyClicks(gamma, "5000");
    waitUntil([] { return false; }, 200);
    EXPECT_EQ(box.boxes, 1);
    EXPECT_EQ(box.caption, "MESSAGE");
    EXPECT_EQ(box.text, "DEFAULT: Gamma Discr");
    EXPECT_EQ(gamma->text(), "1780");
    // Emptying the field to retype it brings no box; leaving it empty gives the default.
    gamma->selectAll();
    QTest::keyClick(gamma, Qt::Key_Backspace);
    EXPECT_EQ(gamma->text(), "");
    EXPECT_EQ(box.boxes, 1);
    QTest::keyClick(gamma, Qt::Key_Return);
    waitUntil([] { return false; }, 200);
    EXPECT_EQ(box.boxes, 2);
    EXPECT_EQ(gamma->text(), "1780");

    QTest::mouseClick(window.optionButton(SettingsController::Option::Backlight), Qt::LeftButton);
    EXPECT_EQ(window.optionButton(SettingsController::Option::Backlight)->text(), "BackliteON");
    window.controller().clockTick();
    EXPECT_EQ(window.configurationGroup()->title(), "Settings Modified");
}

// After a port that cannot be opened the port window opens again, and a command pressed
// without a port is told at once that the monitor does not echo.
TEST_F(WithSimulator, PortThatCannotBeOpenedLeavesTheMainWindowWorking) {
    QTemporaryDir dir;
    PortMap::setProcessOverride(3, dir.filePath("ttyS2"));
    TForm1 window(link);
    window.show();
    MessageBoxCatcher box;
    box.arm();
    int portWindows = 0;
    QStringList console;
    QTimer driver;  // acts in the modal windows the menu opens
    QObject::connect(&driver, &QTimer::timeout, [&] {
        auto* ports = qobject_cast<TForm3*>(QApplication::activeModalWidget());
        TForm2* tests = window.testsWindow;
        if (ports && ports->isVisible() && !ports->property("done").toBool()) {
            ports->setProperty("done", true);
            if (++portWindows == 1) ports->items().button(2)->click();  // COM3: no device
            ports->mainMenu();
        } else if (tests && tests->logView()->toPlainText().contains("CUSTOMER")) {
            driver.stop();
            tests->button(TestConsoleController::Button::Uart)->click();
            console = tests->controller().log().lines();
            tests->controller().mainMenu();
        }
    });
    driver.start(10);
    for (int menuItem : {0, 0, 1})
        window.menuBar()->actions().at(menuItem)->trigger();
    EXPECT_EQ(portWindows, 2);
    EXPECT_EQ(box.text,
              "Cannot open COM3 (" + dir.filePath("ttyS2") + "): the device does not exist");
    EXPECT_EQ(console.mid(console.indexOf("UART test U/* in progress") + 1, 2),
              (QStringList{"HM-210 doesn't echo",
                           "Check connection between HM-210 and PC COM - Try again"}));
}

TEST(SettingsWindowErrors, NoEchoShowsTheRedErrorLabel) {
    SimulatorLauncher simulator;
    QString error;
    ASSERT_TRUE(simulator.start({"--fault", "no-echo"}, &error));
    Link link;
    link.port().setDevice(simulator.device());
    ASSERT_TRUE(link.port().open());
    link.ensureWorker();
    TForm4 window(link);
    window.show();
    ASSERT_TRUE(waitUntil([&] { return window.errorLabel()->isVisible(); }));
    EXPECT_EQ(window.errorLabel()->text(), "HM-210 doesn't echo");
    EXPECT_TRUE(window.button(Button::DisplayUser)->isEnabled());
    EXPECT_FALSE(window.configurationGroup()->isEnabled());
    screenshot(window, "settings-no-echo");
}

TEST_F(WithSimulator, RecordsWindowReadsIntoItsLogAndTakesTheFileName) {
    QTemporaryDir dir;
    link.port().setPortNumber(1);
    ASSERT_TRUE(link.port().open());
    link.ensureWorker();
    TForm5 window(link);
    EXPECT_EQ(window.windowTitle(), "History and Alarms");
    window.show();
    using RButton = RecordsController::Button;
    EXPECT_EQ(window.button(RButton::RecordingDose)->text(), "Recording ON");
    QLineEdit* box = window.fileNameBox(RecordKind::Alarms);
    EXPECT_EQ(box->text(), "FileALARM.ASC");
    box->setText(dir.filePath("alarms.asc"));
    QTest::mouseClick(window.button(RButton::ReadAlarms), Qt::LeftButton);
    ASSERT_TRUE(
        waitUntil([&] { return window.logView()->toPlainText().contains("END Reading ALARMS"); }));
    EXPECT_TRUE(window.logView()->toPlainText().contains("Number of Records =  12"));
    EXPECT_EQ(window.button(RButton::RecordingAlarms)->text(), "Recording OFF");
    EXPECT_TRUE(QFile::exists(dir.filePath("alarms.asc")));
    screenshot(window, "records-window");
}

TEST_F(WithSimulator, TestConsoleWindowRunsATestFromItsButton) {
    link.port().setPortNumber(1);
    ASSERT_TRUE(link.port().open());
    link.ensureWorker();
    TForm2 window(link);
    EXPECT_EQ(window.windowTitle(), "HW Tests");
    window.show();  // the opening reads the user settings
    using TButton = TestConsoleController::Button;
    ASSERT_TRUE(waitUntil([&] { return window.logView()->toPlainText().contains("CUSTOMER"); }));
    EXPECT_TRUE(window.button(TButton::Uart)->isEnabled());
    EXPECT_FALSE(window.button(TButton::Temperature)->isEnabled());
    EXPECT_EQ(window.temperatureEdit()->text(), " 23.5 grad C");
    QTest::mouseClick(window.button(TButton::Uart), Qt::LeftButton);
    ASSERT_TRUE(
        waitUntil([&] { return window.logView()->toPlainText().endsWith("UART test OK"); }));
    EXPECT_TRUE(window.button(TButton::Temperature)->isEnabled());
    QTest::mouseClick(window.button(TButton::Temperature), Qt::LeftButton);
    EXPECT_EQ(window.button(TButton::Temperature)->text(), "Temperature");
    ASSERT_TRUE(waitUntil([&] { return window.button(TButton::Temperature)->text() == "STOP"; }));
    ASSERT_TRUE(waitUntil(
        [&] { return window.logView()->toPlainText().endsWith("Temperature test END"); }));
    EXPECT_EQ(window.temperatureEdit()->text(), " 21.0 grad C");

    // RATIO and CONTRAST change only with their arrows, each step sent as it is made.
    QTest::mouseClick(window.button(TButton::Lcd), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] { return window.ratioBox()->isEnabled(); }));
    for (StepperSpinBox* box : {window.ratioBox(), window.contrastBox()}) {
        const int before = box->value();
        box->selectAll();
        QTest::keyClicks(box, box == window.ratioBox() ? "6" : "30");
        EXPECT_EQ(box->value(), before);
    }
    QTest::keyClick(window.ratioBox(), Qt::Key_Up);
    EXPECT_EQ(window.ratioBox()->value(), 5);
    EXPECT_TRUE(window.logView()->toPlainText().endsWith("New LCD ratio = 5"));
    QTest::mouseClick(window.button(TButton::Lcd), Qt::LeftButton);
    ASSERT_TRUE(
        waitUntil([&] { return window.logView()->toPlainText().endsWith("LCD display END"); }));

    window.controller().setTimeText("1");
    QTest::mouseClick(window.button(TButton::Spectrum), Qt::LeftButton);
    ASSERT_TRUE(waitUntil([&] {
        return window.logView()->toPlainText().contains("Spectrum Measurement END");
    })) << window.logView()->toPlainText().toStdString();
    QTest::mouseClick(window.picture(), Qt::LeftButton, {}, QPoint(150, 40));
    EXPECT_TRUE(window.logView()->toPlainText().contains("Set step0 =1510 mV, i.e. 2545 steps"));
    EXPECT_EQ(window.picture()->pixmap().toImage().pixelColor(50, 140), QColor(Qt::yellow));
    screenshot(window, "test-console");
}

// Esc and the close button end the console as "Main Menu" does: a running battery
// recording is stopped and its file closed, no timer goes on.
TEST_F(WithSimulator, TestConsoleWindowClosedAnyWayStopsTheRecording) {
    link.port().setPortNumber(1);
    ASSERT_TRUE(link.port().open());
    link.ensureWorker();
    QTemporaryDir dir;
    for (const bool escape : {true, false}) {
        TForm2 window(link);
        window.show();
        ASSERT_TRUE(
            waitUntil([&] { return window.logView()->toPlainText().contains("CUSTOMER"); }));
        TestConsoleController& ctl = window.controller();
        const QString file = dir.filePath(escape ? "esc.asc" : "close.asc");
        ctl.setFileName(file);
        ctl.toggleRecording();
        ctl.click(TestConsoleController::Button::Record);
        ASSERT_TRUE(waitUntil([&] { return ctl.echoCountText().toInt() >= 2; }));
        if (escape) {
            QTest::keyClick(&window, Qt::Key_Escape);
        } else {
            window.close();
        }
        EXPECT_FALSE(window.isVisible());
        EXPECT_FALSE(ctl.running());
        EXPECT_TRUE(ctl.log().lines().contains("File " + file + " closed"));
        const qint64 size = QFileInfo(file).size();
        EXPECT_EQ(size % 14, 0);  // whole report lines
        waitUntil([] { return false; }, 300);
        EXPECT_EQ(QFileInfo(file).size(), size) << "reports went on after the close";
    }
}

}  // namespace
}  // namespace prm
