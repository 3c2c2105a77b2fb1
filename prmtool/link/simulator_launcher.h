#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

namespace prm {

// Starts hm210-sim on a pseudo-terminal for --simulate and stops it again.
class SimulatorLauncher {
  public:
    SimulatorLauncher() = default;
    ~SimulatorLauncher();
    SimulatorLauncher(const SimulatorLauncher&) = delete;
    SimulatorLauncher& operator=(const SimulatorLauncher&) = delete;

    // The simulator program: $HM210_SIM, else beside this program, else the build tree's
    // (found from this program's folder), else hm210-sim on the PATH.
    static QString program();

    // Starts it with extra arguments (for example --fault no-echo). Returns false with a
    // message when it cannot be started or names no device.
    bool start(const QStringList& arguments, QString* error);
    // The far side of its pseudo-terminal.
    QString device() const { return device_; }
    void stop();

  private:
    QProcess process_;
    QString device_;
};

}  // namespace prm
