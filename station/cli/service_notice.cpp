#include "service_notice.h"

#include <systemd/sd-daemon.h>

namespace station::cli {

namespace {

void Notify(const QString& state) {
    sd_notify(0, state.toUtf8().constData());
}

}  // namespace

void NotifyReady(const QString& status) {
    Notify("READY=1\nSTATUS=" + status);
}

void NotifyStatus(const QString& status) {
    Notify("STATUS=" + status);
}

void NotifyAlive() {
    Notify(QStringLiteral("WATCHDOG=1"));
}

void NotifyStopping() {
    Notify(QStringLiteral("STOPPING=1"));
}

qint64 AliveIntervalMs() {
    uint64_t usec = 0;
    if (sd_watchdog_enabled(0, &usec) <= 0) return 0;
    return qint64(usec / 2000);
}

}  // namespace station::cli
