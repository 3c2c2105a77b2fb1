// The station's port lock: the suite's serial port lock in the folder VM418_LOCK_DIR names
// (when set), tracing to the station link's trace.
#pragma once

#include <string>

#include "serial_port_lock.h"
#include "trace.h"

namespace station {

inline constexpr char kLockFolderVariable[] = "VM418_LOCK_DIR";

inline std::string PortLockFolder() {
    return suite::SerialLockFolder(kLockFolderVariable);
}

class PortLock : public suite::SerialPortLock {
  public:
    PortLock()
        : SerialPortLock(kLockFolderVariable, [](const std::string& line) { Trace(line); }) {}
};

}  // namespace station
