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
#include "suite_version.h"

namespace {

volatile bool stopRequested = false;
void onSignal(int) {
    stopRequested = true;
}

// The help: on standard output for --help, on standard error after a usage error.
void usage(FILE* to) {
    std::fprintf(to,
                 "usage: hm210-sim [--device PATH] [--fault MODE] [--baud N] [record options]\n"
                 "       hm210-sim --help | --version\n"
                 "  --device PATH  serve this serial device instead of a new pseudo-terminal\n"
                 "  --fault MODE   %s\n"
                 "  --baud N       pace the answers at N bit/s (default: as fast as possible)\n"
                 "record memory:\n"
                 "  --records-header normal|EEEE|pattern   the header block\n"
                 "  --alarms N, --dose N                   records kept (default 12 and 8)\n"
                 "  --end-marker-byte K                    0xAA in byte K (0-3) of the end block\n"
                 "  --undocked                             out of the docking station\n"
                 "  --clear-status HEX                     status byte after a clear (AA)\n"
                 "self-tests:\n"
                 "  --temperature N, --battery N   1/100 degree C and 1/100 V (2100, 500)\n"
                 "  --ram-result HEX, --eeprom-result HEX   test results (0 = OK)\n"
                 "  --dose-rate R                  uSv/h the counters follow (0.5)\n"
                 "  --keys HEX,HEX,...             button-test key events (01,02,FF)\n"
                 "  --stream-period MS             between key events and battery reports (100)\n"
                 "  --measuring-second MS          one second of measuring time (10)\n"
                 "  --real-time                    real measuring times and 2400 bit/s pacing\n",
                 hm210sim::faultNames());
}

}  // namespace

int main(int argc, char** argv) {
    std::string device;
    hm210sim::Fault fault = hm210sim::Fault::None;
    int baud = 0;
    hm210sim::RecordMemory records;
    hm210sim::TestValues tests;
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
        } else if (arg == "--records-header") {
            const std::string name = value("--records-header");
            if (!hm210sim::parseRecordHeader(name, &records.header)) {
                std::fprintf(stderr, "hm210-sim: unknown header '%s'\n", name.c_str());
                return 2;
            }
        } else if (arg == "--alarms") {
            records.alarms = std::atoi(value("--alarms").c_str());
        } else if (arg == "--dose") {
            records.dose = std::atoi(value("--dose").c_str());
        } else if (arg == "--end-marker-byte") {
            records.endMarkerByte = std::atoi(value("--end-marker-byte").c_str()) & 3;
        } else if (arg == "--undocked") {
            records.docked = false;
        } else if (arg == "--clear-status") {
            records.clearStatus =
                static_cast<uint8_t>(std::strtoul(value("--clear-status").c_str(), nullptr, 16));
        } else if (arg == "--temperature") {
            tests.temperature = static_cast<int16_t>(std::atoi(value("--temperature").c_str()));
        } else if (arg == "--battery") {
            tests.battery = static_cast<int16_t>(std::atoi(value("--battery").c_str()));
        } else if (arg == "--ram-result") {
            tests.ramResult =
                static_cast<uint8_t>(std::strtoul(value("--ram-result").c_str(), nullptr, 16));
        } else if (arg == "--eeprom-result") {
            tests.eepromResult =
                static_cast<uint8_t>(std::strtoul(value("--eeprom-result").c_str(), nullptr, 16));
        } else if (arg == "--dose-rate") {
            tests.doseRate = std::atof(value("--dose-rate").c_str());
        } else if (arg == "--keys") {
            tests.keyEvents.clear();
            const std::string list = value("--keys");
            for (size_t pos = 0; pos < list.size();) {
                const size_t comma = list.find(',', pos);
                const std::string item =
                    list.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
                if (!item.empty())
                    tests.keyEvents.push_back(
                        static_cast<uint8_t>(std::strtoul(item.c_str(), nullptr, 16)));
                if (comma == std::string::npos) break;
                pos = comma + 1;
            }
        } else if (arg == "--stream-period") {
            tests.streamPeriod =
                std::chrono::milliseconds(std::atoi(value("--stream-period").c_str()));
        } else if (arg == "--measuring-second") {
            tests.measuringSecond =
                std::chrono::milliseconds(std::atoi(value("--measuring-second").c_str()));
        } else if (arg == "--real-time") {
            tests.measuringSecond = std::chrono::milliseconds(1000);
            tests.streamPeriod = std::chrono::milliseconds(1000);
            baud = 2400;
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("hm210-sim %s\n", SUITE_VERSION);
            return 0;
        } else {
            std::fprintf(stderr, "hm210-sim: unknown option '%s'\n", arg.c_str());
            usage(stderr);
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
    monitor.records() = records;
    monitor.tests() = tests;
    line.serve(monitor, baud, stopRequested);
    return 0;
}
