#include "modem_escape.h"

#include <poll.h>
#include <termios.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "port_transport.h"

namespace station {

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds kDefaultGuard{1000};
constexpr std::chrono::milliseconds kLeastMargin{50};

int MsUntil(Clock::time_point deadline) {
    // Rounded up: a silence is never cut short.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

// Reads until the deadline, or until "OK" has come when asked to stop there; false when
// the line is gone.
bool Listen(PortTransport& line, Clock::time_point deadline, std::string* heard, bool untilOk,
            std::string* why) {
    uint8_t buffer[256];
    for (;;) {
        if (untilOk && heard->find("OK") != std::string::npos) return true;
        const int left = MsUntil(deadline);
        if (left == 0) return true;
        pollfd p{line.Fd(), POLLIN, 0};
        const int r = poll(&p, 1, left);
        if (r < 0 && errno == EINTR) continue;
        if (r < 0) {
            *why = std::strerror(errno);
            return false;
        }
        if (r == 0) continue;
        const ssize_t n = line.Read(buffer, sizeof buffer);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            *why = n == 0 ? "the line closed" : std::strerror(errno);
            return false;
        }
        heard->append(reinterpret_cast<const char*>(buffer), static_cast<size_t>(n));
    }
}

bool Send(PortTransport& line, const std::string& text, std::string* why) {
    const auto deadline = Clock::now() + kHangUpAnswerWait;
    size_t done = 0;
    while (done < text.size() || line.OutputPending()) {
        ssize_t n = 0;
        if (done < text.size())
            n = line.Write(reinterpret_cast<const uint8_t*>(text.data()) + done,
                           text.size() - done);
        else
            n = line.FlushOutput();
        if (n > 0 && done < text.size()) done += static_cast<size_t>(n);
        if (n >= 0) continue;
        if (errno != EAGAIN && errno != EINTR) {
            *why = std::strerror(errno);
            return false;
        }
        pollfd p{line.Fd(), POLLOUT, 0};
        if (poll(&p, 1, MsUntil(deadline)) == 0) {
            *why = "the line takes no more bytes";
            return false;
        }
    }
    // On a local line the bytes are out of the driver before the silence is counted.
    if (!line.IsNetwork()) tcdrain(line.Fd());
    return true;
}

}  // namespace

std::chrono::milliseconds ModemGuardTime() {
    if (const char* set = std::getenv("VM418_MODEM_GUARD_MS"); set && std::atoi(set) > 0)
        return std::chrono::milliseconds(std::atoi(set));
    return kDefaultGuard;
}

std::chrono::milliseconds EscapeSilence(std::chrono::milliseconds guard) {
    return guard + std::max(guard / 5, kLeastMargin);
}

bool HangUpByEscape(PortTransport& line, std::chrono::milliseconds silence, std::string* why) {
    std::string heard;
    if (!Listen(line, Clock::now() + silence, &heard, false, why)) return false;
    if (!Send(line, "+++", why)) return false;
    heard.clear();
    if (!Listen(line, Clock::now() + silence, &heard, false, why)) return false;
    const bool escaped = heard.find("OK") != std::string::npos;
    if (!Send(line, "ATH0\r", why)) return false;
    heard.clear();
    if (!Listen(line, Clock::now() + kHangUpAnswerWait, &heard, true, why)) return false;
    if (heard.find("OK") != std::string::npos) return true;
    *why = escaped ? "no \"OK\" to ATH0" : "no \"OK\" to the escape sequence nor to ATH0";
    return false;
}

}  // namespace station
