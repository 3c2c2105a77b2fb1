// The port settings text a system row keeps: "port baud parity stopbits databits flow",
// for example "COM2 19200 0 0 8 3".
#pragma once

#include <string>

#include "serial.h"

namespace station {

struct PortSettings {
    std::string port = "COM1";
    LineSettings line;
};

// A text without all six fields gives every default; a value outside its list gives that
// field's default and keeps the others.
PortSettings ParsePortSettingsText(const std::string& text);

// The same text checked strictly, for settings a user types: exactly six fields, the port
// name at most five characters, whole numbers, each value in its list. Returns "" and fills
// `out` when the text is sound, else the reason ("parity 7 is not in 0-4") and leaves `out`
// alone.
std::string ParsePortSettingsTextStrict(const std::string& text, PortSettings* out);

}  // namespace station
