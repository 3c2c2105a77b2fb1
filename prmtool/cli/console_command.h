#pragma once

#include <QStringList>
#include <QTextStream>

#include "link.h"

namespace prm {

// `prmctl test NAME [--repeat N] [--for S] [--yes]` and
// `prmctl battery record --file F [--count N]`: the test console's commands, printing the
// console's log lines. Returns 0 when the test passed, 1 on any device error, 2 bad usage.
int runTestCommand(Link& link, const QStringList& args, QTextStream& out, QTextStream& err);
int runBatteryCommand(Link& link, const QStringList& args, QTextStream& out, QTextStream& err);
// `prmctl spectrum scan gamma|neutron --time S [--png F]`, `spectrum adc --time S [--png F]`,
// `spectrum offline enable-spectrum|enable-histogram --time S`,
// `spectrum offline get|histogram [--png F]`.
int runSpectrumCommand(Link& link, const QStringList& args, QTextStream& out, QTextStream& err);

}  // namespace prm
