// What waiting for the monitor costs prmctl: the button test runs against the simulator for
// a few seconds, most of them spent waiting for key events, and the processor time prmctl
// used is printed per second of waiting. A wait that sleeps stays near zero; a polling loop
// would take most of a core.
//
// usage: bench_prmctl_wait [SECONDS]   (default 5)

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    const int seconds = argc > 1 ? std::atoi(argv[1]) : 5;
    if (seconds <= 0) {
        std::fprintf(stderr, "usage: bench_prmctl_wait [SECONDS]\n");
        return 2;
    }
    const std::string forSeconds = std::to_string(seconds);
    const auto start = std::chrono::steady_clock::now();
    // Its log is not the figure, only the time it used; its errors are kept to say why it
    // failed.
    std::FILE* errors = std::tmpfile();
    if (!errors) {
        std::printf("prmctl's wait not measured: no temporary file (%s)\n", std::strerror(errno));
        return 1;
    }
    const pid_t child = fork();
    if (child < 0) {
        std::printf("prmctl's wait not measured: cannot start a process (%s)\n",
                    std::strerror(errno));
        return 1;
    }
    if (child == 0) {
        std::freopen("/dev/null", "w", stdout);
        dup2(fileno(errors), STDERR_FILENO);
        execl(PRMCTL_PATH, PRMCTL_PATH, "--simulate", "test", "mode", "--for", forSeconds.c_str(),
              static_cast<char*>(nullptr));
        std::fprintf(stderr, "cannot run %s: %s\n", PRMCTL_PATH, std::strerror(errno));
        _exit(127);
    }
    int status = 0;
    rusage usage{};
    if (wait4(child, &status, 0, &usage) != child) {
        std::printf("prmctl's wait not measured: lost its process (%s)\n", std::strerror(errno));
        return 1;
    }
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 +
                       usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
    std::printf(
        "prmctl test mode --for %d: exit %d, %.2f s wall, %.3f s CPU (user+system), "
        "%.1f%% of a core\n",
        seconds, WIFEXITED(status) ? WEXITSTATUS(status) : -1, wall, cpu, 100.0 * cpu / wall);
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return 0;
    // A run that failed measured something else than the wait: what prmctl said.
    std::printf("prmctl failed, the figure is not its wait's:");
    if (WIFSIGNALED(status)) std::printf(" killed by signal %d", WTERMSIG(status));
    std::rewind(errors);
    char line[512];
    while (std::fgets(line, sizeof line, errors))
        std::printf(" %s", line);
    std::printf("\n");
    return 1;
}
