// prmctl as a script sees it: values it refuses before anything is opened, the port it
// shares with no other program, and a lost port that ends what is running as a failure.

#include <gtest/gtest.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "link.h"
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
                  const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment()) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(PRMCTL_PATH, args);
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
// holder's process id; once it is released, prmctl runs.
TEST(PrmctlPort, PortInUseByAnotherProgramIsRefusedWithItsProcessId) {
    QTemporaryDir lockDir;
    qputenv("PRMTOOL_LOCK_DIR", lockDir.path().toLocal8Bit());
    SimulatorLauncher simulator;
    QString error;
    ASSERT_TRUE(simulator.start({}, &error)) << error.toStdString();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    {
        Link holder;
        holder.port().setDevice(simulator.device());
        ASSERT_TRUE(holder.port().open()) << holder.port().lastError().toStdString();
        const Outcome r = runPrmctl({"--port", simulator.device(), "test", "uart"}, env);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.contains(QStringLiteral("Cannot open %1: port in use by process %2")
                                       .arg(simulator.device())
                                       .arg(getpid())))
            << r.err.toStdString();
    }
    const Outcome r = runPrmctl({"--port", simulator.device(), "test", "uart"}, env);
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    qunsetenv("PRMTOOL_LOCK_DIR");
}

}  // namespace
}  // namespace prm
