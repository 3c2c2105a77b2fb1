#include "simulator_launcher.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QStandardPaths>

namespace prm {

namespace {
constexpr int kStartTimeoutMs = 5000;
}

SimulatorLauncher::~SimulatorLauncher() {
    stop();
}

QString SimulatorLauncher::program() {
    const QString fromEnv = qEnvironmentVariable("HM210_SIM");
    if (!fromEnv.isEmpty()) return fromEnv;
    // Installed, the simulator is beside the program; in the build tree it is in sim/hm210,
    // one folder up from prmctl and two from prmtool and the tests. No build path is kept in
    // the program, so an installed copy never runs a simulator of some build tree.
    const QString dir = QCoreApplication::applicationDirPath();
    for (const char* relative :
         {"/hm210-sim", "/../sim/hm210/hm210-sim", "/../../sim/hm210/hm210-sim"}) {
        const QFileInfo candidate(dir + QLatin1String(relative));
        if (candidate.isFile() && candidate.isExecutable()) return candidate.absoluteFilePath();
    }
    return QStandardPaths::findExecutable(QStringLiteral("hm210-sim"));
}

bool SimulatorLauncher::start(const QStringList& arguments, QString* error) {
    const QString prog = program();
    if (prog.isEmpty()) {
        *error = QStringLiteral("The simulator hm210-sim was not found (set HM210_SIM)");
        return false;
    }
    process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process_.start(prog, arguments);
    if (!process_.waitForStarted(kStartTimeoutMs)) {
        *error = QStringLiteral("Cannot start %1: %2").arg(prog, process_.errorString());
        return false;
    }
    // Its first line names the device to open.
    while (!process_.canReadLine()) {
        if (!process_.waitForReadyRead(kStartTimeoutMs)) {
            *error = QStringLiteral("%1 named no device").arg(prog);
            stop();
            return false;
        }
    }
    device_ = QString::fromLocal8Bit(process_.readLine()).trimmed();
    return true;
}

void SimulatorLauncher::stop() {
    if (process_.state() == QProcess::NotRunning) return;
    process_.terminate();
    if (!process_.waitForFinished(kStartTimeoutMs)) process_.kill();
    process_.waitForFinished(kStartTimeoutMs);
}

}  // namespace prm
