// The download progress line of the command-line tools: its text, the line redrawn in place
// on a terminal, and the sparse plain lines elsewhere, on a clock of the test's own.
#include "transfer_progress.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "xlnk_frame.h"

using namespace station;
using namespace station::cli;
using namespace std::chrono_literals;

namespace {

// What a printer wrote, read back from memory.
class Capture {
  public:
    Capture() : file(open_memstream(&buf_, &size_)) {}
    ~Capture() {
        std::fclose(file);
        std::free(buf_);
    }
    std::string Text() {
        std::fflush(file);
        return {buf_, size_};
    }
    std::FILE* file;

  private:
    char* buf_ = nullptr;
    size_t size_ = 0;
};

ProtocolEvent Frame(uint16_t command, std::vector<uint8_t> data) {
    ProtocolEvent e;
    e.command = command;
    e.length = static_cast<uint16_t>(data.size());
    e.data = std::move(data);
    e.data.push_back(0);
    return e;
}

ProtocolEvent Announce(uint32_t pieces) {
    std::vector<uint8_t> data(4);
    PutU32(data.data(), pieces);
    return Frame(CMD_FILE_ANNOUNCE, data);
}

ProtocolEvent Block(uint32_t number, uint16_t valid, bool badCrc = false) {
    const std::vector<uint8_t> bytes(1024, 0x5A);
    auto record = BuildBlockRecord(number, 1024, bytes.data(), valid);
    if (badCrc) record.back() ^= 1;
    return Frame(CMD_FILE_BLOCK, record);
}

std::string Redraw(const std::string& text) {
    return "\r" + text + "\x1b[K";
}

}  // namespace

// The figures a user sees: totals only when announced (the block total once a block gave
// the block size, and not when the closing empty block goes past the estimate), a rate only
// after half a second, the time left only while the download runs, in seconds, minutes or
// hours.
TEST(TransferProgressTest, FormatsTheFiguresThatAreKnown) {
    const std::pair<TransferFigures, const char*> cases[] = {
        {{.code = "ALAR",
          .blocks = 9,
          .totalBlocks = 15,
          .bytes = 9216,
          .totalBytes = 15360,
          .elapsedS = 9.6},
         "ALAR  block 9/15  9216 of 15360 bytes  0.96 kB/s  6 s left"},
        {{.code = "PARA", .totalBytes = 1024}, "PARA  block 0  0 of 1024 bytes"},
        {{.code = "PARA",
          .blocks = 1,
          .totalBlocks = 1,
          .bytes = 212,
          .totalBytes = 1024,
          .elapsedS = 0.2},
         "PARA  block 1/1  212 of 1024 bytes"},
        {{.code = "HIST", .blocks = 3, .bytes = 3072, .elapsedS = 2},
         "HIST  block 3  3072 bytes  1.54 kB/s"},
        {{.code = "ALAR",
          .blocks = 16,
          .totalBlocks = 15,
          .bytes = 15360,
          .totalBytes = 15360,
          .elapsedS = 16,
          .ended = true},
         "ALAR  block 16  15360 of 15360 bytes  0.96 kB/s"},
        {{.code = "ALAR",
          .blocks = 1,
          .totalBlocks = 60,
          .bytes = 256,
          .totalBytes = 15360,
          .elapsedS = 10},
         "ALAR  block 1/60  256 of 15360 bytes  0.03 kB/s  9 min 50 s left"},
        {{.code = "HIST",
          .blocks = 1,
          .totalBlocks = 977,
          .bytes = 1000,
          .totalBytes = 1000000,
          .elapsedS = 10},
         "HIST  block 1/977  1000 of 1000000 bytes  0.10 kB/s  2 h 46 min left"},
        {{.code = "ALAR",
          .blocks = 30,
          .totalBlocks = 60,
          .bytes = 30720,
          .totalBytes = 61440,
          .elapsedS = 0.5},
         "ALAR  block 30/60  30720 of 61440 bytes  61.4 kB/s  1 s left"},
        {{.code = "ALAR", .blocks = 121, .bytes = 123456, .elapsedS = 1},
         "ALAR  block 121  123456 bytes  123 kB/s"},
    };
    for (const auto& [figures, text] : cases)
        EXPECT_EQ(FormatTransferProgress(figures), text);
}

