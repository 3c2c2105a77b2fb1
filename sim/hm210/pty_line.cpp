#include "pty_line.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>

namespace hm210sim {

namespace {

constexpr int kPollMs = 100;
constexpr int kStreamPollMs = 5;  // streams are due at most this late
// A write block that stops arriving for this long is given up.
constexpr auto kParameterTimeout = std::chrono::seconds(2);

bool makeRaw(int fd, speed_t speed) {
    termios t{};
    if (tcgetattr(fd, &t) != 0) return false;
    cfmakeraw(&t);
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    t.c_cflag |= CLOCAL | CREAD;
    return tcsetattr(fd, TCSANOW, &t) == 0;
}

bool writeAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = ::write(fd, p, n);
        if (w < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN) {
                pollfd pfd{fd, POLLOUT, 0};
                ::poll(&pfd, 1, kPollMs);
                continue;
            }
            return false;
        }
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

}  // namespace

PtyLine::~PtyLine() {
    if (slaveKeeper_ >= 0) ::close(slaveKeeper_);
    if (fd_ >= 0) ::close(fd_);
}

bool PtyLine::openPty(std::string* error) {
    fd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0 || ::grantpt(fd_) != 0 || ::unlockpt(fd_) != 0) {
        *error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
        return false;
    }
    farSide_ = ::ptsname(fd_);
    slaveKeeper_ = ::open(farSide_.c_str(), O_RDWR | O_NOCTTY);
    if (slaveKeeper_ < 0 || !makeRaw(slaveKeeper_, B2400)) {
        *error = "cannot set up " + farSide_ + ": " + std::strerror(errno);
        return false;
    }
    return true;
}

bool PtyLine::openDevice(const std::string& path, std::string* error) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd_ < 0 || !makeRaw(fd_, B2400)) {
        *error = "cannot open " + path + ": " + std::strerror(errno);
        return false;
    }
    farSide_ = path;
    return true;
}

void PtyLine::serve(Device& device, int baud, const volatile bool& stop) {
    using namespace std::chrono;
    auto lastByte = steady_clock::now();
    // 10 bits a byte on an 8N1 line.
    const auto byteTime = baud > 0 ? microseconds(10'000'000 / baud) : microseconds(0);
    while (!stop) {
        pollfd pfd{fd_, POLLIN, 0};
        const int ready = ::poll(&pfd, 1, kStreamPollMs);
        if (ready < 0 && errno != EINTR) return;
        // Streams (key events, battery reports) go out on their own schedule.
        for (uint8_t b : device.due(steady_clock::now())) {
            if (baud > 0) std::this_thread::sleep_for(byteTime);
            if (!writeAll(fd_, &b, 1)) return;
        }
        if (ready <= 0) {
            if (steady_clock::now() - lastByte > kParameterTimeout) device.lineIdle();
            continue;
        }
        uint8_t buffer[256];
        const ssize_t n = ::read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
            // EIO on a pty master: nobody holds the far side; wait for the tool to reopen it.
            std::this_thread::sleep_for(milliseconds(kPollMs));
            continue;
        }
        lastByte = steady_clock::now();
        for (ssize_t i = 0; i < n; ++i) {
            if (baud > 0) std::this_thread::sleep_for(byteTime);  // the byte's own line time
            const auto answer = device.receive(buffer[i], system_clock::now());
            for (uint8_t b : answer) {
                if (baud > 0) std::this_thread::sleep_for(byteTime);
                if (!writeAll(fd_, &b, 1)) return;
            }
        }
    }
}

}  // namespace hm210sim
