// vm418ctl autocall: unattended collection from every system that is due.
#pragma once

namespace station::cli {

// argv[0] is the program, then "autocall" (after "--db X" if given) and its options.
int RunAutocallCommand(int argc, char** argv);

}  // namespace station::cli
