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

}  // namespace station
