// One program per serial port, through the lock files that serial programs on Linux share:
// "LCK..<device name>" in the lock folder, holding the owner's process id as ten ASCII
// digits, right-aligned, and a newline. Exclusive opening alone does not keep out a program
// running as root; the lock does. Both programs of the suite take their ports this way.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>

namespace suite {

// The lock folder: the one the environment variable names when it is set, else /run/lock,
// else /var/lock.
std::string SerialLockFolder(const char* folderVariable);

class SerialPortLock {
  public:
    using TraceSink = std::function<void(const std::string&)>;

    // folderVariable names the environment variable of another lock folder (tests); trace
    // receives the lines that say why a port was opened without a lock.
    explicit SerialPortLock(const char* folderVariable, TraceSink trace = {})
        : folderVariable_(folderVariable), trace_(std::move(trace)) {}
    ~SerialPortLock() { Release(); }
    SerialPortLock(const SerialPortLock&) = delete;
    SerialPortLock& operator=(const SerialPortLock&) = delete;

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
    void TraceF(const char* format, ...) const __attribute__((format(printf, 2, 3)));

    const char* folderVariable_;
    TraceSink trace_;
    std::string path_;
};

}  // namespace suite
