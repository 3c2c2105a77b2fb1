#include "manual_event.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace station {

ManualEvent::ManualEvent() : fd_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

ManualEvent::~ManualEvent() {
    if (fd_ >= 0)
        close(fd_);
}

// The counter stays above zero until Reset, so every waiter sees the event.
void ManualEvent::Set() {
    const uint64_t one = 1;
    [[maybe_unused]] ssize_t n = write(fd_, &one, sizeof one);
}

void ManualEvent::Reset() {
    uint64_t value = 0;
    [[maybe_unused]] ssize_t n = read(fd_, &value, sizeof value);
}

bool ManualEvent::IsSet() const {
    return Wait(0);
}

bool ManualEvent::Wait(int timeoutMs) const {
    pollfd p{fd_, POLLIN, 0};
    int r;
    do {
        r = poll(&p, 1, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r > 0 && (p.revents & POLLIN);
}

}  // namespace station
