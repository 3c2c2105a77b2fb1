#include "link_command.h"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "file_trans_controller.h"
#include "log_lines.h"
#include "port_settings_text.h"
#include "serial.h"
#include "simulator_process.h"
#include "transfer_progress.h"
#include "xlnk_protocol.h"

namespace station::cli {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr int kOverallLimitS = 600;  // a fetch or send that runs longer has hung

const char kUsage[] =
    "usage: vm418ctl link fetch --port COMn|DEVICE [--line \"COM1 9600 0 0 8 0\"] [--init TEXT]\n"
    "                          --phone N --password P CODE [--save-as F] [--verbose]\n"
    "       vm418ctl link send  --port COMn|DEVICE [--line ...] [--init TEXT] --phone N\n"
    "                          --password P [--outbox DIR] [--verbose]\n"
    "  --line TEXT          port baud parity stop-bits data-bits flow, as a system keeps them;\n"
    "                       its port (at most 5 characters) serves when --port is not given\n"
    "  --simulate           run against vm418-sim on a pseudo-terminal (no --port needed)\n"
    "  --sim-arg ARG        pass ARG to the simulator (repeatable)\n"
    "  --verbose            print every frame of the transfer; without it a fetch shows one\n"
    "                       progress line (redrawn in place on a terminal)\n";

// Events from the read thread, taken in order by the main thread.
class EventQueue : public ProtocolEventSink {
  public:
    void OnProtocolEvent(std::unique_ptr<ProtocolEvent> event) override {
        std::lock_guard lock(mutex_);
        events_.push_back(std::move(event));
        cv_.notify_one();
    }
    std::unique_ptr<ProtocolEvent> Next(int timeoutMs) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return !events_.empty(); }))
            return nullptr;
        auto e = std::move(events_.front());
        events_.pop_front();
        return e;
    }

  private:
    std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<std::unique_ptr<ProtocolEvent>> events_;
};

struct Options {
    std::string verb, port, init, phone, password, code, saveAs, outbox = "outbox";
    std::optional<PortSettings> line;  // --line, checked
    bool simulate = false;
    bool verbose = false;
    std::vector<std::string> simArgs;
};

std::string Printable(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        if (c == '\r') continue;
        if (c == '\n' || std::isprint(c)) {
            out.push_back(static_cast<char>(c));
        } else if (c != 0) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02X", c);
            out += buf;
        }
    }
    return out;
}

// The line an event prints, "" for none.
std::string EventLine(const ProtocolEvent& e) {
    char buf[64];
    if (e.status == XLNK_MODEM_CONNECTED) return "Connected\n";
    if ((e.status & 0xFF00) == XLNK_ERR_MODEM)
        return "Disconnected " + ModemResultText(e.status & 0xFF) + "\n";
    if (e.status != 0) {
        std::snprintf(buf, sizeof buf, "0x%04X ", e.command);
        return buf + EventCodeName(e.status) + "\n";
    }
    if (e.command == kNoFrameCommand) {
        const std::string text = Printable(e.Text());
        return text.empty() || text.back() == '\n' ? text : text + "\n";
    }
    std::snprintf(buf, sizeof buf, "0x%04X %u bytes\n", e.command, e.length);
    return buf;
}

// Frames of the transfer that are not printed without --verbose: a fetch's progress line
// stands for its request, announcement, blocks and end; of a send, the unit's block
// acknowledgements would only repeat themselves. Errors are always printed.
bool IsQuietFrame(const std::string& verb, const ProtocolEvent& e) {
    if (e.status != 0) return false;
    switch (e.command) {
        case CMD_FILE_BLOCK:
        case CMD_FILE_BLOCK_ACK:
            return true;
        case CMD_FILE_REQUEST_ACK:
        case CMD_FILE_ANNOUNCE:
        case CMD_FILE_END:
            return verb == "fetch";
        default:
            return false;
    }
}

// The options, or nullopt with the reason in `error` ("" when only the usage can help).
std::optional<Options> ParseOptions(int argc, char** argv, std::string* error) {
    Options o;
    if (argc < 1) return std::nullopt;
    o.verb = argv[0];
    if (o.verb != "fetch" && o.verb != "send") return std::nullopt;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        const bool hasValue = i + 1 < argc;
        if (a == "--simulate") {
            o.simulate = true;
        } else if (a == "--verbose") {
            o.verbose = true;
        } else if (a.rfind("--", 0) == 0 && !hasValue) {
            return std::nullopt;
        } else if (a == "--port") {
            o.port = argv[++i];
        } else if (a == "--line") {
            const std::string text = argv[++i];
            PortSettings settings;
            if (const std::string why = ParsePortSettingsTextStrict(text, &settings);
                !why.empty()) {
                *error = "--line \"" + text + "\": " + why;
                return std::nullopt;
            }
            o.line = settings;
        } else if (a == "--init") {
            o.init = argv[++i];
        } else if (a == "--phone") {
            o.phone = argv[++i];
        } else if (a == "--password") {
            o.password = argv[++i];
        } else if (a == "--save-as") {
            o.saveAs = argv[++i];
        } else if (a == "--outbox") {
            o.outbox = argv[++i];
        } else if (a == "--sim-arg") {
            o.simArgs.push_back(argv[++i]);
        } else if (a.rfind("--", 0) == 0 || !o.code.empty()) {
            return std::nullopt;
        } else {
            o.code = a;
        }
    }
    if (o.phone.empty() || (o.port.empty() && !o.simulate && !o.line)) return std::nullopt;
    if (o.verb == "fetch" && o.code.empty()) return std::nullopt;
    return o;
}

}  // namespace

