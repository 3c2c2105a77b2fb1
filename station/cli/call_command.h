// vm418ctl call: one system called through the station document.
#pragma once

#include "command_line.h"

namespace station::cli {

extern const CommandSpec kCallCommand;

}  // namespace station::cli
