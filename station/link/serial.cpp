#include "serial.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <strings.h>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <string>

#include "com.h"
#include "line_speed.h"
#include "modem_escape.h"
#include "port_transport.h"
#include "trace.h"

namespace station {

namespace {

constexpr size_t kComNameKept = 5;  // "COMnn"
constexpr int kFewestDataBits = 5;  // a Linux line sends 5 to 8
constexpr uint8_t kOneAndHalfStopBits = 1;
constexpr uint8_t kTwoStopBits = 2;
constexpr uint8_t kHighestParity = 4;  // space
constexpr uint8_t kLineEnable = 1;     // DTR and RTS control: 0 off, 1 on, 2 handshake
constexpr uint8_t kHandshake = 2;
constexpr uint8_t kRtsToggle = 3;
// Two ends of a line may differ by about 5% in all before a character is misread; a device
// that comes within 3% of the rate asked for serves it.
constexpr uint64_t kRateTolerancePercent = 3;

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

// The reason a Linux line cannot run with these settings, or "".
std::string RefusedSetting(const LineSettings& l) {
    constexpr const char* kNotPossible = " not possible on this line";
    if (l.BaudRate == 0) return std::string("0 bit/s is") + kNotPossible;
    if (l.ByteSize < kFewestDataBits || l.ByteSize > 8)
        return std::to_string(l.ByteSize) + " data bits are" + kNotPossible;
    if (l.Parity > kHighestParity)
        return "parity code " + std::to_string(l.Parity) + " is" + kNotPossible;
    if (l.StopBits == kOneAndHalfStopBits) return std::string("1.5 stop bits are") + kNotPossible;
    if (l.StopBits > kTwoStopBits)
        return "stop bits code " + std::to_string(l.StopBits) + " is" + kNotPossible;
    // The kernel has no flow control on DSR and nothing that drives DTR by itself.
    if (l.fOutxDsrFlow || l.fDtrControl == kHandshake)
        return std::string("DTR/DSR flow control is") + kNotPossible;
    if (l.fDtrControl > kHandshake)
        return "DTR control " + std::to_string(l.fDtrControl) + " is" + kNotPossible;
    if (l.fDsrSensitivity) return std::string("DSR sensitivity is") + kNotPossible;
    if (l.fRtsControl == kRtsToggle) return std::string("RTS toggle is") + kNotPossible;
    if (l.fRtsControl > kRtsToggle)
        return "RTS control " + std::to_string(l.fRtsControl) + " is" + kNotPossible;
    return {};
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

std::mutex hangsUpMutex;
std::set<std::string>& HangsUpOnClose() {
    static std::set<std::string> devices;
    return devices;
}

}  // namespace

void SetHangsUpOnClose(const std::string& device, bool hangsUp) {
    std::lock_guard lock(hangsUpMutex);
    if (hangsUp)
        HangsUpOnClose().insert(device);
    else
        HangsUpOnClose().erase(device);
}

std::string ResolvePortName(const std::string& name) {
    if ((!name.empty() && name[0] == '/') || IsNetworkPortName(name)) return name;
    if (name.size() > 3 && strncasecmp(name.c_str(), "COM", 3) == 0) {
        const std::string number = name.substr(3);
        const std::string var = "VM418_COM" + number;
        if (const char* mapped = std::getenv(var.c_str()); mapped && *mapped) return mapped;
        if (const std::string fromIni = MappedInIni("COM" + number); !fromIni.empty())
            return fromIni;
        const int n = std::atoi(number.c_str());
        if (n >= 1) return "/dev/ttyS" + std::to_string(n - 1);
    }
    if (!name.empty() && name.find('/') == std::string::npos) return "/dev/" + name;
    return name;
}

CSerial::~CSerial() {
    // The engine's threads must be gone before the device they poll is closed.
    if (handle >= 0 && com != nullptr) com->CloseCom();
    SetCom(nullptr);
    CloseDevice();
}

void CSerial::SetCom(CCom* engine) {
    if (com != nullptr) std::erase(com->holders_, this);
    com = engine;
    if (com != nullptr) com->holders_.push_back(this);
}

std::string CSerial::ApplySettings() {
    termios tio{};
    if (tcgetattr(handle, &tio) != 0)
        return std::string("line settings refused: ") + std::strerror(errno);
    cfmakeraw(&tio);
    speed_t speed;
    const bool hasConstant = BaudConstant(dcb.BaudRate, &speed);
    if (hasConstant) {
        cfsetispeed(&tio, speed);
        cfsetospeed(&tio, speed);
    }
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= CLOCAL | CREAD;
    // The device keeps what an earlier program or open set; raw mode leaves these alone.
    tio.c_iflag &= ~(INPCK | IXON | IXOFF | IXANY);
    // RefusedSetting has let through only sizes and parities the tables hold.
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag |= kSizes[dcb.ByteSize - kFewestDataBits];
    static constexpr tcflag_t kParities[] = {0, PARENB | PARODD, PARENB, PARENB | PARODD | CMSPAR,
                                             PARENB | CMSPAR};
    tio.c_cflag |= kParities[dcb.Parity];
    if (dcb.StopBits == kTwoStopBits) tio.c_cflag |= CSTOPB;
    if (dcb.fParity) tio.c_iflag |= INPCK;
    if (dcb.fOutxCtsFlow || dcb.fRtsControl == kHandshake) tio.c_cflag |= CRTSCTS;
    if (dcb.fOutX) tio.c_iflag |= IXON;
    if (dcb.fInX) tio.c_iflag |= IXOFF;
    tio.c_cc[VSTART] = static_cast<cc_t>(dcb.XonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(dcb.XoffChar);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (tcsetattr(handle, TCSANOW, &tio) != 0)
        return std::string("line settings refused: ") + std::strerror(errno);
    const std::string rate = std::to_string(dcb.BaudRate) + " bit/s is not possible on this line";
    if (!hasConstant && !SetLineSpeed(handle, dcb.BaudRate))
        return rate + ": " + std::strerror(errno);
    // A driver may take a rate it cannot make and run at the nearest one it can.
    const uint32_t actual = GetLineSpeed(handle);
    const uint64_t off = actual > dcb.BaudRate ? actual - dcb.BaudRate : dcb.BaudRate - actual;
    if (off * 100 > uint64_t{dcb.BaudRate} * kRateTolerancePercent)
        return rate + " (the device gives " + std::to_string(actual) + ")";

    // Lines the driver does not run itself. A pseudo-terminal has no modem lines; failing
    // to set them there is no error.
    auto setLine = [this](int bit, bool on, const char* name) {
        if (ioctl(handle, on ? TIOCMBIS : TIOCMBIC, &bit) == 0) return true;
        TraceF("%s cannot be %s on this device\n", name, on ? "set" : "cleared");
        return false;
    };
    dtrSettable_ = setLine(TIOCM_DTR, dcb.fDtrControl == kLineEnable, "DTR");
    if ((tio.c_cflag & CRTSCTS) == 0) setLine(TIOCM_RTS, dcb.fRtsControl == kLineEnable, "RTS");
    return {};
}

void CSerial::CloseDevice() {
    if (network_) {
        // The modem behind a converter hangs up when DTR drops, as on a local line.
        if (auto* telnet = dynamic_cast<Rfc2217Transport*>(network_.get())) telnet->SetDtr(false);
        network_.reset();  // the engine let go of it when it stopped: the connection closes
        handle = -1;
    }
    if (handle >= 0) {
        // A modem hangs up when DTR drops; the close drops it only where the line is set to
        // (HUPCL), which another program may have cleared.
        if (dtrSettable_) {
            const int dtr = TIOCM_DTR;
            ioctl(handle, TIOCMBIC, &dtr);
        }
        // Exclusive mode belongs to the device, not to this descriptor: left set, it refuses
        // the next opening by a user who is not root for as long as the far side stays open
        // (a pseudo-terminal, a simulator, some adapters' drivers).
        if (exclusive_) ioctl(handle, TIOCNXCL);
        ::close(handle);  // also ends our flock
    }
    handle = -1;
    exclusive_ = false;
    dtrSettable_ = false;
    lock_.Release();
}

// An open port whose engine has stopped on a lost line is closed, so that the next Open
// opens it anew instead of reporting success without a running engine.
bool CSerial::StillOpen() {
    if (handle < 0) return false;
    if (com == nullptr || com->IsRunning()) return true;
    Close();
    return false;
}

bool CSerial::Open(const std::string& name) {
    if (StillOpen()) return true;
    if (!name.empty())
        port = name[0] == '/' || IsNetworkPortName(name) ? name : name.substr(0, kComNameKept);
    return OpenPort();
}

bool CSerial::OpenDevice(const std::string& name) {
    if (StillOpen()) return true;
    port = name;
    return OpenPort();
}

bool CSerial::OpenNetwork(const std::string& address) {
    std::string error;
    const auto parsed = ParseNetworkPortName(address, &error);
    if (!parsed) {
        openError_ = error;
        return false;
    }
    auto tcp = TcpTransport::Connect(*parsed, &error);
    if (!tcp) {
        openError_ = address + ": " + error;
        return false;
    }
    if (parsed->kind == NetworkPortName::Rfc2217) {
        auto telnet = std::make_shared<Rfc2217Transport>(tcp->ReleaseSocket());
        if (!telnet->Negotiate(dcb, &error)) {
            openError_ = address + ": " + error;
            return false;
        }
        network_ = std::move(telnet);
    } else {
        network_ = std::move(tcp);
    }
    handle = network_->Fd();
    if (com != nullptr) {
        const bool ranBefore = com->IsStarted();
        if (!com->StartCom(network_)) {
            openError_ = address + ": the port engine did not start (" + com->LastErrorText() + ")";
            if (!ranBefore && com->IsStarted()) com->CloseCom();
            CloseDevice();
            return false;
        }
    }
    return true;
}

bool CSerial::OpenPort() {
    const std::string device = ResolvePortName(port);
    openError_.clear();
    // A converter's line settings are its own (raw) or set through the option (RFC 2217);
    // its connection is held by its socket, not by a lock file.
    if (IsNetworkPortName(device)) return OpenNetwork(device);
    if (const std::string refused = RefusedSetting(dcb); !refused.empty()) {
        openError_ = device + ": " + refused;
        return false;
    }
    if (const std::string inUse = lock_.Acquire(device); !inUse.empty()) {
        openError_ = device + ": " + inUse;
        return false;
    }
    device_ = device;
    handle = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        const int err = errno;
        openError_ = device + ": " + std::strerror(err);
        if (err == EACCES) openError_ += " (is the user in the dialout group?)";
        if (err == EBUSY) openError_ += " (port in use by another program)";
        CloseDevice();
        return false;
    }
    // Programs that keep a port by flock on the device instead of a lock file (pyserial's
    // exclusive open, among others) hold it that way. Asked before the line is touched.
    if (flock(handle, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        openError_ = device + ": port in use by another program";
        CloseDevice();
        return false;
    }
    // No sharing: a second program cannot open the device while we hold it.
    exclusive_ = ioctl(handle, TIOCEXCL) == 0;
    if (!exclusive_ && errno != ENOTTY) Trace("TIOCEXCL refused\n");
    if (const std::string refused = ApplySettings(); !refused.empty()) {
        openError_ = device + ": " + refused;
        CloseDevice();
        return false;
    }
    // What the line holds from before this opening (the end of an earlier call, still in
    // the driver's buffers) is no part of this one.
    tcflush(handle, TCIOFLUSH);
    if (com != nullptr) {
        // An engine that runs already serves another port and is left alone; one that
        // failed half-way through its start on this port is stopped again.
        const bool ranBefore = com->IsStarted();
        if (!com->StartCom(handle)) {
            openError_ = device + ": the port engine did not start (" + com->LastErrorText() + ")";
            if (!ranBefore && com->IsStarted()) com->CloseCom();
            CloseDevice();
            return false;
        }
    }
    return true;
}

bool CSerial::DropsDtr() const {
    if (network_) {
        const auto* telnet = dynamic_cast<const Rfc2217Transport*>(network_.get());
        return telnet != nullptr && telnet->ComPortAgreed() && telnet->DtrConfirmed();
    }
    std::lock_guard lock(hangsUpMutex);
    return dtrSettable_ || HangsUpOnClose().count(device_) != 0;
}

bool CSerial::Close() {
    // Asked before the engine stops: stopping forgets the modem's state.
    const bool inCall = handle >= 0 && com != nullptr && com->IsRunning() && com->ModemInCall();
    const bool result = com != nullptr && com->CloseCom();
    HangUpByEscapeIfInCall(inCall);
    CloseDevice();
    return result;
}

// Runs with the engine stopped, so that nothing else reads the modem's answer.
void CSerial::HangUpByEscapeIfInCall(bool inCall) {
    if (!inCall || handle < 0) return;
    if (DropsDtr()) {
        Trace(network_ || dtrSettable_ ? "Hanging up by dropping DTR\n"
                                       : "Hanging up by closing the line (its far end takes "
                                         "the close for a dropped DTR)\n");
        return;
    }
    // A pseudo-terminal is most often a bridge to a line far away (socat, a converter's
    // own driver): its close does not reach the modem.
    Trace("Hanging up by the modem's escape sequence (DTR cannot be dropped on this line)\n");
    const std::shared_ptr<PortTransport> line =
        network_ ? network_ : std::make_shared<DeviceTransport>(handle);
    std::string why;
    if (HangUpByEscape(*line, EscapeSilence(ModemGuardTime()), &why))
        Trace("The modem hung up (\"OK\" to ATH0)\n");
    else
        Warning("The modem did not confirm the hang-up (" + why +
                "): it may still hold the call\n");
}

}  // namespace station