// On a terminal: nothing before the announcement, then one line redrawn on every event;
// refused blocks (bad CRC, wrong number) are not counted; other output goes above the line,
// which is drawn again below it; the end leaves the last figures with a newline, once.
TEST(TransferProgressTest, TerminalRedrawsOneLineAndEndsItOnce) {
    Capture out;
    auto now = std::chrono::steady_clock::time_point{};
    TransferProgress progress(out.file, true, "HIST", [&] { return now; });
    progress.PrintAbove("Connected\n");
    progress.Finish();
    progress.OnEvent(Announce(3));
    now += 1s;
    progress.OnEvent(Block(0, 1024));
    now += 1s;
    progress.OnEvent(Block(1, 1024, true));
    progress.PrintAbove("Asking to repeat file block");
    progress.OnEvent(Block(5, 1024));
    now += 1s;
    progress.OnEvent(Block(1, 1024));
    now += 1s;
    progress.OnEvent(Block(2, 552));
    progress.OnEvent(Frame(CMD_FILE_END, {}));
    progress.Finish();
    progress.Finish();

    const std::string at2s = Redraw("HIST  block 1/3  1024 of 3072 bytes  0.51 kB/s  4 s left");
    EXPECT_EQ(out.Text(), "Connected\n" + Redraw("HIST  block 0  0 of 3072 bytes") +
                              Redraw("HIST  block 1/3  1024 of 3072 bytes  1.02 kB/s  2 s left") +
                              at2s + "\r\x1b[KAsking to repeat file block\n" + at2s + at2s +
                              Redraw("HIST  block 2/3  2048 of 3072 bytes  0.68 kB/s  2 s left") +
                              Redraw("HIST  block 3/3  2600 of 3072 bytes  0.65 kB/s  1 s left") +
                              Redraw("HIST  block 3/3  2600 of 3072 bytes  0.65 kB/s  1 s left") +
                              Redraw("HIST  block 3/3  2600 of 3072 bytes  0.65 kB/s") + "\n");
}

// Not a terminal: no carriage return; a line at each further quarter of the announced size
// and one at the end, or every 10 s when no size was announced.
TEST(TransferProgressTest, PlainOutputPrintsAQuarterLineAtMostAndTheEnd) {
    Capture out;
    auto now = std::chrono::steady_clock::time_point{};
    {
        TransferProgress progress(out.file, false, "ALAR", [&] { return now; });
        progress.OnEvent(Announce(15));
        for (uint32_t n = 0; n < 15; ++n) {
            now += 1s;
            const bool last = n == 14;
            progress.OnEvent(Block(n, last ? 664 : 1024));
            if (n == 5) progress.PrintAbove("Asking to repeat file block\n");
        }
        progress.OnEvent(Frame(CMD_FILE_END, {}));
    }  // the end of the printer ends the download
    EXPECT_EQ(out.Text(),
              "ALAR  block 4/15  4096 of 15360 bytes  1.02 kB/s  11 s left\n"
              "Asking to repeat file block\n"
              "ALAR  block 8/15  8192 of 15360 bytes  1.02 kB/s  7 s left\n"
              "ALAR  block 12/15  12288 of 15360 bytes  1.02 kB/s  3 s left\n"
              "ALAR  block 15/15  15000 of 15360 bytes  1.00 kB/s\n");

    // A file shorter than announced reaches its last quarter with its last block: the end
    // line alone stands for it.
    Capture shorter;
    {
        TransferProgress progress(shorter.file, false, "HIST", [&] { return now; });
        progress.OnEvent(Announce(3));
        for (uint32_t n = 0; n < 3; ++n, now += 1s)
            progress.OnEvent(Block(n, n == 2 ? 752 : 1024));
        progress.OnEvent(Frame(CMD_FILE_END, {}));
    }
    EXPECT_EQ(shorter.Text(),
              "HIST  block 1/3  1024 of 3072 bytes\n"
              "HIST  block 2/3  2048 of 3072 bytes  2.05 kB/s  1 s left\n"
              "HIST  block 3/3  2800 of 3072 bytes  0.93 kB/s\n");

    Capture unknown;
    TransferProgress progress(unknown.file, false, "PARA", [&] { return now; });
    for (uint32_t blocks = 0; blocks <= 9; ++blocks, now += 3s)
        progress.Update(blocks, 0, blocks * 256, 0);
    progress.Finish();
    EXPECT_EQ(unknown.Text(),
              "PARA  block 4  1024 bytes  0.09 kB/s\n"
              "PARA  block 8  2048 bytes  0.09 kB/s\n"
              "PARA  block 9  2304 bytes  0.09 kB/s\n");
}
