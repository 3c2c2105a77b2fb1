// The progress of one download as the command-line tools show it: on a terminal one line
// redrawn in place, elsewhere a few plain lines that read well in a log file.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>

#include "protocol_event.h"

namespace station::cli {

// A download at one moment.
struct TransferFigures {
    std::string code;          // the file asked for ("ALAR")
    uint32_t blocks = 0;       // blocks accepted so far
    uint32_t totalBlocks = 0;  // blocks the announced size makes; 0 when not known
    uint64_t bytes = 0;        // bytes written so far
    uint64_t totalBytes = 0;   // the announced size; 0 when none was announced
    double elapsedS = 0;       // seconds since the download began
    bool ended = false;        // over, complete or not: no time left is shown
};

// The progress line without its line end:
// "ALAR  block 9/15  9216 of 15360 bytes  0.96 kB/s  6 s left".
std::string FormatTransferProgress(const TransferFigures& figures);

// Prints the progress of one download to `out`. On a terminal the line is redrawn in place
// and ended with a newline by Finish; elsewhere a line is printed at each further quarter of
// the announced size (every 10 s when no size was announced) and the last one by Finish.
class TransferProgress {
  public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // The clock defaults to the steady clock; a test gives its own.
    TransferProgress(std::FILE* out, bool terminal, std::string code, Clock clock = {});
    ~TransferProgress();
    TransferProgress(const TransferProgress&) = delete;
    TransferProgress& operator=(const TransferProgress&) = delete;

    static bool IsTerminal(std::FILE* out);

    // The figures after an event; the first call (after Finish, the next) starts the clock.
    void Update(uint32_t blocks, uint32_t totalBlocks, uint64_t bytes, uint64_t totalBytes);
    // The same, taken from the download's protocol events alone: an announcement starts it
    // (its count of 1024-byte pieces is the size), a block counts with its valid bytes when
    // its CRC is right and it is the next one. Other events change nothing.
    void OnEvent(const ProtocolEvent& event);
    // Other output, whole lines: written above the progress line, which stays below it.
    void PrintAbove(const std::string& text);
    // The download is over: the line ends with a newline. Nothing when nothing was shown;
    // once only.
    void Finish();

  private:
    double ElapsedS() const;
    void Draw(const std::string& text);
    std::string Line(const std::string& text) const;

    std::FILE* out_;
    bool terminal_;
    Clock clock_;
    TransferFigures figures_;
    std::chrono::steady_clock::time_point start_;
    bool started_ = false;
    std::string shown_;  // the line on a terminal, "" when none is shown
    int quartersPrinted_ = 0;
    double lastPrintedS_ = 0;
    uint16_t blockSize_ = 0;  // from the first accepted block
    uint64_t bytes_ = 0;      // valid bytes of the accepted blocks
    uint64_t announced_ = 0;
};

}  // namespace station::cli
