// What a command that runs as a systemd service (Type=notify) tells systemd: that it is ready,
// that it is still alive (within WatchdogSec), and a line of status for `systemctl status`.
// Outside systemd nothing is sent.
#pragma once

#include <QString>

namespace station::cli {

void NotifyReady(const QString& status);
void NotifyStatus(const QString& status);
void NotifyAlive();
void NotifyStopping();
// How often the service must say it is alive, in milliseconds: half of WatchdogSec, so that
// one late notice does not get it killed; 0 when no watchdog watches it.
qint64 AliveIntervalMs();

}  // namespace station::cli
