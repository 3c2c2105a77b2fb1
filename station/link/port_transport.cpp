#include "port_transport.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "serial.h"
#include "trace.h"

namespace station {

namespace {

using Clock = std::chrono::steady_clock;

// A dead peer is noticed within a minute on an idle line: the first probe after 20 s of
// silence, then every 10 s, given up after 3 unanswered (50 s); data unacknowledged for
// as long ends the connection as well.
constexpr int kKeepIdleS = 20;
constexpr int kKeepIntervalS = 10;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 50000;

constexpr char kTcpScheme[] = "tcp://";
constexpr char kRfc2217Scheme[] = "rfc2217://";

bool StartsWithNoCase(const std::string& s, const char* prefix) {
    return strncasecmp(s.c_str(), prefix, std::strlen(prefix)) == 0;
}

int PollOne(int fd, short events, int timeoutMs) {
    pollfd p{fd, events, 0};
    int r;
    do {
        r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r;
}

int MsLeft(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Sends without SIGPIPE: a connection the converter closed is a lost line, not a signal.
ssize_t SendSome(int fd, const uint8_t* data, size_t count) {
    ssize_t n;
    do {
        n = ::send(fd, data, count, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n;
}

std::string NetworkLostReason(ssize_t result, int err) {
    if (result == 0) return "the converter closed the connection";
    return std::strerror(err);
}

// Connects one address within the time left; the socket or -1 with errno.
int ConnectOne(const addrinfo* a, Clock::time_point deadline) {
    const int fd =
        socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
    if (fd < 0) return -1;
    if (connect(fd, a->ai_addr, a->ai_addrlen) != 0 && errno != EINPROGRESS) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    const int r = PollOne(fd, POLLOUT, MsLeft(deadline));
    int err = 0;
    socklen_t len = sizeof err;
    if (r == 0) {
        err = ETIMEDOUT;
    } else if (r < 0) {
        err = errno;
    } else if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0) {
        err = errno;
    }
    if (err != 0) {
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

void KeepAlive(int fd) {
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
    setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
    setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
    // Frames are small and answered one by one: no waiting to fill a segment.
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

ssize_t PortTransport::Read(uint8_t* buffer, size_t room) {
    return ::read(Fd(), buffer, room);
}

ssize_t PortTransport::Write(const uint8_t* data, size_t count) {
    return ::write(Fd(), data, count);
}

void PortTransport::Purge(bool input, bool output) {
    if (input || output) tcflush(Fd(), input && output ? TCIOFLUSH : input ? TCIFLUSH : TCOFLUSH);
}

bool IsNetworkPortName(const std::string& name) {
    return StartsWithNoCase(name, kTcpScheme) || StartsWithNoCase(name, kRfc2217Scheme);
}

std::optional<NetworkPortName> ParseNetworkPortName(const std::string& name, std::string* error) {
    NetworkPortName out;
    std::string rest;
    if (StartsWithNoCase(name, kTcpScheme)) {
        out.kind = NetworkPortName::Tcp;
        rest = name.substr(std::strlen(kTcpScheme));
    } else if (StartsWithNoCase(name, kRfc2217Scheme)) {
        out.kind = NetworkPortName::Rfc2217;
        rest = name.substr(std::strlen(kRfc2217Scheme));
    }
    const std::string expected =
        std::string(out.kind == NetworkPortName::Tcp ? "tcp" : "rfc2217") + "://HOST:PORT";
    auto fail = [&](const std::string& why) {
        *error =
            "\"" + name + "\" is not a converter address (" + why + "; expected " + expected + ")";
        return std::nullopt;
    };
    if (!IsNetworkPortName(name)) return fail("no tcp:// or rfc2217://");
    size_t colon;
    if (!rest.empty() && rest[0] == '[') {
        const size_t close = rest.find(']');
        if (close == std::string::npos) return fail("the IPv6 address has no closing ]");
        out.host = rest.substr(1, close - 1);
        // Hex digits and colons (an IPv4 tail with dots), then perhaps "%" and a zone.
        const std::string address = out.host.substr(0, out.host.find('%'));
        const std::string zone = address.size() < out.host.size()
                                     ? out.host.substr(address.size() + 1)
                                     : std::string("x");
        if (address.empty() ||
            address.find_first_not_of("0123456789abcdefABCDEF:.") != std::string::npos ||
            zone.empty() || std::any_of(zone.begin(), zone.end(), [](char c) {
                return !std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '-';
            }))
            return fail("\"" + out.host + "\" is not an IPv6 address");
        if (close + 1 >= rest.size() || rest[close + 1] != ':') return fail("no port number");
        colon = close + 1;
    } else {
        colon = rest.find(':');
        if (colon == std::string::npos) return fail("no port number");
        out.host = rest.substr(0, colon);
        if (out.host.empty()) return fail("no host");
        for (const char c : out.host)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '.' && c != '_')
                return fail("\"" + out.host + "\" is not a host name");
    }
    const std::string number = rest.substr(colon + 1);
    if (number.empty() || number.size() > 5 ||
        number.find_first_not_of("0123456789") != std::string::npos)
        return fail("\"" + number + "\" is not a port number");
    const long port = std::stol(number);
    if (port < 1 || port > 65535) return fail("port " + number + " is not in 1-65535");
    out.port = static_cast<uint16_t>(port);
    return out;
}

std::unique_ptr<TcpTransport> TcpTransport::Connect(const NetworkPortName& address,
                                                    std::string* error) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG;
    addrinfo* found = nullptr;
    const std::string service = std::to_string(address.port);
    int r = getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found);
    if (r == EAI_NONAME || r == EAI_ADDRFAMILY) {
        // AI_ADDRCONFIG hides ::1 on a machine with only loopback IPv6.
        hints.ai_flags = 0;
        r = getaddrinfo(address.host.c_str(), service.c_str(), &hints, &found);
    }
    if (r != 0) {
        *error = r == EAI_SYSTEM ? std::strerror(errno) : gai_strerror(r);
        return nullptr;
    }
    const auto deadline = Clock::now() + std::chrono::milliseconds(kConnectTimeoutMs);
    int fd = -1;
    int err = ETIMEDOUT;
    for (const addrinfo* a = found; a != nullptr && fd < 0 && MsLeft(deadline) > 0;
         a = a->ai_next) {
        fd = ConnectOne(a, deadline);
        if (fd < 0) err = errno;
    }
    freeaddrinfo(found);
    if (fd < 0) {
        *error = std::strerror(err);
        if (err == ETIMEDOUT)
            *error += " (no answer within " + std::to_string(kConnectTimeoutMs / 1000) + " s)";
        return nullptr;
    }
    KeepAlive(fd);
    return std::make_unique<TcpTransport>(fd);
}

TcpTransport::~TcpTransport() {
    if (fd_ >= 0) ::close(fd_);
}

int TcpTransport::ReleaseSocket() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
}

ssize_t TcpTransport::Read(uint8_t* buffer, size_t room) {
    return ::recv(fd_, buffer, room, 0);
}

ssize_t TcpTransport::Write(const uint8_t* data, size_t count) {
    return SendSome(fd_, data, count);
}

std::string TcpTransport::LostReason(ssize_t result, int err) const {
    return NetworkLostReason(result, err);
}

// ---- RFC 2217 ----

Rfc2217Transport::~Rfc2217Transport() {
    if (fd_ >= 0) ::close(fd_);
}

bool Rfc2217Transport::Negotiate(const LineSettings& line, std::string* error) {
    using namespace telnet;
    if (!SendNow(OpeningOffer())) {
        *error = std::strerror(errno);
        return false;
    }
    // The converter answers the offer, then the speed; data that comes meanwhile is what
    // the line held before this call and is dropped with the opening purge.
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNegotiationTimeoutMs);
    bool setupSent = false;
    uint8_t scratch[1024];
    for (;;) {
        if (negotiator_.comPort() == 1 && !setupSent) {
            comPortAgreed_ = true;
            if (!SendNow(LineSetup(line))) {
                *error = std::strerror(errno);
                return false;
            }
            setupSent = true;
        }
        if (negotiator_.comPort() == 0 || (setupSent && reportedBaud_ != 0)) break;
        const int left = MsLeft(deadline);
        if (left == 0) break;
        const int r = PollOne(fd_, POLLIN, left);
        if (r < 0) {
            *error = std::strerror(errno);
            return false;
        }
        if (r == 0) continue;
        const ssize_t n = Read(scratch, sizeof scratch);
        if (n == 0 || (n < 0 && errno != EAGAIN)) {
            *error = NetworkLostReason(n, errno);
            return false;
        }
    }
    // No Telnet answer at all: the port is a raw one, and its bytes pass as they are.
    plain_ = !sawTelnet_;
    if (!comPortAgreed_) {
        Warning("The converter " +
                std::string(negotiator_.comPort() == 0 ? "refused" : "did not answer") +
                " the COM-PORT-OPTION: the line runs with the converter's own settings\n");
    } else if (reportedBaud_ != 0 && reportedBaud_ != line.BaudRate) {
        Warning("The converter runs the line at " + std::to_string(reportedBaud_) +
                " bit/s instead of " + std::to_string(line.BaudRate) + "\n");
    }
    return true;
}

void Rfc2217Transport::Take(const uint8_t* bytes, size_t count, std::vector<uint8_t>& data) {
    using namespace telnet;
    std::vector<Receiver::Event> events;
    receiver_.Feed(bytes, count, data, events);
    for (const auto& e : events) {
        sawTelnet_ = true;
        if (e.kind == Receiver::Event::Negotiate) {
            const auto answer = negotiator_.Answer(e.verb, e.option);
            if (!answer.empty()) SendNow(answer);
            continue;
        }
        int code = 0;
        std::string text;
        if (e.option == SET_BAUDRATE + kServerOffset && e.value.size() == 4) {
            reportedBaud_ = static_cast<uint32_t>(e.value[0]) << 24 | e.value[1] << 16 |
                            e.value[2] << 8 | e.value[3];
            TraceF("The converter runs the line at %u bit/s\n", reportedBaud_);
        } else if (e.option == SET_CONTROL + kServerOffset && e.value.size() == 1 &&
                   (e.value[0] == CONTROL_DTR_ON || e.value[0] == CONTROL_DTR_OFF)) {
            dtrConfirmed_ = true;
        } else if (e.option == NOTIFY_LINESTATE + kServerOffset && e.value.size() == 1) {
            text = LineStateText(e.value[0], &code);
        } else if (e.option == NOTIFY_MODEMSTATE + kServerOffset && e.value.size() == 1) {
            text = ModemStateText(e.value[0], &code);
        }
        if (!text.empty() && onLineEvent) onLineEvent(code, text);
    }
}

ssize_t Rfc2217Transport::Read(uint8_t* buffer, size_t room) {
    // Undoubling only shrinks: what `room` raw bytes decode to fits in `room`.
    readRaw_.resize(room);
    if (plain_) return ::recv(fd_, buffer, room, 0);
    const ssize_t n = ::recv(fd_, readRaw_.data(), room, 0);
    if (n <= 0) return n;
    std::vector<uint8_t> data;
    data.reserve(static_cast<size_t>(n));
    Take(readRaw_.data(), static_cast<size_t>(n), data);
    if (data.empty()) {
        errno = EAGAIN;  // only Telnet commands this time
        return -1;
    }
    std::memcpy(buffer, data.data(), data.size());
    return static_cast<ssize_t>(data.size());
}

ssize_t Rfc2217Transport::FlushLocked() {
    while (!out_.empty()) {
        const ssize_t n = SendSome(fd_, out_.data(), out_.size());
        if (n < 0) return -1;
        out_.erase(out_.begin(), out_.begin() + n);
    }
    return 0;
}

ssize_t Rfc2217Transport::Write(const uint8_t* data, size_t count) {
    std::lock_guard lock(outMutex_);
    if (!out_.empty() && FlushLocked() != 0) return -1;
    if (plain_)
        out_.insert(out_.end(), data, data + count);
    else
        telnet::AppendData(out_, data, count);
    if (FlushLocked() != 0 && errno != EAGAIN) return -1;
    return static_cast<ssize_t>(count);
}

bool Rfc2217Transport::OutputPending() const {
    std::lock_guard lock(outMutex_);
    return !out_.empty();
}

ssize_t Rfc2217Transport::FlushOutput() {
    std::lock_guard lock(outMutex_);
    return FlushLocked();
}

bool Rfc2217Transport::SendNow(const std::vector<uint8_t>& bytes) {
    std::lock_guard lock(outMutex_);
    out_.insert(out_.end(), bytes.begin(), bytes.end());
    const auto deadline = Clock::now() + std::chrono::milliseconds(kNegotiationTimeoutMs);
    while (FlushLocked() != 0) {
        if (errno != EAGAIN || PollOne(fd_, POLLOUT, MsLeft(deadline)) <= 0) return false;
    }
    return true;
}

void Rfc2217Transport::Purge(bool input, bool output) {
    if (!comPortAgreed_ || (!input && !output)) return;
    using namespace telnet;
    const uint8_t what = input && output ? PURGE_BOTH : input ? PURGE_RECEIVE : PURGE_TRANSMIT;
    SendNow(ComPortCommand(PURGE_DATA, {what}));
}

bool Rfc2217Transport::SetDtr(bool on) {
    if (!comPortAgreed_) return false;
    using namespace telnet;
    return SendNow(ComPortCommand(SET_CONTROL, {on ? CONTROL_DTR_ON : CONTROL_DTR_OFF}));
}

std::string Rfc2217Transport::LostReason(ssize_t result, int err) const {
    return NetworkLostReason(result, err);
}

}  // namespace station
