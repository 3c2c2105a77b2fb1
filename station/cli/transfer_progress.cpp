#include "transfer_progress.h"

#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "log_lines.h"
#include "xlnk_frame.h"

namespace station::cli {

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr double kMinRateS = 0.5;             // a rate over a shorter time says nothing yet
constexpr double kUnknownSizeIntervalS = 10;  // plain lines of a download of unknown size
constexpr int kPlainSteps = 4;                // plain lines at each quarter of the announced size
constexpr char kClearToEnd[] = "\x1b[K";

std::string RateText(double bytesPerS) {
    const double kB = bytesPerS / 1000;
    const int decimals = kB < 10 ? 2 : kB < 100 ? 1 : 0;
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.*f kB/s", decimals, kB);
    return buf;
}

std::string TimeLeftText(double seconds) {
    const long long s = std::max(1LL, std::llround(seconds));
    char buf[48];
    if (s < 60)
        std::snprintf(buf, sizeof buf, "%lld s left", s);
    else if (s < 3600)
        std::snprintf(buf, sizeof buf, "%lld min %02lld s left", s / 60, s % 60);
    else
        std::snprintf(buf, sizeof buf, "%lld h %02lld min left", s / 3600, s / 60 % 60);
    return buf;
}

}  // namespace

std::string FormatTransferProgress(const TransferFigures& f) {
    std::string line = (f.code.empty() ? "" : f.code + "  ") + "block " + std::to_string(f.blocks);
    // The announced size is rounded up to whole 1024-byte pieces, so the block count made
    // from it is an estimate; a count beyond it is shown alone.
    if (f.totalBlocks != 0 && f.blocks <= f.totalBlocks)
        line += "/" + std::to_string(f.totalBlocks);
    line += "  " + std::to_string(f.bytes);
    if (f.totalBytes != 0 && f.bytes <= f.totalBytes) line += " of " + std::to_string(f.totalBytes);
    line += " bytes";
    if (f.bytes == 0 || f.elapsedS < kMinRateS) return line;
    const double rate = static_cast<double>(f.bytes) / f.elapsedS;
    line += "  " + RateText(rate);
    if (!f.ended && f.totalBytes > f.bytes)
        line += "  " + TimeLeftText(static_cast<double>(f.totalBytes - f.bytes) / rate);
    return line;
}

TransferProgress::TransferProgress(std::FILE* out, bool terminal, std::string code, Clock clock)
    : out_(out), terminal_(terminal), clock_(std::move(clock)) {
    if (!clock_) clock_ = [] { return SteadyClock::now(); };
    figures_.code = std::move(code);
}

TransferProgress::~TransferProgress() {
    Finish();
}

bool TransferProgress::IsTerminal(std::FILE* out) {
    return out != nullptr && isatty(fileno(out)) == 1;
}

double TransferProgress::ElapsedS() const {
    return std::chrono::duration<double>(clock_() - start_).count();
}

// Its lines are the command's log lines: a time or a priority before each, as the others.
std::string TransferProgress::Line(const std::string& text) const {
    return LogPrefix(LogLevel::Info, out_).toStdString() + text;
}

void TransferProgress::Draw(const std::string& text) {
    std::fprintf(out_, "\r%s%s", Line(text).c_str(), kClearToEnd);
    std::fflush(out_);
    shown_ = text;
}

void TransferProgress::Update(uint32_t blocks, uint32_t totalBlocks, uint64_t bytes,
                              uint64_t totalBytes) {
    if (!started_) {
        started_ = true;
        start_ = clock_();
        quartersPrinted_ = 0;
        lastPrintedS_ = 0;
    }
    figures_.blocks = blocks;
    figures_.totalBlocks = totalBlocks;
    figures_.bytes = bytes;
    figures_.totalBytes = totalBytes;
    figures_.elapsedS = ElapsedS();
    figures_.ended = false;
    if (terminal_) {
        Draw(FormatTransferProgress(figures_));
        return;
    }
    // The last block and the last quarter are left to Finish, which prints the line of the
    // end (a file may reach its last quarter with its last block).
    if (totalBlocks != 0 && blocks >= totalBlocks) return;
    bool due;
    if (totalBytes != 0) {
        const int step =
            static_cast<int>(std::min<uint64_t>(bytes * kPlainSteps / totalBytes, kPlainSteps - 1));
        due = step > quartersPrinted_;
        if (due) quartersPrinted_ = step;
    } else {
        due = figures_.elapsedS - lastPrintedS_ >= kUnknownSizeIntervalS;
    }
    if (!due) return;
    lastPrintedS_ = figures_.elapsedS;
    std::fprintf(out_, "%s\n", Line(FormatTransferProgress(figures_)).c_str());
    std::fflush(out_);
}

void TransferProgress::OnEvent(const ProtocolEvent& event) {
    if (event.status != 0) return;
    uint32_t blocks = figures_.blocks;
    switch (event.command) {
        case CMD_FILE_ANNOUNCE:
            // The announcement counts 1024-byte pieces.
            Finish();
            blocks = 0;
            blockSize_ = 0;
            bytes_ = 0;
            announced_ = event.length >= 4 ? uint64_t{GetU32(event.data.data())} * 1024 : 0;
            break;
        case CMD_FILE_BLOCK: {
            // The protocol posts refused blocks too: count only what it accepts, a block
            // with its CRC right that is the next one.
            const auto block = ParseBlockRecord(event.data.data(), event.length);
            if (block && block->number == blocks) {
                ++blocks;
                bytes_ += block->valid;
                if (blockSize_ == 0) blockSize_ = block->blockSize;
            }
            break;
        }
        case CMD_FILE_END:
            break;
        default:
            return;
    }
    const uint32_t totalBlocks =
        blockSize_ == 0 ? 0 : static_cast<uint32_t>((announced_ + blockSize_ - 1) / blockSize_);
    Update(blocks, totalBlocks, bytes_, announced_);
}

void TransferProgress::PrintAbove(const std::string& text) {
    if (text.empty()) return;
    const std::string line = text.back() == '\n' ? text : text + "\n";
    if (shown_.empty()) {
        std::fputs(line.c_str(), out_);
        std::fflush(out_);
        return;
    }
    std::fprintf(out_, "\r%s%s", kClearToEnd, line.c_str());
    Draw(shown_);
}

void TransferProgress::Finish() {
    if (!started_) return;
    started_ = false;
    figures_.ended = true;
    const std::string text = Line(FormatTransferProgress(figures_));
    if (terminal_)
        std::fprintf(out_, "\r%s%s\n", text.c_str(), kClearToEnd);
    else
        std::fprintf(out_, "%s\n", text.c_str());
    std::fflush(out_);
    shown_.clear();
}

}  // namespace station::cli
