// The machine's serial devices as the system reports them, for the port lists of both
// programs' windows and command-line tools.
#pragma once

#include <QString>
#include <utility>
#include <vector>

namespace suite {

// Each device by its stable /dev/serial/by-id name where there is one (a USB adapter keeps it
// across boots and sockets, while /dev/ttyUSBn is given out anew at each plug-in), else by
// the device itself, with what it is: "FT232R USB UART, FTDI, serial number A50285BI,
// /dev/ttyUSB0".
std::vector<std::pair<QString, QString>> SerialDevices();

}  // namespace suite
