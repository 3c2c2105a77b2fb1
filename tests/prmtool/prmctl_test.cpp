// prmctl as a script sees it: values it refuses before anything is opened, the port it
// shares with no other program, and a lost port that ends what is running as a failure, in
// prmctl and in the console.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <tuple>

#include "console_fixtures.h"
#include "link.h"
#include "pty_peer.h"
#include "qt_wait.h"
#include "simulator_launcher.h"

namespace prm {
namespace {

struct Outcome {
    int exitCode = -1;
    QString out;
    QString err;
};

Outcome runPrmctl(const QStringList& args,
                  const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment(),
                  uid_t runAs = getuid()) {
    QProcess p;
    p.setProcessEnvironment(env);
    QString program = QStringLiteral(PRMCTL_PATH);
    if (runAs != getuid()) {
        // Another user may not reach the build folder (a clone in a private temporary
        // folder): that user runs a copy from a folder open to all, in a folder it may enter.
        static QTemporaryDir shared;
        const QString copy = shared.filePath(QStringLiteral("prmctl"));
        if (!QFile::exists(copy)) {
            QFile::copy(program, copy);
            ::chmod(QFile::encodeName(shared.path()).constData(), 0755);
        }
        program = copy;
        p.setWorkingDirectory(shared.path());
        p.setChildProcessModifier([runAs] {
            if (setgid(runAs) != 0 || setuid(runAs) != 0) _exit(126);
        });
    }
    p.start(program, args);
    Outcome r;
    if (!p.waitForFinished(60000)) {
        p.kill();
        p.waitForFinished();
    }
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = QString::fromLocal8Bit(p.readAllStandardOutput());
    r.err = QString::fromLocal8Bit(p.readAllStandardError());
    return r;
}

// Counts and times that are not positive whole numbers are usage errors, found before the
// port is opened (the port named here does not exist).
TEST(PrmctlValues, CountsAndTimesThatAreNotPositiveAreUsageErrors) {
    const QStringList table[] = {
        {"battery", "record", "--file", "b.asc", "--count", "-5"},
        {"test", "uart", "--repeat", "0"},
        {"test", "uart", "--repeat"},
        {"test", "mode", "--for", "1.5"},
        {"spectrum", "adc", "--time", "ten"},
        {"spectrum", "scan", "gamma", "--time", "-1"},
        {"records", "read", "alarms", "--timeout", "99999999999"},
    };
    for (const QStringList& args : table) {
        const Outcome r = runPrmctl(QStringList{"--port", "/dev/prmctl-test-no-such-port"} << args);
        EXPECT_EQ(r.exitCode, 2) << args.join(' ').toStdString();
        EXPECT_TRUE(r.err.contains("needs a whole number from 1 to")) << r.err.toStdString();
        EXPECT_FALSE(r.err.contains("Cannot open")) << r.err.toStdString();
    }
}

// One program per port: while this test holds the port, prmctl is refused with the
// holder's process id; so it is while another program holds the device with flock or in
// exclusive mode; once it is released, prmctl runs.
TEST(PrmctlPort, PortInUseByAnotherProgramIsRefusedWithItsProcessId) {
    SimulatorLauncher simulator;
    QString error;
    ASSERT_TRUE(simulator.start({}, &error)) << error.toStdString();
    // The test's own descriptor of the device, opened before the holder makes it exclusive.
    const QByteArray device = simulator.device().toLocal8Bit();
    const int other = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(other, 0);
    {
        Link holder;
        holder.port().setDevice(simulator.device());
        ASSERT_TRUE(holder.port().open()) << holder.port().lastError().toStdString();
        // The holder's flock keeps out programs that lock ports that way.
        EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0);
        const Outcome r = runPrmctl({"--port", simulator.device(), "test", "uart"});
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.contains(QStringLiteral("Cannot open %1: port in use by process %2")
                                       .arg(simulator.device())
                                       .arg(getpid())))
            << r.err.toStdString();
    }
    // Refused by the device: another program's flock; for a user who is not root, a missing
    // permission (only here the dialout hint) and exclusive mode, which is a port in use.
    constexpr uid_t kNobody = 65534;
    const struct {
        int flockOp;
        unsigned long exclusiveOp;
        uid_t user;
        const char* says;
    } refusals[] = {
        {LOCK_EX, TIOCNXCL, getuid(), "port in use by another program"},
        {LOCK_UN, TIOCNXCL, kNobody,
         "Permission denied (to use serial ports, add your user to the 'dialout' group)"},
        {LOCK_UN, TIOCEXCL, kNobody, "Device or resource busy (port in use by another program)"}};
    Outcome r;
    for (const auto& c : refusals) {
        if (c.user != getuid() && getuid() != 0) continue;
        ASSERT_EQ(::flock(other, c.flockOp | LOCK_NB), 0);
        ::ioctl(other, c.exclusiveOp);
        ::chmod(device.constData(), c.exclusiveOp == TIOCEXCL ? 0666 : 0600);
        r = runPrmctl({"--port", simulator.device(), "test", "uart"},
                      QProcessEnvironment::systemEnvironment(), c.user);
        EXPECT_EQ(r.exitCode, 1);
        EXPECT_TRUE(r.err.contains(
            QStringLiteral("Cannot open %1: %2\n").arg(simulator.device(), QLatin1String(c.says))))
            << r.err.toStdString();
    }
    ::ioctl(other, TIOCNXCL);
    ::close(other);
    r = runPrmctl({"--port", simulator.device(), "test", "uart"});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
}

