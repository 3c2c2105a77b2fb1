#include "serial.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <strings.h>

#include "com.h"
#include "trace.h"

namespace station {

namespace {

constexpr size_t kComNameKept = 5;  // "COMnn"

bool BaudConstant(uint32_t baud, speed_t* out) {
    static constexpr struct {
        uint32_t baud;
        speed_t constant;
    } kRates[] = {{110, B110},       {300, B300},      {600, B600},       {1200, B1200},
                  {2400, B2400},     {4800, B4800},    {9600, B9600},     {19200, B19200},
                  {38400, B38400},   {57600, B57600},  {115200, B115200}, {230400, B230400},
                  {460800, B460800}, {921600, B921600}};
    for (const auto& r : kRates) {
        if (r.baud == baud) {
            *out = r.constant;
            return true;
        }
    }
    return false;
}

// The [Ports] entry for a COM name in the user's port map, or "".
std::string MappedInIni(const std::string& comName) {
    std::string path;
    if (const char* dir = std::getenv("XDG_CONFIG_HOME"); dir && *dir) {
        path = dir;
    } else if (const char* home = std::getenv("HOME"); home && *home) {
        path = std::string(home) + "/.config";
    } else {
        return {};
    }
    std::ifstream ini(path + "/vm418station/ports.ini");
    std::string line;
    bool inPorts = false;
    auto trim = [](std::string s) {
        const size_t b = s.find_first_not_of(" \t\r");
        const size_t e = s.find_last_not_of(" \t\r");
        return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
    };
    while (std::getline(ini, line)) {
        line = trim(line);
        if (line.empty() || line[0] == ';' || line[0] == '#') continue;
        if (line[0] == '[') {
            inPorts = strcasecmp(line.c_str(), "[Ports]") == 0;
            continue;
        }
        const size_t eq = line.find('=');
        if (!inPorts || eq == std::string::npos) continue;
        if (strcasecmp(trim(line.substr(0, eq)).c_str(), comName.c_str()) == 0) {
            return trim(line.substr(eq + 1));
        }
    }
    return {};
}

}  // namespace

std::string ResolvePortName(const std::string& name) {
    if (!name.empty() && name[0] == '/')
        return name;
    if (name.size() > 3 && strncasecmp(name.c_str(), "COM", 3) == 0) {
        const std::string number = name.substr(3);
        const std::string var = "VM418_COM" + number;
        if (const char* mapped = std::getenv(var.c_str()); mapped && *mapped)
            return mapped;
        if (const std::string fromIni = MappedInIni("COM" + number); !fromIni.empty())
            return fromIni;
        const int n = std::atoi(number.c_str());
        if (n >= 1)
            return "/dev/ttyS" + std::to_string(n - 1);
    }
    return name;
}

CSerial::~CSerial() {
    // The engine's threads must be gone before the device they poll is closed.
    if (handle >= 0 && com != nullptr)
        com->CloseCom();
    if (handle >= 0)
        ::close(handle);
}

bool CSerial::ApplySettings() {
    termios tio{};
    if (tcgetattr(handle, &tio) != 0)
        return false;
    cfmakeraw(&tio);
    speed_t speed;
    if (!BaudConstant(dcb.BaudRate, &speed)) {
        errno = EINVAL;
        return false;
    }
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    switch (dcb.ByteSize) {
        case 5:
            tio.c_cflag |= CS5;
            break;
        case 6:
            tio.c_cflag |= CS6;
            break;
        case 7:
            tio.c_cflag |= CS7;
            break;
        case 8:
            tio.c_cflag |= CS8;
            break;
        default:
            errno = EINVAL;
            return false;
    }
    switch (dcb.Parity) {
        case 0:
            break;
        case 1:
            tio.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            tio.c_cflag |= PARENB;
            break;
        case 3:
            tio.c_cflag |= PARENB | PARODD | CMSPAR;
            break;
        case 4:
            tio.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            errno = EINVAL;
            return false;
    }
    if (dcb.StopBits > 2) {
        errno = EINVAL;
        return false;
    }
    if (dcb.StopBits != 0)
        tio.c_cflag |= CSTOPB;  // one and a half is sent as two
    if (dcb.fParity)
        tio.c_iflag |= INPCK;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == 2)
        tio.c_cflag |= CRTSCTS;
    if (dcb.fOutX)
        tio.c_iflag |= IXON;
    if (dcb.fInX)
        tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(handle, TCSANOW, &tio) != 0)
        return false;
    // A pseudo-terminal has no modem lines; failing to set DTR there is no error.
    const int dtr = TIOCM_DTR;
    if (dcb.fDtrControl == 1 && ioctl(handle, TIOCMBIS, &dtr) != 0)
        Trace("DTR cannot be set on this device\n");
    return true;
}

bool CSerial::Open(const std::string& name) {
    if (handle >= 0)
        return true;
    if (!name.empty())
        port = name[0] == '/' ? name : name.substr(0, kComNameKept);
    const std::string device = ResolvePortName(port);
    openError_.clear();
    handle = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        const int err = errno;
        openError_ = device + ": " + std::strerror(err);
        if (err == EACCES)
            openError_ += " (is the user in the dialout group?)";
        return false;
    }
    // No sharing: a second program cannot open the device while we hold it.
    if (ioctl(handle, TIOCEXCL) != 0 && errno != ENOTTY)
        Trace("TIOCEXCL refused\n");
    if (!ApplySettings()) {
        openError_ = device + ": line settings refused: " + std::strerror(errno);
        ::close(handle);
        handle = -1;
        return false;
    }
    if (com != nullptr)
        return com->StartCom(handle);
    return true;
}

bool CSerial::Close() {
    const bool result = com != nullptr && com->CloseCom();
    if (handle >= 0)
        ::close(handle);
    handle = -1;
    return result;
}

}  // namespace station
