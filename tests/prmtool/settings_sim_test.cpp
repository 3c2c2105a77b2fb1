// The settings editor end to end against the simulated monitor (hm210-sim) over a
// pseudo-terminal, every fault mode with its text, and ports that fail.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include "pty_peer.h"
#include "qt_wait.h"
#include "settings.h"
#include "simulator_launcher.h"

namespace prm {
namespace {

// A simulated monitor on COM1 and the editor connected to it.
class EditorOnSimulator {
  public:
    explicit EditorOnSimulator(const QStringList& simArgs = {}) {
        QString error;
        started = simulator.start(simArgs, &error);
        EXPECT_TRUE(started) << error.toStdString();
        PortMap::setProcessOverride(1, simulator.device());
        link.port().setPortNumber(1);
        opened = link.port().open();
        link.ensureWorker();
        QObject::connect(&ctl, &SettingsController::errorShown,
                         [this](const QString& t) { errors << t; });
        QObject::connect(&ctl, &SettingsController::settingsRead, [this] { ++reads; });
        QObject::connect(&ctl, &SettingsController::settingsWritten, [this] { ++writes; });
    }
    bool waitRead(int n) {
        return waitUntil([&] { return reads == n || !errors.isEmpty(); }) && reads == n;
    }

    SimulatorLauncher simulator;
    bool started = false;
    bool opened = false;
    Link link;
    SettingsController ctl{link};
    QStringList errors;
    int reads = 0;
    int writes = 0;
};

TEST(EditorEndToEnd, ReadsUserAndDefaultSettings) {
    EditorOnSimulator e;
    ASSERT_TRUE(e.opened);
    e.ctl.activate();
    ASSERT_TRUE(e.waitRead(1)) << e.errors.join(";").toStdString();
    EXPECT_EQ(e.ctl.fieldText(Field::SerialNumber), "0417");
    EXPECT_EQ(e.ctl.fieldText(Field::GammaDiscr), "1700");
    EXPECT_EQ(e.ctl.doseUnitItem(), kDoseItemR);
    e.ctl.displayDefaultSettings();
    ASSERT_TRUE(e.waitRead(2));
    EXPECT_EQ(e.ctl.fieldText(Field::SerialNumber), "3200");
    EXPECT_EQ(e.ctl.fieldText(Field::GammaDiscr), "1780");
    EXPECT_EQ(e.ctl.groupCaption(), "Default Settings");
}

TEST(EditorEndToEnd, WrittenSettingsAreWhatTheNextReadReturns) {
    EditorOnSimulator e;
    e.ctl.activate();
    ASSERT_TRUE(e.waitRead(1));
    e.ctl.setFieldText(Field::GammaDiscr, "1600");
    e.ctl.setFieldText(Field::SerialNumber, "12");
    e.ctl.chooseDoseUnit(kDoseItemGy);
    e.ctl.saveUserSettings();
    ASSERT_TRUE(waitUntil([&] { return e.writes == 1 || !e.errors.isEmpty(); }));
    ASSERT_EQ(e.writes, 1) << e.errors.join(";").toStdString();
    e.ctl.displayUserSettings();
    ASSERT_TRUE(e.waitRead(2));
    EXPECT_EQ(e.ctl.fieldText(Field::GammaDiscr), "1600");
    EXPECT_EQ(e.ctl.fieldText(Field::SerialNumber), "0012");
    EXPECT_EQ(e.ctl.doseUnitItem(), kDoseItemGy);
}

// Every fault of the simulated monitor and the text the editor shows for it.
TEST(EditorEndToEnd, FaultModesShowTheirErrorText) {
    const std::pair<const char*, const char*> table[] = {
        {"no-echo", "HM-210 doesn't echo"},       {"wrong-echo", "Bad echo from HM-210 = 63, ?"},
        {"z", "Bad echo from HM-210 = 90, Z"},    {"bad-check", "ERROR Read Parameters"},
        {"short-block", "ERROR Read Parameters"},
    };
    for (const auto& [fault, text] : table) {
        EditorOnSimulator e({"--fault", fault});
        e.ctl.activate();
        ASSERT_TRUE(waitUntil([&] { return !e.errors.isEmpty(); }, 6000)) << fault;
        EXPECT_EQ(e.errors.first(), text) << fault;
        EXPECT_EQ(e.reads, 0);
    }
}

TEST(EditorEndToEnd, RefusedWriteShowsErrorWriteSettings) {
    EditorOnSimulator e({"--fault", "write-refused"});
    e.ctl.activate();
    ASSERT_TRUE(e.waitRead(1));
    e.ctl.saveUserSettings();
    ASSERT_TRUE(waitUntil([&] { return !e.errors.isEmpty(); }));
    EXPECT_EQ(e.errors, QStringList{"ERROR Write Settings"});
    EXPECT_EQ(e.writes, 0);
}

TEST(Ports, PortThatCannotBeOpenedNamesTheDeviceAndTheReason) {
    PortMap::setProcessOverride(4, "/dev/no-such-hm210");
    Link link;
    QStringList notices;
    QObject::connect(&link, &Link::notice, [&](const QString& m) { notices << m; });
    link.port().setPortNumber(4);
    EXPECT_FALSE(link.port().open());
    EXPECT_EQ(link.port().lastError(),
              "Cannot open COM4 (/dev/no-such-hm210): the device does not exist");
    EXPECT_EQ(notices, QStringList{link.port().lastError()});
}

TEST(Ports, UnmappedComNameIsTheMatchingTtyS) {
    qunsetenv("PRMTOOL_COM3");
    PortMap map("/nonexistent/ports.ini");
    EXPECT_EQ(map.resolve("COM3"), "/dev/ttyS2");
    EXPECT_EQ(map.resolve("/dev/ttyUSB0"), "/dev/ttyUSB0");
}

TEST(Ports, PortMapIniFileIsReadAndEnvironmentWins) {
    const QString ini = QDir::tempPath() + "/prmtool-ports-test.ini";
    {
        QFile f(ini);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write("[Ports]\nCOM2=/dev/ttyUSB7\nCOM5=/dev/ttyACM0\n");
    }
    PortMap map(ini);
    qunsetenv("PRMTOOL_COM2");
    EXPECT_EQ(map.resolve("com2"), "/dev/ttyUSB7");
    PortMap::setProcessOverride(5, "/dev/pts/77");
    EXPECT_EQ(map.resolve("COM5"), "/dev/pts/77");
    QFile::remove(ini);
}

// A mapping is kept beside the file's other keys and taken out again; what is no serial line
// is refused and leaves the file alone; a file that cannot be written says so.
TEST(Ports, MappingIsKeptBesideOtherKeysAndRemovedBackToTheDefault) {
    QTemporaryDir dir;
    const QString ini = dir.filePath("prmtool/ports.ini");  // its folder does not exist yet
    PtyPeer adapter;
    qunsetenv("PRMTOOL_COM3");
    const PortMap map(ini);
    EXPECT_EQ(map.setMapping(2, adapter.device()), "");
    {
        QSettings other(ini, QSettings::IniFormat);
        other.setValue("Window/left", 40);
    }
    EXPECT_EQ(map.setMapping(3, adapter.device()), "");
    EXPECT_EQ(map.resolve("COM3"), adapter.device());
    const std::pair<QString, QString> refused[] = {
        {"/dev/no-such-adapter", "/dev/no-such-adapter does not exist"},
        {"/dev/null", "/dev/null is not a serial device"},  // a character device, not a line
        {ini, ini + " is not a serial device"},
        {"", "no device given"},
    };
    for (const auto& [device, why] : refused)
        EXPECT_EQ(map.setMapping(3, device), why);
    EXPECT_EQ(map.resolve("COM3"), adapter.device());
    EXPECT_EQ(map.removeMapping(3), "");
    EXPECT_EQ(map.resolve("COM3"), "/dev/ttyS2");
    EXPECT_EQ(map.resolve("COM2"), adapter.device());
    EXPECT_EQ(QSettings(ini, QSettings::IniFormat).value("Window/left").toInt(), 40);

    // A folder where the file should be: not even root can write it.
    EXPECT_EQ(PortMap(dir.path()).setMapping(4, adapter.device()),
              "cannot write the port map " + dir.path());
}

TEST(Ports, VanishedPortIsReportedAndCanBeReopened) {
    auto e = std::make_unique<EditorOnSimulator>();
    QStringList notices;
    QObject::connect(&e->link, &Link::notice, [&](const QString& m) { notices << m; });
    e->ctl.activate();
    ASSERT_TRUE(e->waitRead(1));

    const QString lostDevice = e->simulator.device();
    e->simulator.stop();  // the monitor's line goes away
    ASSERT_TRUE(waitUntil([&] { return !notices.isEmpty(); }));
    EXPECT_TRUE(notices[0].startsWith("COM1 (" + lostDevice + ") was lost: "))
        << notices[0].toStdString();
    EXPECT_FALSE(e->link.port().isOpen());

    // A new monitor on COM1: the port opens again and the editor reads it.
    SimulatorLauncher again;
    QString error;
    ASSERT_TRUE(again.start({}, &error)) << error.toStdString();
    PortMap::setProcessOverride(1, again.device());
    ASSERT_TRUE(e->link.port().open()) << e->link.port().lastError().toStdString();
    e->ctl.displayUserSettings();
    ASSERT_TRUE(e->waitRead(2));
}

}  // namespace
}  // namespace prm
