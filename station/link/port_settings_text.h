// The port settings text a system row keeps: "port baud parity stopbits databits flow",
// for example "COM2 19200 0 0 8 3".
#pragma once

#include <string>

#include "serial.h"

namespace station {

// The longest port name a settings text keeps: the System table holds 255 characters, and
// the five numbers after the name take at most 15 (" 256000 4 2 8 3").
constexpr size_t kPortNameMax = 240;

struct PortSettings {
    std::string port = "COM1";
    LineSettings line;
};

// A text without all six fields gives every default; a value outside its list gives that
// field's default and keeps the others. The port name is kept whole (up to kPortNameMax).
PortSettings ParsePortSettingsText(const std::string& text);

// The same text checked strictly, for settings a user types: exactly six fields, the port
// name at most kPortNameMax characters, whole numbers, each value in its list. Returns "" and fills
// `out` when the text is sound, else the reason ("parity 7 is not in 0-4") and leaves `out`
// alone.
std::string ParsePortSettingsTextStrict(const std::string& text, PortSettings* out);

// The flow choice the line flags amount to: 0 RTS/CTS (RTS handshake with CTS flow), 1 DTR/DSR
// (DTR handshake with DSR flow), 2 XON/XOFF (both directions), else 3; where several match
// the highest wins.
int FlowChoice(const LineSettings& line);
// Switches every flow option off (DTR and RTS on, no CTS or DSR flow, no XON/XOFF), then
// applies the choice 0 to 3 as FlowChoice reads it.
void ApplyFlowChoice(LineSettings& line, int flow);

// The text a system row keeps for a port and its line settings ("%s %d %d %d %d %d").
std::string FormatPortSettingsText(const std::string& port, const LineSettings& line);

}  // namespace station
