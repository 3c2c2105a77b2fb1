// hm210-sim: a simulated HM-210 personal radiation monitor on a serial line.
// It prints the device the tool must open on its first line, then answers until stopped.

#include <sys/prctl.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "hm210_device.h"
#include "pty_line.h"

namespace {

volatile bool stopRequested = false;
void onSignal(int) {
    stopRequested = true;
}

void usage() {
    std::fprintf(stderr,
                 "usage: hm210-sim [--device PATH] [--fault MODE] [--baud N]\n"
                 "  --device PATH  serve this serial device instead of a new pseudo-terminal\n"
                 "  --fault MODE   %s\n"
                 "  --baud N       pace the answers at N bit/s (default: as fast as possible)\n",
                 hm210sim::faultNames());
}

}  // namespace

int main(int argc, char** argv) {
    std::string device;
    hm210sim::Fault fault = hm210sim::Fault::None;
    int baud = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&](const char* name) -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "hm210-sim: %s needs a value\n", name);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--device") {
            device = value("--device");
        } else if (arg == "--fault") {
            const std::string name = value("--fault");
            if (!hm210sim::parseFault(name, &fault)) {
                std::fprintf(stderr, "hm210-sim: unknown fault '%s' (one of: %s)\n", name.c_str(),
                             hm210sim::faultNames());
                return 2;
            }
        } else if (arg == "--baud") {
            baud = std::atoi(value("--baud").c_str());
        } else if (arg == "--help" || arg == "-h") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }

    // Ends with the program that started it.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    std::signal(SIGTERM, onSignal);
    std::signal(SIGINT, onSignal);
    std::signal(SIGPIPE, SIG_IGN);

    hm210sim::PtyLine line;
    std::string error;
    const bool ok = device.empty() ? line.openPty(&error) : line.openDevice(device, &error);
    if (!ok) {
        std::fprintf(stderr, "hm210-sim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s\n", line.farSide().c_str());
    std::fflush(stdout);

    hm210sim::Device monitor(fault);
    line.serve(monitor, baud, stopRequested);
    return 0;
}
