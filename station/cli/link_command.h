// `vm418ctl link`: the field engineer's low-level tool over the station link alone.
#pragma once

#include "command_line.h"

namespace station::cli {

extern const CommandSpec kLinkFetchCommand;
extern const CommandSpec kLinkSendCommand;

}  // namespace station::cli
