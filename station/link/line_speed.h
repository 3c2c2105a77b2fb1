// Line rates in bit/s through the kernel's termios2 interface, which takes any rate, not
// only those with a Bxxx constant (14400, 28800, 56000, 128000 and 256000 have none). Kept
// apart from <termios.h>, whose declarations clash with the kernel's.
#pragma once

#include <cstdint>

namespace station {

// Sets the output and input rate of a terminal device, the other settings unchanged. False
// with errno set when the driver refuses the request.
bool SetLineSpeed(int fd, uint32_t bitsPerSecond);
// The output rate the driver reports, or 0 with errno set.
uint32_t GetLineSpeed(int fd);

}  // namespace station
