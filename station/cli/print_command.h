// vm418ctl print: a view's printout without a window.
#pragma once

#include "command_line.h"

namespace station::cli {

extern const CommandSpec kPrintCommand;

}  // namespace station::cli
