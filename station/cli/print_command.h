#pragma once

namespace station::cli {

// `vm418ctl [--db CONNECTION] print alarms|history|params --system N
//  [--from DATE --to DATE | --at DATETIME] --pdf FILE`: the pages the view would print, from
// the database, into an A4 PDF file. Returns the exit code.
int RunPrintCommand(int argc, char** argv);

// True when the command line asks for `print`.
bool IsPrintCommand(int argc, char** argv);

}  // namespace station::cli
