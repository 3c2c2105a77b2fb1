// vm418ctl serve: the fleet view, read-only web pages over the station database.
#pragma once

#include "command_line.h"

namespace station::cli {

extern const CommandSpec kServeCommand;

}  // namespace station::cli
