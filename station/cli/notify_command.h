#pragma once

#include <QString>
#include <atomic>

#include "command_line.h"
#include "notify_channels.h"

namespace station::cli {

// The configuration's channels read and registered in the store, and libcurl made ready;
// -1 when the sender may run (also without channels), else the exit code, said on stderr.
int PrepareNotifySender(const QString& db, NotifySettings& settings);
// Delivers what is due until `stop`, woken by this process's stores and otherwise once a
// second (for rows other programs and PCs write). `watched`: it is the process's loop that
// systemd's watchdog watches.
void RunNotifySender(const QString& db, const NotifySettings& settings,
                     const std::atomic<bool>& stop, bool watched);
// Delivers what is due now; false when a delivery failed or the store could not be read.
bool DeliverAllDue(const QString& db, const NotifySettings& settings);

extern const CommandSpec kNotifyCommand;

}  // namespace station::cli
