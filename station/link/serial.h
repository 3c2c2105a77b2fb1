// CSerial: opens the serial device, applies the line settings and starts the engine on it.
#pragma once

#include <cstdint>
#include <string>

#include <memory>

#include "port_lock.h"

namespace station {

class CCom;
class PortTransport;

// The line settings record, with the fields and defaults of the device control block the
// station has always stored (9600 bit/s, 8 data bits, no parity, one stop bit, CTS flow
// control, DTR on, RTS handshake). A Linux line cannot do 4 data bits, 1.5 stop bits,
// DTR/DSR flow control, DSR sensitivity or RTS toggle: Open refuses them, naming the setting.
// CTS flow and RTS handshake are one setting there (CRTSCTS): either turns on both.
struct LineSettings {
    uint32_t BaudRate = 9600;
    uint8_t ByteSize = 8;
    uint8_t Parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
    uint8_t StopBits = 0;  // 0 one, 1 one and a half, 2 two
    char XonChar = 0x11;
    char XoffChar = 0x13;
    uint16_t XonLim = 0;
    uint16_t XoffLim = 0;
    char ErrorChar = 0;
    char EofChar = 0;
    char EvtChar = 0;
    bool fBinary = true;
    bool fParity = false;
    bool fOutxCtsFlow = true;
    bool fOutxDsrFlow = false;
    uint8_t fDtrControl = 1;  // 0 disable, 1 enable, 2 handshake
    bool fDsrSensitivity = false;
    bool fTXContinueOnXoff = false;
    bool fOutX = false;
    bool fInX = false;
    uint8_t fRtsControl = 2;  // 0 disable, 1 enable, 2 handshake, 3 toggle
    bool fAbortOnError = false;

    bool operator==(const LineSettings&) const = default;
};

// The device a port name stands for: a path or a converter's address ("tcp://HOST:PORT",
// "rfc2217://HOST:PORT") as it is, "COMn" through VM418_COMn in the
// environment, else the [Ports] section of ~/.config/vm418station/ports.ini (COM2=/dev/ttyUSB0),
// else /dev/ttyS<n-1>; any other bare name is a device under /dev ("ttyUSB0").
std::string ResolvePortName(const std::string& name);

// Marks a local device whose close hangs up the modem behind it by itself, such as the
// pseudo-terminal of a simulator this program runs (it takes the close as a dropped DTR):
// a hang-up there needs no escape sequence. Every other device without modem lines is
// taken for a bridge to a line far away.
void SetHangsUpOnClose(const std::string& device, bool hangsUp);

class CSerial {
  public:
    CSerial() = default;
    virtual ~CSerial();
    CSerial(const CSerial&) = delete;
    CSerial& operator=(const CSerial&) = delete;

    // The engine to start on the port. Either may be destroyed first: each tells the other.
    void SetCom(CCom* engine);
    // Opens the port, applies dcb and starts the engine; true at once while open. A name
    // given becomes the port name: a path or a converter's address whole, a COM name of a
    // system's settings cut to its first five characters ("COMnn"). A converter's address
    // opens a TCP connection (given 10 s): raw for "tcp://", with the COM-PORT-OPTION
    // that carries dcb for "rfc2217://". Whatever fails after the device was opened
    // (line settings, the engine's start) closes it again and releases its lock. The port
    // is held by its lock file, a flock on the device and exclusive mode; another program's
    // lock file or flock refuses it as a port in use.
    bool Open(const std::string& name = {});
    // The same for a device named by the user in full (a path, "ttyUSB0", "COM12345"):
    // the name is never cut.
    bool OpenDevice(const std::string& name);
    // Stops the engine, hangs up a modem that is in a call, and closes the device, leaving
    // it neither locked nor exclusive. Where the line can drop DTR (a local line whose modem
    // lines could be set, a converter that took the COM-PORT-OPTION and confirmed DTR) DTR
    // drops; elsewhere (a raw converter port, a pseudo-terminal bridge, a converter that
    // refused the option or has no DTR to set) the modem is sent its escape sequence and
    // "ATH0" first. The trace says which.
    bool Close();
    // Whether this line hangs up a modem by dropping DTR or by its close (else by the
    // escape sequence).
    bool DropsDtr() const;
    // Why the last Open failed, naming the device ("" after success).
    const std::string& OpenError() const { return openError_; }
    int Handle() const { return handle; }

    std::string port = "COM1";
    LineSettings dcb;

  private:
    friend class CCom;

    bool OpenPort();
    bool OpenNetwork(const std::string& address);
    bool StillOpen();
    void HangUpByEscapeIfInCall(bool inCall);
    // "" when the line runs with dcb, else the reason.
    std::string ApplySettings();
    void CloseDevice();

    CCom* com = nullptr;
    int handle = -1;
    bool exclusive_ = false;  // we put the device in exclusive mode
    bool dtrSettable_ = false;  // the device took DTR: it has modem lines
    std::string openError_;
    std::string device_;  // the local device open, resolved
    PortLock lock_;
    std::shared_ptr<PortTransport> network_;  // a converter's connection instead of a device
};

}  // namespace station
