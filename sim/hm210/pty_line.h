#pragma once

#include <string>

#include "hm210_device.h"

namespace hm210sim {

// The simulator's end of a serial line: a pseudo-terminal whose far side the tool opens,
// or a real device given by name.
class PtyLine {
  public:
    PtyLine() = default;
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Opens a new pseudo-terminal; farSide() then names the device for the tool.
    bool openPty(std::string* error);
    // Serves an existing device (a real port or one end of a null-modem pair).
    bool openDevice(const std::string& path, std::string* error);
    const std::string& farSide() const { return farSide_; }

    // Answers the tool until stop is set. baud > 0 paces the answers at that line rate.
    void serve(Device& device, int baud, const volatile bool& stop);

  private:
    int fd_ = -1;
    int slaveKeeper_ = -1;  // keeps the pty alive while the tool closes and reopens it
    std::string farSide_;
};

}  // namespace hm210sim
