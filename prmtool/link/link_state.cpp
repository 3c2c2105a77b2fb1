#include "link_state.h"

#include <algorithm>

namespace prm {

int ringUnread(const LinkState& s) {
    return (s.ringWrite - s.ringRead + kRingSize) % kRingSize;
}

bool ringEmpty(const LinkState& s) {
    return s.ringWrite == s.ringRead;
}

int ringPut(LinkState& s, const uint8_t* bytes, int count) {
    // One slot stays free so that a full ring is never mistaken for an empty one.
    const int room = kRingSize - 1 - ringUnread(s);
    const int stored = std::min(room, count);
    for (int i = 0; i < stored; ++i) {
        s.ring[s.ringWrite] = bytes[i];
        s.ringWrite = (s.ringWrite + 1) % kRingSize;
    }
    return count - stored;
}

uint8_t ringTake(LinkState& s) {
    const uint8_t byte = s.ring[s.ringRead];
    s.ringRead = (s.ringRead + 1) % kRingSize;
    return byte;
}

void ringReset(LinkState& s) {
    s.ringWrite = 0;
    s.ringRead = 0;
    s.ringOverrunReported = false;
}

void setCommandBytes(LinkState& s, const std::string& chars) {
    s.commandBytes.fill(0);
    const size_t n = std::min(chars.size(), s.commandBytes.size() - 1);
    std::copy_n(chars.begin(), n, s.commandBytes.begin());
}

std::string commandString(const LinkState& s) {
    return std::string(s.commandBytes.data());
}

}  // namespace prm
