// vm418ctl call: one system called through the station document.
#pragma once

namespace station::cli {

// argv[0] is the program, then "call" (or "--db X call") and its options.
int RunCallCommand(int argc, char** argv);

}  // namespace station::cli
