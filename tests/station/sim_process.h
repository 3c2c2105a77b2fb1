// Runs vm418-sim for one test and gives the device path it serves.
#pragma once

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace station::test {

class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args) {
        int out[2];
        if (pipe(out) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            dup2(out[1], STDOUT_FILENO);
            close(out[0]);
            close(out[1]);
            std::vector<char*> argv;
            std::string program = VM418_SIM_PATH;
            argv.push_back(program.data());
            std::vector<std::string> copy = args;
            for (auto& a : copy)
                argv.push_back(a.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        FILE* f = fdopen(out[0], "r");
        char line[256] = {};
        if (f && std::fgets(line, sizeof line, f))
            path_ = line;
        if (!path_.empty() && path_.back() == '\n')
            path_.pop_back();
        if (f)
            std::fclose(f);
    }
    ~SimProcess() {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    const std::string& path() const { return path_; }

  private:
    pid_t pid_ = -1;
    std::string path_;
};

}  // namespace station::test