// The simulated monitor in a process of its own, so that the test can take it away as a
// pulled adapter or a dead far side would.
class MonitorProcess {
  public:
    explicit MonitorProcess(const QStringList& args) {
        process_.start(SimulatorLauncher::program(), args);
        waitUntil([&] { return process_.canReadLine(); }, 10000);
        device_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    }
    ~MonitorProcess() { pullOut(); }
    QString device() const { return device_; }
    void pullOut() {
        process_.kill();
        process_.waitForFinished();
    }

  private:
    QProcess process_;
    QString device_;
};

// The port goes while a Repeat run, a button test, a spectrum, an off-line read, a battery
// recording or a record transfer runs: prmctl ends at once with the port's message and exit code 1;
// no picture is written and a file cut short is kept only under a name that says so, the
// earlier file of its name unchanged.
TEST(PrmctlLostPort, WhatRunsEndsAtOnceAsAFailure) {
    QTemporaryDir dir;
    const QString png = dir.filePath("adc.png");
    const QString offlinePng = dir.filePath("offline.png");
    const QString battery = dir.filePath("battery.asc");
    const QString records = dir.filePath("FileALARM.ASC");
    for (const QString& earlier : {battery, records}) {
        QFile f(earlier);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write("earlier\n") == 8);
    }
    struct Case {
        QStringList simArgs;
        QStringList command;
        const char* running;  // a line on stdout once the command runs
    };
    const Case table[] = {
        {{}, {"test", "counters", "--repeat", "1000000"}, "^Counters:"},
        {{"--stream-period", "100"}, {"test", "mode", "--for", "600"}, "^key: SHORT"},
        {{"--measuring-second", "100"},
         {"spectrum", "adc", "--time", "600", "--png", png},
         "^  0:"},
        {{"--baud", "1200"},
         {"spectrum", "offline", "get", "--png", offlinePng},
         "^Read/Evaluate N-det Spectrum from HM-210$"},
        {{"--stream-period", "100"},
         {"battery", "record", "--file", battery, "--count", "1000000"},
         "^\\d\\d:\\d\\d:\\d\\d 5\\.00$"},
        {{"--baud", "1200", "--alarms", "200"},
         {"records", "read", "alarms", "--file", records},
         "^\\d\\d/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d "},
    };
    for (const Case& c : table) {
        const std::string name = c.command.join(' ').toStdString();
        MonitorProcess monitor(c.simArgs);
        ASSERT_FALSE(monitor.device().isEmpty());
        QProcess prmctl;
        prmctl.start(PRMCTL_PATH, QStringList{"--port", monitor.device()} << c.command);
        const QRegularExpression running(QLatin1String(c.running),
                                         QRegularExpression::MultilineOption);
        QString out;
        ASSERT_TRUE(waitUntil(
            [&] {
                out += QString::fromLocal8Bit(prmctl.readAllStandardOutput());
                return out.contains(running);
            },
            20000))
            << name << '\n'
            << out.toStdString() << prmctl.readAllStandardError().toStdString();
        monitor.pullOut();
        // Generous: the end comes with the port's loss, long before any watchdog.
        ASSERT_TRUE(prmctl.waitForFinished(10000)) << name;
        out += QString::fromLocal8Bit(prmctl.readAllStandardOutput());
        const QString err = QString::fromLocal8Bit(prmctl.readAllStandardError());
        EXPECT_EQ(prmctl.exitCode(), 1) << name;
        EXPECT_TRUE(out.contains(monitor.device() + " was lost")) << name << '\n'
                                                                  << out.toStdString();
        EXPECT_FALSE(err.isEmpty()) << name;
    }
    EXPECT_FALSE(QFile::exists(png));
    EXPECT_FALSE(QFile::exists(offlinePng));
    for (const QString& earlier : {battery, records}) {
        QFile f(earlier);
        EXPECT_TRUE(f.open(QIODevice::ReadOnly) && f.readAll() == "earlier\n")
            << earlier.toStdString();
        EXPECT_TRUE(QFile::exists(earlier + ".incomplete"));
    }
}

