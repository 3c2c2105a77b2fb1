// Runs vm418-sim as a child process on a pseudo-terminal of its own; the station opens the
// device path it prints. The simulator ends with this object (or with its parent).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace station {

class SimulatorProcess {
  public:
    SimulatorProcess() = default;
    ~SimulatorProcess();
    SimulatorProcess(const SimulatorProcess&) = delete;
    SimulatorProcess& operator=(const SimulatorProcess&) = delete;

    // Starts `program` (searched in PATH when it has no slash) with `args`; false when it did
    // not print its device path.
    bool Start(const std::string& program, const std::vector<std::string>& args);
    const std::string& path() const { return path_; }

  private:
    pid_t pid_ = -1;
    std::string path_;
};

// The simulator program: $VM418_SIM, beside the running program, or in the build tree.
std::string FindSimulator(const char* argv0);

}  // namespace station
