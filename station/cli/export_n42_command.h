#pragma once

namespace station::cli {

// Whether the command line is `vm418ctl [--db CONNECTION] export ... --n42 FILE ...`.
bool IsExportN42Command(int argc, char** argv);

// `vm418ctl [--db CONNECTION] export alarms --system N --n42 FILE [--from DATE] [--to DATE]`:
// the stored alarms of a system as an ANSI N42.42 file. argv[0] is the program. Returns the
// exit code: 0, 1 when the database or the file fails, 2 for a usage error or a system that
// is not in the System table.
int RunExportN42Command(int argc, char** argv);

}  // namespace station::cli