// Every command line is checked whole before the port is opened (the port named does not
// exist): an unknown option, a word too many or a word no command takes is refused by name on
// standard error with exit code 2; --help answers at each level on standard output; a port
// that cannot be opened is a failure (1), not a usage error.
TEST(PrmctlCommandLine, EveryLevelAnswersHelpAndRefusesWhatItDoesNotTake) {
    const std::tuple<QStringList, int, QString, QString> table[] = {
        // arguments, exit code, on standard output, on standard error
        {{"settings", "read", "--foo"}, 2, "", "prmctl settings read: unknown option --foo"},
        {{"records", "read", "alarms", "extra"}, 2, "", "unexpected word \"extra\""},
        {{"records", "clear", "everything"}, 2, "", "\"everything\" is not one of alarms|dose"},
        {{"spectrum", "adc", "--png"}, 2, "", "--png needs a value"},
        {{"records", "frob"}, 2, "", "prmctl records: unknown command \"frob\""},
        {{"frob"}, 2, "", "prmctl: unknown command \"frob\""},
        {{"--help"}, 0, "usage: prmctl [--port COMn|DEVICE]", ""},
        {{"spectrum", "--help"}, 0, "usage: prmctl [OPTIONS] spectrum offline", ""},
        {{"records", "read", "--help"}, 0, "  --pdf F", ""},
        {{"test", "uart", "--version"}, 0, "prmctl ", ""},
        {{"test", "uart"}, 1, "", "Cannot open /dev/prmctl-test-no-such-port"},
        {{"ports", "--map", "COM7=/dev/tty"},
         2,
         "",
         "prmctl ports: --map needs COMn=DEVICE with COMn from COM1 to COM6, not 'COM7=/dev/tty'"},
        {{"ports", "--map", "COM2", "--json"}, 2, "", "not 'COM2'"},
        {{"ports", "--unmap"}, 2, "", "--unmap needs a value (COMn)"},
        {{"ports", "--help"}, 0, "  --map COMn=DEVICE", ""},
    };
    for (const auto& [args, exitCode, out, err] : table) {
        const Outcome r = runPrmctl(QStringList{"--port", "/dev/prmctl-test-no-such-port"} << args);
        const QString errors = r.err.split('\n')
                                   .filter(QRegularExpression("^(?!QStandardPaths)"))
                                   .join('\n')
                                   .trimmed();
        const std::string what =
            args.join(' ').toStdString() + "\n" + (r.out + "--\n" + errors).toStdString();
        EXPECT_EQ(r.exitCode, exitCode) << what;
        EXPECT_EQ(r.out.isEmpty(), out.isEmpty()) << what;
        EXPECT_TRUE(r.out.contains(out)) << what;
        EXPECT_EQ(errors.isEmpty(), err.isEmpty()) << what;
        EXPECT_TRUE(errors.contains(err)) << what;
    }
}

