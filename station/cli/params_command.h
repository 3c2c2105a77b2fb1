// vm418ctl params diff: what changed between two parameter blocks stored for one station.
#pragma once

#include "command_line.h"

namespace station::cli {

extern const CommandSpec kParamsDiffCommand;

}  // namespace station::cli
