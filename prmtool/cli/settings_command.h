#pragma once

#include <QString>
#include <QStringList>
#include <QTextStream>

#include "link.h"

namespace prm {

// `prmctl settings read [--default]` and `prmctl settings write NAME=VALUE ...`.
// Returns the exit code: 0 done and confirmed, 1 refused or failed, 2 bad usage.
int runSettingsCommand(Link& link, const QStringList& args, QTextStream& out, QTextStream& err);

}  // namespace prm
