// Dates on the command line of vm418ctl.
#pragma once

#include <QString>
#include <ctime>
#include <optional>

#include "station_db.h"

namespace station::cli {

// "2008-12-03" or "2008-12-03 10:20:30", local time. A bare date stands for its first second,
// or with `endOfDay` for its last. Empty when the text is no such date.
std::optional<std::time_t> ParseCommandTime(const QString& text, bool endOfDay);

// --from and --to ("2008-12-03") as whole days, both included; a bound not given (empty text)
// leaves that side open. False with `error` when a date is no date or --from lies after --to.
bool ParseDays(const QString& from, const QString& to, vm418::RecordCondition& out, QString& error);

}  // namespace station::cli
