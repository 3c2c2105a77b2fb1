// The Telnet layer of a converter port with the COM-PORT-OPTION (RFC 2217): the bytes the
// station sends to set up the remote line, and the receive state machine that takes the
// converter's data apart from its option negotiation and notifications. Bytes only, no I/O.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial.h"

namespace station::telnet {

inline constexpr uint8_t IAC = 255;
inline constexpr uint8_t DONT = 254;
inline constexpr uint8_t DO = 253;
inline constexpr uint8_t WONT = 252;
inline constexpr uint8_t WILL = 251;
inline constexpr uint8_t SB = 250;
inline constexpr uint8_t SE = 240;

inline constexpr uint8_t OPT_BINARY = 0;
inline constexpr uint8_t OPT_SGA = 3;  // suppress go-ahead
inline constexpr uint8_t OPT_COM_PORT = 44;

// COM-PORT-OPTION commands from the client; the server answers each with the code + 100.
inline constexpr uint8_t SET_BAUDRATE = 1;
inline constexpr uint8_t SET_DATASIZE = 2;
inline constexpr uint8_t SET_PARITY = 3;
inline constexpr uint8_t SET_STOPSIZE = 4;
inline constexpr uint8_t SET_CONTROL = 5;
inline constexpr uint8_t NOTIFY_LINESTATE = 6;
inline constexpr uint8_t NOTIFY_MODEMSTATE = 7;
inline constexpr uint8_t SET_LINESTATE_MASK = 10;
inline constexpr uint8_t SET_MODEMSTATE_MASK = 11;
inline constexpr uint8_t PURGE_DATA = 12;
inline constexpr uint8_t kServerOffset = 100;

// SET-CONTROL values.
inline constexpr uint8_t CONTROL_NO_FLOW = 1;
inline constexpr uint8_t CONTROL_XONXOFF = 2;
inline constexpr uint8_t CONTROL_HARDWARE = 3;
inline constexpr uint8_t CONTROL_DTR_ON = 8;
inline constexpr uint8_t CONTROL_DTR_OFF = 9;
inline constexpr uint8_t CONTROL_RTS_ON = 11;
inline constexpr uint8_t CONTROL_RTS_OFF = 12;

// PURGE-DATA values.
inline constexpr uint8_t PURGE_RECEIVE = 1;
inline constexpr uint8_t PURGE_TRANSMIT = 2;
inline constexpr uint8_t PURGE_BOTH = 3;

// Line-state bits.
inline constexpr uint8_t LINE_OVERRUN = 0x02;
inline constexpr uint8_t LINE_PARITY = 0x04;
inline constexpr uint8_t LINE_FRAMING = 0x08;
inline constexpr uint8_t LINE_BREAK = 0x10;
inline constexpr uint8_t kLineErrorMask = LINE_OVERRUN | LINE_PARITY | LINE_FRAMING | LINE_BREAK;

// Modem-state bits: the levels in the high nibble, their changes in the low one.
inline constexpr uint8_t MODEM_DCD = 0x80;
inline constexpr uint8_t MODEM_RI = 0x40;
inline constexpr uint8_t MODEM_DSR = 0x20;
inline constexpr uint8_t MODEM_CTS = 0x10;
inline constexpr uint8_t MODEM_DELTA_DCD = 0x08;
inline constexpr uint8_t MODEM_RING_END = 0x04;
inline constexpr uint8_t MODEM_DELTA_DSR = 0x02;
inline constexpr uint8_t MODEM_DELTA_CTS = 0x01;
inline constexpr uint8_t kModemChangeMask = 0x0F;

// Data bytes as they go on the wire: every 0xFF doubled.
void AppendData(std::vector<uint8_t>& out, const uint8_t* data, size_t count);
// IAC verb option.
std::vector<uint8_t> Negotiation(uint8_t verb, uint8_t option);
// IAC SB COM-PORT-OPTION command value... IAC SE, with 0xFF in the value doubled.
std::vector<uint8_t> ComPortCommand(uint8_t command, const std::vector<uint8_t>& value);
// The opening offer: binary both ways, no go-ahead both ways, and the COM-PORT-OPTION.
std::vector<uint8_t> OpeningOffer();
// The commands that give the remote line these settings: speed, data bits, parity, stop
// bits, flow control, DTR and RTS (RTS only where hardware flow does not drive it), the
// notifications wanted (line errors and break; every modem line), then both buffers purged.
std::vector<uint8_t> LineSetup(const LineSettings& line);

// The receive side. Feed takes the bytes of one read, in any cut: a Telnet command or an
// escaped 0xFF split across reads is put together from the next one.
class Receiver {
  public:
    struct Event {
        enum Kind { Negotiate, ComPort } kind;
        uint8_t verb = 0;            // Negotiate: WILL, WONT, DO or DONT
        uint8_t option = 0;          // Negotiate: the option; ComPort: the server's command code
        std::vector<uint8_t> value;  // ComPort: the value, unescaped
        bool operator==(const Event&) const = default;
    };

    // Appends the data bytes to `data` and the commands to `events`.
    void Feed(const uint8_t* bytes, size_t count, std::vector<uint8_t>& data,
              std::vector<Event>& events);

  private:
    enum class State { Data, Iac, Verb, Sub, SubIac } state_ = State::Data;
    uint8_t verb_ = 0;
    std::vector<uint8_t> sub_;
};

// The description a converter's notification gives the engine, as a local line's event
// would: the CE_ texts of line errors (with the trailing CR LF), or the EV_ texts of modem
// line changes. "" when the notification reports nothing the engine watches. `code` is the
// engine's notification code (128 for line errors, else the event mask).
std::string LineStateText(uint8_t state, int* code);
std::string ModemStateText(uint8_t state, int* code);

// The answer to the converter's negotiation, or nothing. We offered `offered` options
// (WILL) and asked for `asked` ones (DO); anything else is refused. `acknowledged` holds
// what was answered already, so that each request is answered once.
class Negotiator {
  public:
    Negotiator();
    // Our bytes in answer to one of the converter's negotiation events.
    std::vector<uint8_t> Answer(uint8_t verb, uint8_t option);
    // The converter agreed to (true) or refused (false) the COM-PORT-OPTION; unset before.
    int comPort() const { return comPort_; }  // -1 unknown, 0 refused, 1 agreed

  private:
    bool weWill_[256] = {};  // options we said WILL for
    bool weDo_[256] = {};    // options we said DO for
    bool answeredDo_[256] = {};
    bool answeredWill_[256] = {};
    int comPort_ = -1;
};

}  // namespace station::telnet
