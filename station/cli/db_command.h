// vm418ctl's database commands: data source set-up, systems, import, listings, export.
#pragma once

#include "command_line.h"

namespace station::cli {

extern const CommandSpec kDbInitCommand;
extern const CommandSpec kSystemsListCommand;
extern const CommandSpec kSystemsShowCommand;
extern const CommandSpec kSystemsAddCommand;
extern const CommandSpec kSystemsSetCommand;
extern const CommandSpec kImportCommand;
extern const CommandSpec kAlarmsListCommand;
extern const CommandSpec kHistoryListCommand;
extern const CommandSpec kParamsShowCommand;
extern const CommandSpec kParamsListCommand;
extern const CommandSpec kExportAlarmsCommand;

}  // namespace station::cli
