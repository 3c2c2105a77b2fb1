#pragma once

// Test consoles in a temporary working folder: against the simulated monitor, or against a
// scripted monitor on a pseudo-terminal for the bytes on the wire.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>

#include "pty_peer.h"
#include "qt_wait.h"
#include "settings_golden.h"
#include "simulator_launcher.h"
#include "testconsole.h"

namespace prm {

using Button = TestConsoleController::Button;

// The console in a temporary working folder (its files go there).
class ConsoleFixture {
  public:
    ConsoleFixture() {
        previousDir_ = QDir::currentPath();
        QDir::setCurrent(dir.path());
        QObject::connect(&ctl, &TestConsoleController::testFinished, [this] { ++finished; });
        // The memo keeps only its last lines; `seen` keeps every line ever added.
        QObject::connect(&ctl.log(), &ScreenLog::lineAdded, [this](const QString& l) { seen << l; });
        ctl.setPcClock([] { return QDateTime(QDate(2026, 12, 8), QTime(21, 30, 5)); });
    }
    ~ConsoleFixture() { QDir::setCurrent(previousDir_); }
    QStringList log() const { return ctl.log().lines(); }
    // The log from the last line starting with `start` on.
    QStringList from(const QString& start) const {
        const QStringList l = log();
        const qsizetype i = l.lastIndexOf(start);
        return i < 0 ? QStringList{} : l.mid(i);
    }
    bool run(Button b, int limitMs = 8000) {
        const int before = finished;
        ctl.click(b);
        return waitUntil([&] { return finished > before; }, limitMs);
    }
    QByteArray file(const QString& name) const {
        QFile f(dir.filePath(name));
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }

    QTemporaryDir dir;
    Link link;
    TestConsoleController ctl{link};
    int finished = 0;
    QStringList seen;

  private:
    QString previousDir_;
};

class OnSimulator : public ConsoleFixture {
  public:
    explicit OnSimulator(const QStringList& simArgs = {}) {
        QString error;
        EXPECT_TRUE(simulator.start(simArgs, &error)) << error.toStdString();
        link.port().setDevice(simulator.device());
        EXPECT_TRUE(link.port().open());
        link.ensureWorker();
        ctl.activate();
    }
    SimulatorLauncher simulator;
};

// A scripted monitor on a pseudo-terminal, for the bytes on the wire.
class ConsoleOnPeer : public ConsoleFixture, public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        link.port().setDevice(peer.device());
        ASSERT_TRUE(link.port().open());
        link.ensureWorker();
        // The opening reads the user settings: answer them.
        QTimer::singleShot(20, [this] {
            if (peer.take(1) == "J") peer.send(echoed(goldenUserBlock()));
        });
        ctl.activate();
        peer.received();
        peer.take(peer.received().size());
    }
    PtyPeer peer;
};

}  // namespace prm
