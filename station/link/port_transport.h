// The transports a port runs on: a local serial device, a raw TCP connection to an
// Ethernet-to-serial converter ("tcp://HOST:PORT"), and a Telnet connection with the
// COM-PORT-OPTION ("rfc2217://HOST:PORT") that carries the line settings, the modem lines
// and the line events as well. The engine polls the transport's descriptor and reads,
// writes and purges through it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "telnet_codec.h"

namespace station {

struct LineSettings;

class PortTransport {
  public:
    virtual ~PortTransport() = default;
    // The descriptor the engine polls for input and for room to write.
    virtual int Fd() const = 0;
    // Data bytes for the engine: > 0 bytes, 0 the far end has gone, -1 with errno set
    // (EAGAIN: nothing for the engine this time).
    virtual ssize_t Read(uint8_t* buffer, size_t room);
    // Takes up to `count` data bytes; what it takes goes out, if need be through
    // FlushOutput. -1 with errno set when nothing could be taken.
    virtual ssize_t Write(const uint8_t* data, size_t count);
    // Bytes taken by Write that are still to go on the connection.
    virtual bool OutputPending() const { return false; }
    // Sends what is pending: 0 when nothing is left, -1 with errno (EAGAIN: try again).
    virtual ssize_t FlushOutput() { return 0; }
    // Discards what waits in the line's buffers.
    virtual void Purge(bool input, bool output);
    // Why a read or write ended the connection ("" to let the engine say it).
    virtual std::string LostReason(ssize_t /*result*/, int /*err*/) const { return {}; }
    virtual bool IsNetwork() const { return false; }

    // Line events (engine notification code and text), called on the reading thread.
    std::function<void(int, const std::string&)> onLineEvent;
};

// A local device: the descriptor as it is; the caller keeps it.
class DeviceTransport : public PortTransport {
  public:
    explicit DeviceTransport(int fd) : fd_(fd) {}
    int Fd() const override { return fd_; }

  private:
    int fd_;
};

// A converter's address.
struct NetworkPortName {
    enum Kind { Tcp, Rfc2217 } kind = Tcp;
    std::string host;  // without the brackets of an IPv6 literal
    uint16_t port = 0;
};

// True for a name that asks for a converter ("tcp://" or "rfc2217://", in any case).
bool IsNetworkPortName(const std::string& name);
// The address in such a name, or the reason it is not one (naming it).
std::optional<NetworkPortName> ParseNetworkPortName(const std::string& name, std::string* error);

// How long a connection may take to be made, and how long a converter is given to answer
// the COM-PORT-OPTION and the line speed.
constexpr int kConnectTimeoutMs = 10000;
constexpr int kNegotiationTimeoutMs = 3000;

// A TCP connection to a converter. Raw: the bytes as they are.
class TcpTransport : public PortTransport {
  public:
    // Connects (with keep-alive) or returns null with the system's reason in `error`.
    static std::unique_ptr<TcpTransport> Connect(const NetworkPortName& address,
                                                 std::string* error);
    explicit TcpTransport(int socket) : fd_(socket) {}
    ~TcpTransport() override;
    int Fd() const override { return fd_; }
    ssize_t Read(uint8_t* buffer, size_t room) override;
    ssize_t Write(const uint8_t* data, size_t count) override;
    void Purge(bool, bool) override {}  // the converter's buffers are its own
    std::string LostReason(ssize_t result, int err) const override;
    bool IsNetwork() const override { return true; }
    int ReleaseSocket();

  protected:
    int fd_;
};

// A Telnet connection with the COM-PORT-OPTION. Every 0xFF of the data is doubled out and
// undoubled in; line settings, DTR and RTS, purges and the converter's notifications go as
// the option's commands.
class Rfc2217Transport : public PortTransport {
  public:
    explicit Rfc2217Transport(int socket) : fd_(socket) {}
    ~Rfc2217Transport() override;

    // Offers the option, waits for the converter's answer and sets up the line. False
    // with the reason when the connection failed; a converter that refuses the option or
    // does not answer is noted in `comPortRefused` and the line left as it is.
    bool Negotiate(const LineSettings& line, std::string* error);
    bool ComPortAgreed() const { return comPortAgreed_; }
    // The converter answered a DTR command with the state it set, as the option asks: its
    // line has a DTR to drop. One in front of a line without modem lines (a pseudo-terminal)
    // does not.
    bool DtrConfirmed() const { return dtrConfirmed_; }
    // The speed the converter reported back (0 before it did).
    uint32_t ReportedBaudRate() const { return reportedBaud_; }

    int Fd() const override { return fd_; }
    ssize_t Read(uint8_t* buffer, size_t room) override;
    ssize_t Write(const uint8_t* data, size_t count) override;
    bool OutputPending() const override;
    ssize_t FlushOutput() override;
    void Purge(bool input, bool output) override;
    std::string LostReason(ssize_t result, int err) const override;
    bool IsNetwork() const override { return true; }
    // Sets DTR (the modem behind a converter hangs up when it drops).
    bool SetDtr(bool on);

  private:
    // Takes one read's bytes apart; answers negotiation and passes notifications on.
    void Take(const uint8_t* bytes, size_t count, std::vector<uint8_t>& data);
    // Sends a command at once, ahead of queued data (waits up to the negotiation time
    // for room).
    bool SendNow(const std::vector<uint8_t>& bytes);
    ssize_t FlushLocked();

    int fd_;
    telnet::Receiver receiver_;
    telnet::Negotiator negotiator_;
    bool comPortAgreed_ = false;
    bool sawTelnet_ = false;  // the converter sent any Telnet command
    bool plain_ = false;      // it sent none: a raw port, bytes as they are
    uint32_t reportedBaud_ = 0;
    std::atomic<bool> dtrConfirmed_{false};
    mutable std::mutex outMutex_;  // the write thread's data and the read thread's answers
    std::vector<uint8_t> out_;     // encoded bytes not yet on the connection
    std::vector<uint8_t> readRaw_;
};

}  // namespace station
