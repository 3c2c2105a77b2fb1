#pragma once

#include "command_line.h"

namespace station::cli {

// vm418ctl ports: the COM names and the devices they stand for, and the machine's serial
// devices.
extern const CommandSpec kPortsCommand;

}  // namespace station::cli
