#pragma once

namespace station::cli {

// `vm418ctl db ...`: the station database from the command line (data source set-up,
// systems, import, listings, export). argv[0] is "db". Returns the exit code.
int RunDbCommand(int argc, char** argv);

}  // namespace station::cli