// prmctl ports maps a COM name in the port map file and lists what each stands for, as
// vm418ctl ports does; a device that is not there changes nothing and fails.
TEST(PrmctlPorts, MapListAndUnmapThroughThePortMapFile) {
    QTemporaryDir config;
    PtyPeer adapter;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("XDG_CONFIG_HOME", config.path());
    env.insert("PRMTOOL_COM4", "/dev/pts/77");
    env.remove("PRMTOOL_COM3");
    const QString ini = config.filePath("prmtool/ports.ini");

    Outcome r = runPrmctl({"ports", "--map", "com3=" + adapter.device()}, env);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    QStringList lines = r.out.split('\n');
    EXPECT_EQ(lines.value(0), "COM3 is " + adapter.device() + ", kept in " + ini);
    EXPECT_EQ(lines.value(3), "COM3   " + adapter.device());
    EXPECT_EQ(lines.value(4), "COM4   /dev/pts/77  (set by PRMTOOL_COM4)");

    r = runPrmctl({"ports", "--unmap", "COM3", "--map", "COM5=/dev/no-such-adapter"}, env);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(
        r.err.contains("prmctl ports: /dev/no-such-adapter does not exist, nothing changed"))
        << r.err.toStdString();
    EXPECT_TRUE(r.out.isEmpty());
    r = runPrmctl({"ports", "--map", "COM3="}, env);  // no device: not an unmap
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("no device given, nothing changed")) << r.err.toStdString();

    r = runPrmctl({"ports", "--json"}, env);
    const QJsonArray names = QJsonDocument::fromJson(r.out.toUtf8()).object()["names"].toArray();
    ASSERT_EQ(names.size(), 6) << r.out.toStdString();
    EXPECT_EQ(names[2].toObject()["device"].toString(), adapter.device());
    EXPECT_EQ(names[3].toObject()["environment"].toString(), "PRMTOOL_COM4");
    EXPECT_FALSE(names[2].toObject().contains("environment"));

    r = runPrmctl({"ports", "--unmap", "COM3"}, env);
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.out.contains("COM3   /dev/ttyS2\n")) << r.out.toStdString();
}

// A PDF that cannot be written is an error before anything is read.
TEST(PrmctlRecords, PdfThatCannotBeWrittenIsAnError) {
    const Outcome r = runPrmctl(
        {"--simulate", "records", "read", "dose", "--pdf", "/nonexistent-folder/dose.pdf"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("cannot write /nonexistent-folder/dose.pdf")) << r.err.toStdString();
    EXPECT_FALSE(r.out.contains("START")) << r.out.toStdString();
}

// In the window the console ends the same way: the port's message, the end, the recording's
// file kept as incomplete, nothing left running.
TEST(ConsoleLostPort, BatteryRecordingEndsAtOnceAndItsFileIsKeptAsIncomplete) {
    OnSimulator c({"--battery", "500", "--stream-period", "100"});
    c.ctl.setFileName("battery.asc");
    c.ctl.toggleRecording();
    c.ctl.click(Button::Record);
    ASSERT_TRUE(waitUntil([&] { return c.ctl.echoCountText().toInt() >= 3; }));
    c.simulator.stop();
    ASSERT_TRUE(waitUntil([&] { return !c.ctl.running(); }));
    EXPECT_EQ(c.finished, 1);
    const QStringList lost = c.seen.filter(c.simulator.device() + " was lost: ");
    ASSERT_EQ(lost.size(), 1) << c.seen.join('|').toStdString();
    EXPECT_EQ(c.seen.mid(c.seen.indexOf(lost.first())),
              (QStringList{lost.first(), "END of recording Battery", "File battery.asc closed",
                           "File battery.asc incomplete: kept as battery.asc.incomplete"}));
    EXPECT_EQ(c.file("battery.asc"), "<missing>");
    EXPECT_TRUE(c.file("battery.asc.incomplete").startsWith("21:30:05 5.00\n"));
}

}  // namespace
}  // namespace prm
