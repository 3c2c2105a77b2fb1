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

#include "command_line.h"
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

// The options, or nullopt with the reason in `error`.
std::optional<Options> ParseOptions(const Invocation& call, std::string* error) {
    const Arguments& args = call.args;
    Options o;
    o.verb = QString::fromLatin1(call.spec.words).section(' ', 1).toStdString();
    o.simulate = args.has("--simulate");
    o.verbose = args.has("--verbose");
    const std::pair<const char*, std::string*> texts[] = {
        {"--port", &o.port},         {"--init", &o.init},      {"--phone", &o.phone},
        {"--password", &o.password}, {"--save-as", &o.saveAs}, {"--outbox", &o.outbox}};
    for (const auto& [name, text] : texts)
        if (args.has(name)) *text = args.value(name).toStdString();
    for (const QString& a : args.values("--sim-arg"))
        o.simArgs.push_back(a.toStdString());
    o.code = args.operands.value(0).toStdString();
    if (args.has("--line")) {
        const std::string text = args.value("--line").toStdString();
        PortSettings settings;
        if (const std::string why = ParsePortSettingsTextStrict(text, &settings); !why.empty()) {
            *error = "--line \"" + text + "\": " + why;
            return std::nullopt;
        }
        o.line = settings;
    }
    if (o.phone.empty())
        *error = "--phone N is required";
    else if (o.port.empty() && !o.simulate && !o.line)
        *error = "--port, --line or --simulate is required";
    else if (o.verb == "fetch" && o.code.empty())
        *error = "the CODE of the file to fetch is required";
    if (!error->empty()) return std::nullopt;
    return o;
}

int RunLink(const Invocation& call) {
    std::string optionError;
    const auto parsed = ParseOptions(call, &optionError);
    if (!parsed) return UsageError(call.spec, QString::fromStdString(optionError));
    char** argv = call.argv;
    const Options& o = *parsed;

    SimulatorProcess sim;
    std::string port = o.port;
    if (o.simulate) {
        std::vector<std::string> args = {"--password", o.password};
        args.insert(args.end(), o.simArgs.begin(), o.simArgs.end());
        if (!sim.Start(FindSimulator(argv[0]), args)) {
            return Failure(call.spec, "the simulator did not start");
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
        LogError("vm418ctl " + QLatin1String(call.spec.words) +
                 ": the modem line could not be sent");
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
        LogError("vm418ctl " + QLatin1String(call.spec.words) +
                 ": the port was not closed cleanly: " +
                 QString::fromStdString(protocol.LastErrorText()));
    // A download that did not finish leaves nothing half written behind.
    if (o.verb == "fetch" && result != 0) {
        std::error_code ec;
        fs::remove(protocol.ReceivedFilePath(), ec);
    }
    return result;
}

// The options of the line that fetch and send share, then their own.
std::vector<Option> LineOptions(std::vector<Option> own) {
    std::vector<Option> options = {
        {"--port", "COMn|DEVICE|ADDRESS",
         "the serial port (COM names as the port map resolves them), or a converter's "
         "tcp://HOST:PORT or rfc2217://HOST:PORT"},
        {"--line", "TEXT",
         "\"COM1 9600 0 0 8 0\": port baud parity stop-bits data-bits flow, as a "
         "system keeps them; its port serves when --port is not given"},
        {"--init", "TEXT", "the modem's initialisation text"},
        {"--phone", "N", "the number to dial"},
        {"--password", "P", "the unit's password"}};
    options.insert(options.end(), own.begin(), own.end());
    options.insert(
        options.end(),
        {{"--simulate", nullptr, "run against vm418-sim on a pseudo-terminal (no --port)"},
         {"--sim-arg", "ARG", "pass ARG to the simulator (repeatable)", true},
         {"--verbose", nullptr, "print every frame of the transfer"}});
    return options;
}

}  // namespace

const CommandSpec kLinkFetchCommand{
    "link fetch",
    "--port COMn|DEVICE|ADDRESS [--line TEXT] [--init TEXT] --phone N --password P CODE\n"
    "         [--save-as FILE] [--simulate [--sim-arg ARG]...] [--verbose]",
    "Dials the unit and fetches its file CODE over the line and protocol alone; without\n"
    "--verbose one progress line (redrawn in place on a terminal) stands for the transfer.",
    1,
    LineOptions({{"--save-as", "FILE", "save the file there (else TEMP/received.tmp)"}}),
    RunLink};

const CommandSpec kLinkSendCommand{
    "link send",
    "--port COMn|DEVICE|ADDRESS [--line TEXT] [--init TEXT] --phone N --password P\n"
    "         [--outbox DIR] [--simulate [--sim-arg ARG]...] [--verbose]",
    "Dials the unit and serves its requests for files from the outbox folder.",
    0,
    LineOptions({{"--outbox", "DIR", "the folder of the files to send (./outbox)"}}),
    RunLink};

}  // namespace station::cli
