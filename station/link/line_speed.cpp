#include "line_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace station {

bool SetLineSpeed(int fd, uint32_t bitsPerSecond) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return false;
    // BOTHER: the rate is the number in c_ospeed. No input rate bits: input runs at the
    // output rate.
    tio.c_cflag &= ~(CBAUD | (CBAUD << IBSHIFT));
    tio.c_cflag |= BOTHER;
    tio.c_ospeed = bitsPerSecond;
    tio.c_ispeed = bitsPerSecond;
    return ioctl(fd, TCSETS2, &tio) == 0;
}

uint32_t GetLineSpeed(int fd) {
    termios2 tio{};
    if (ioctl(fd, TCGETS2, &tio) != 0) return 0;
    return tio.c_ospeed;
}

}  // namespace station
