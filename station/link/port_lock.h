// One program per serial port, through the lock files that serial programs on Linux share:
// "LCK..<device name>" in the lock folder, holding the owner's process id as ten ASCII
// digits, right-aligned, and a newline. Exclusive opening alone does not keep out a program
// running as root; the lock does.
#pragma once

#include <sys/types.h>

#include <string>

namespace station {

// The lock folder: VM418_LOCK_DIR when set, else /run/lock, else /var/lock.
std::string PortLockFolder();

class PortLock {
  public:
    PortLock() = default;
    ~PortLock() { Release(); }
    PortLock(const PortLock&) = delete;
    PortLock& operator=(const PortLock&) = delete;

    // Takes the lock of a device (a symbolic link counts as the device it names). A lock
    // whose process no longer runs is removed and taken. Returns "" when the lock is taken
    // or when none can be kept here (no lock folder, not writable: traced, the port is
    // opened without one), else the reason: "port in use by process 1234".
    std::string Acquire(const std::string& device);
    // Removes the lock file if this object holds it.
    void Release();
    // The lock file held, or "".
    const std::string& path() const { return path_; }

  private:
    std::string path_;
};

}  // namespace station
