#pragma once

#include <QStringList>
#include <QTextStream>

#include "link.h"

namespace prm {

// `prmctl records read alarms|dose [--file F] [--pdf F]` and `prmctl records clear
// alarms|dose`. Returns the exit code: 0 done, 1 failed on the line, 2 bad usage.
int runRecordsCommand(Link& link, const QStringList& args, QTextStream& out, QTextStream& err);

}  // namespace prm
