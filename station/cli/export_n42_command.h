// vm418ctl export alarms --n42: the stored alarms of a system as an ANSI N42.42 file.
#pragma once

#include "command_line.h"

namespace station::cli {

// `export alarms --system N --n42 FILE [--from DATE] [--to DATE]` (whole days): the
// stored alarms with what the System table and the newest stored parameter block say about
// the unit. Returns the exit code.
int RunExportN42(const Invocation& call);

}  // namespace station::cli