int RunLinkCommand(int argc, char** argv) {
    std::string optionError;
    const auto parsed = ParseOptions(argc - 1, argv + 1, &optionError);
    if (!parsed) {
        if (optionError.empty())
            std::fputs(kUsage, stderr);
        else
            LogError(QString::fromStdString("vm418ctl: " + optionError));
        return 2;
    }
    const Options& o = *parsed;

    SimulatorProcess sim;
    std::string port = o.port;
    if (o.simulate) {
        std::vector<std::string> args = {"--password", o.password};
        args.insert(args.end(), o.simArgs.begin(), o.simArgs.end());
        if (!sim.Start(FindSimulator(argv[0]), args)) {
            LogError("vm418ctl: the simulator did not start");
            return 1;
        }
        port = sim.path();
        std::printf("Simulated station on %s\n", port.c_str());
    }

    XLNKProtocol protocol;
    EventQueue events;
    protocol.SetWindow(&events);
    protocol.SetOutbox(o.outbox);
    protocol.SetModemInit(o.init);
    CSerial serial;
    serial.SetCom(&protocol);
    if (o.line) serial.dcb = o.line->line;
    // The port is taken whole, given with --port or in the text of --line.
    const bool opened = serial.OpenDevice(port.empty() && o.line ? o.line->port : port);
    if (!opened) {
        LogError(QString::fromStdString("Can't open COM port\n" + serial.OpenError()));
        return 1;
    }
    std::printf("Calling %s\n", o.phone.c_str());
    if (protocol.Dial(o.phone, o.password) != 0) {
        LogError("vm418ctl: the modem line could not be sent");
        serial.Close();
        return 1;
    }

    TransferProgress progress(stdout, TransferProgress::IsTerminal(stdout), o.code);
    FileTransferController transfer(&protocol);
    transfer.fileName = o.code;
    transfer.saveAs = o.saveAs;
    bool connected = false;
    int result = 1;
    const auto deadline = Clock::now() + std::chrono::seconds(kOverallLimitS);
    while (Clock::now() < deadline) {
        const auto e = events.Next(1000);
        if (!e) continue;
        const bool fetching = connected && o.verb == "fetch";
        // Every error ends a download (the transfer's controller gives up on any): its
        // progress line is ended before the reason is printed.
        if (fetching && e->status != 0) progress.Finish();
        if (o.verbose || !IsQuietFrame(o.verb, *e)) progress.PrintAbove(EventLine(*e));
        // What took the line away: the device, or the converter's connection and how.
        if (e->status == XLNK_ERR_PORT_LOST) progress.PrintAbove(protocol.LastErrorText() + "\n");
        if (fetching && !o.verbose) progress.OnEvent(*e);
        if (!connected) {
            if (e->status == XLNK_MODEM_CONNECTED) {
                connected = true;
                if (o.verb == "fetch" && !transfer.Start()) break;
            } else if ((e->status & 0xFF00) == XLNK_ERR_MODEM) {
                break;
            }
            continue;
        }
        if (o.verb == "send") {
            // The unit has taken the whole file when it acknowledges its end.
            if (e->status == 0 && e->command == CMD_FILE_END_ACK) {
                result = 0;
                break;
            }
            if (e->status == XLNK_ERR_FILE_TRANSFER_INTERRUPTED ||
                (e->status & 0xFF00) == XLNK_ERR_MODEM)
                break;
            continue;
        }
        transfer.OnEvent(*e);
        if (transfer.outcome() != FileTransferController::Outcome::Running) {
            progress.Finish();
            const bool ok = transfer.outcome() == FileTransferController::Outcome::Ok &&
                            transfer.saveError().empty();
            if (!transfer.saveError().empty())
                LogError(QString::fromStdString("Cannot save " + transfer.saveError()));
            if (ok)
                std::printf(
                    "Saved %s\n",
                    (o.saveAs.empty() ? protocol.ReceivedFilePath().string() : o.saveAs).c_str());
            result = ok ? 0 : 1;
            break;
        }
    }
    progress.Finish();
    if (!serial.Close())
        LogError(QString::fromStdString("vm418ctl: the port was not closed cleanly: " +
                                        protocol.LastErrorText()));
    // A download that did not finish leaves nothing half written behind.
    if (o.verb == "fetch" && result != 0) {
        std::error_code ec;
        fs::remove(protocol.ReceivedFilePath(), ec);
    }
    return result;
}

}  // namespace station::cli
