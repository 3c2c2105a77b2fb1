// vm418ctl autocall: unattended collection from every system that is due.
#pragma once

#include "command_line.h"

namespace station::cli {

extern const CommandSpec kAutocallCommand;

}  // namespace station::cli
