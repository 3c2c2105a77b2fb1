#include "simulator_process.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "serial.h"

namespace station {

namespace fs = std::filesystem;

bool SimulatorProcess::Start(const std::string& program, const std::vector<std::string>& args) {
    int out[2];
    if (pipe(out) != 0) return false;
    pid_ = fork();
    if (pid_ == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        std::vector<std::string> all = {program};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (auto& a : all)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(out[1]);
    FILE* f = fdopen(out[0], "r");
    char line[256] = {};
    if (f && std::fgets(line, sizeof line, f)) path_ = line;
    if (f) std::fclose(f);
    if (!path_.empty() && path_.back() == '\n') path_.pop_back();
    // The simulator's modem takes a closed port for a dropped DTR.
    if (!path_.empty()) SetHangsUpOnClose(path_, true);
    return !path_.empty();
}

SimulatorProcess::~SimulatorProcess() {
    if (!path_.empty()) SetHangsUpOnClose(path_, false);
    if (pid_ > 0) {
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
}

std::string FindSimulator(const char* argv0) {
    if (const char* env = std::getenv("VM418_SIM"); env && *env) return env;
    std::error_code ec;
    const fs::path self = fs::canonical("/proc/self/exe", ec);
    const fs::path base = ec ? fs::path(argv0).parent_path() : self.parent_path();
    for (const fs::path& p : {base / "vm418-sim", base / "../sim/vm418/vm418-sim"})
        if (fs::exists(p)) return p.string();
    return "vm418-sim";
}

}  // namespace station
