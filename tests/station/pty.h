// A pseudo-terminal pair for tests: the test holds the far side, the code under test opens
// the device path.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

namespace station::test {

class Pty {
  public:
    Pty() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        path_ = ptsname(master_);
    }
    ~Pty() { CloseFar(); }
    const std::string& path() const { return path_; }
    int far() const { return master_; }
    void CloseFar() {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }
    void Write(const std::vector<uint8_t>& bytes) {
        [[maybe_unused]] ssize_t n = write(master_, bytes.data(), bytes.size());
    }
    // Reads until `count` bytes arrived or timeoutMs passed.
    std::vector<uint8_t> Read(size_t count, int timeoutMs = 3000) {
        std::vector<uint8_t> out;
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (out.size() < count) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
                break;
            uint8_t buf[4096];
            const ssize_t n = read(master_, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0)
                break;
            out.insert(out.end(), buf, buf + n);
        }
        return out;
    }

  private:
    int master_ = -1;
    std::string path_;
};

}  // namespace station::test
