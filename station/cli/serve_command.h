// vm418ctl serve: the fleet view, read-only web pages over the station database.
#pragma once

namespace station::cli {

bool IsServeCommand(int argc, char** argv);
int RunServeCommand(int argc, char** argv);

}  // namespace station::cli
