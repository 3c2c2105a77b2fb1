// File transfer on the station's side, over the in-memory transport: the exact frames of
// uploads, the checks on received blocks and the repeat limit.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include "file_trans_controller.h"
#include "test_support.h"

using namespace station;
using namespace station::test;
namespace fs = std::filesystem;

namespace {

class TransferTest : public ::testing::Test {
  protected:
    void SetUp() override {
        dir = fs::temp_directory_path() /
              ("station_transfer_" + std::to_string(getpid()) + "_" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::create_directories(dir / "outbox");
        p.SetWorkFolder(dir);
        p.SetOutbox(dir / "outbox");
        p.SetWindow(&sink);
    }
    void TearDown() override { fs::remove_all(dir); }

    std::vector<uint8_t> WriteOutbox(const std::string& name, size_t size) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i)
            bytes[i] = static_cast<uint8_t>(i * 31 + 7);
        std::ofstream(dir / "outbox" / name, std::ios::binary)
            .write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(size));
        return bytes;
    }
    std::vector<uint8_t> Request(const std::string& name) {
        return Frame(0xC004, std::vector<uint8_t>(name.begin(), name.end()));
    }
    // The block record of a written 0xC00B frame.
    static BlockRecord Block(const std::vector<uint8_t>& frame) {
        EXPECT_EQ(GetU16(&frame[3]), 0xC00B);
        auto b = ParseBlockRecord(frame.data() + 6, frame.size() - 6);
        EXPECT_TRUE(b);
        return *b;
    }
    // A download of `code` under way on `q`: asked for, accepted, announced.
    static void BeginDownload(LoopbackProtocol& q, const char* code,
                              const std::vector<uint8_t>& announcement = {1, 0, 0, 0}) {
        q.SendCommand(0xC004, 4, reinterpret_cast<const uint8_t*>(code), 5000);
        q.Receive(Frame(0x4004));
        q.Receive(Frame(0xC00A, announcement));
    }
    std::vector<uint8_t> Download(const std::vector<std::vector<uint8_t>>& blocks) {
        p.SendCommand(0xC004, 4, reinterpret_cast<const uint8_t*>("HIST"), 5000);
        p.Receive(Frame(0x4004));
        uint8_t count[4];
        PutU32(count, static_cast<uint32_t>(blocks.size()));
        p.Receive(Frame(0xC00A, {count, count + 4}));
        for (const auto& b : blocks)
            p.Receive(Frame(0xC00B, b));
        return {};
    }

    fs::path dir;
    LoopbackProtocol p;
    CollectingSink sink;
};

std::vector<uint8_t> Record(uint32_t n, uint16_t size, const std::vector<uint8_t>& data) {
    return BuildBlockRecord(n, size, data.data(), static_cast<uint16_t>(data.size()));
}

}  // namespace

// Block counts and valid counts of uploads of 600 and 512 bytes.
TEST_F(TransferTest, UploadsSendNumberedBlocksThenEndOfFile) {
    struct Case {
        size_t size;
        std::vector<uint16_t> valid;
    } cases[] = {{600, {256, 256, 88}}, {512, {256, 256, 0}}};
    for (const auto& c : cases) {
        p.written.clear();
        const auto bytes = WriteOutbox("up.bin", c.size);
        p.Receive(Request("up.bin"));
        ASSERT_EQ(p.written.size(), 2u);
        EXPECT_EQ(p.written[0], Frame(0x4004));
        EXPECT_EQ(p.written[1], Frame(0xC00A, {1, 0, 0, 0}));  // one 1024-byte piece
        p.Receive(Frame(0x400A));
        std::vector<uint8_t> sent;
        for (size_t i = 0; i < c.valid.size(); ++i) {
            ASSERT_EQ(p.written.back().size(), 6u + 266u);
            const auto b = Block(p.written.back());
            EXPECT_EQ(b.number, i);
            EXPECT_EQ(b.blockSize, 256);
            EXPECT_EQ(b.valid, c.valid[i]);
            sent.insert(sent.end(), b.data, b.data + b.valid);
            p.Receive(Frame(0x400B));
        }
        EXPECT_EQ(p.written.back(), Frame(0xC00C));
        EXPECT_EQ(sent, bytes);
        p.Receive(Frame(0x400C));
        EXPECT_FALSE(p.TransferOpen());
        EXPECT_EQ(p.OutstandingCount(), 0u);
        for (const auto& e : sink.Events())
            EXPECT_EQ(e.status, 0) << std::hex << e.command;
    }
}

TEST_F(TransferTest, UploadRepeatRequestResendsTheShortLastBlockFromItsStart) {
    WriteOutbox("up.bin", 600);
    p.Receive(Request("up.bin"));
    p.Receive(Frame(0x400A));
    p.Receive(Frame(0x400B));
    p.Receive(Frame(0x400B));
    const auto last = p.written.back();
    ASSERT_EQ(Block(last).valid, 88);
    p.Receive(Frame(0x400D));
    EXPECT_EQ(p.written.back(), last);
    p.Receive(Frame(0x400B));
    EXPECT_EQ(p.written.back(), Frame(0xC00C));
    for (const auto& e : sink.Events())
        EXPECT_EQ(e.status, 0);
}

// An upload honours four repeat requests, as a download asks at most four; the fifth ends
// it, and nothing of it is left to time out.
TEST_F(TransferTest, UploadHonoursAtMostFourRepeatRequests) {
    WriteOutbox("up.bin", 600);
    p.Receive(Request("up.bin"));
    p.Receive(Frame(0x400A));
    const auto first = p.written.back();
    for (int i = 0; i < 4; ++i) {
        p.Receive(Frame(0x400D));
        EXPECT_EQ(p.written.back(), first);
    }
    const size_t sent = p.written.size();
    p.Receive(Frame(0x400D));
    EXPECT_EQ(p.written.size(), sent);
    EXPECT_EQ(sink.Events().back().status, XLNK_ERR_FILE_TRANSFER_INTERRUPTED);
    EXPECT_FALSE(p.TransferOpen());
    EXPECT_EQ(p.OutstandingCount(), 0u);
}

// Names a unit must not be served: outside the outbox, or too long to be a file name.
TEST_F(TransferTest, RefusedFileNamesAreAnsweredAsUnopenableFiles) {
    WriteOutbox("ok.bin", 10);
    std::ofstream(dir / "secret.txt") << "not for the line";
    // A link that leads out of the outbox, and a FIFO that would hang a reader.
    fs::create_symlink(dir / "secret.txt", dir / "outbox" / "link.txt");
    ASSERT_EQ(mkfifo((dir / "outbox" / "pipe").c_str(), 0600), 0);
    std::ofstream(p.SentFilePath()) << "previous upload";
    const std::string names[] = {
        "../secret.txt",       "/etc/passwd", "sub/ok.bin", "..\\secret.txt", "..",
        std::string(256, 'a'), "missing.bin", "link.txt",   "pipe",           ""};
    for (const auto& name : names) {
        sink.Clear();
        p.written.clear();
        p.Receive(Request(name));
        EXPECT_TRUE(p.written.empty()) << name;
        ASSERT_EQ(sink.Events().size(), 1u);
        EXPECT_EQ(sink.Events()[0].status, XLNK_ERR_FILE_TRANSFER_INTERRUPTED);
        EXPECT_EQ(sink.Events()[0].command, 0xC004);
        EXPECT_FALSE(p.TransferOpen());
    }
    std::ifstream kept(p.SentFilePath());
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(kept), {}), "previous upload");
    p.Receive(Request("ok.bin"));
    EXPECT_EQ(p.written.size(), 2u);
}

TEST_F(TransferTest, EmptyFileIsNotSent) {
    WriteOutbox("empty.bin", 0);
    p.Receive(Request("empty.bin"));
    EXPECT_EQ(sink.Events().back().status, XLNK_ERR_FILE_TRANSFER_INTERRUPTED);
    EXPECT_FALSE(p.TransferOpen());
}

TEST_F(TransferTest, DownloadWritesValidBytesOfCheckedBlocks) {
    std::vector<uint8_t> a(16, 0xA1), b(5, 0xB2);
    Download({Record(0, 16, a), Record(1, 16, b)});
    p.Receive(Frame(0xC00C));
    EXPECT_EQ(p.written.back(), Frame(0x400C));
    std::ifstream in(p.ReceivedFilePath(), std::ios::binary);
    std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), {});
    a.insert(a.end(), b.begin(), b.end());
    EXPECT_EQ(got, a);
    EXPECT_EQ(p.OutstandingCount(), 0u);
}

// Blocks refused like a CRC error: each is asked again, and nothing of it is written.
TEST_F(TransferTest, RefusedBlocksAreAskedAgain) {
    std::vector<uint8_t> d(16, 0x33);
    auto badCrc = Record(0, 16, d);
    badCrc[9] ^= 1;
    auto claims = Record(0, 16, d);
    PutU16(&claims[6], 17);
    PutU16(&claims[24], Crc16(0, claims.data(), 24));
    const std::vector<std::vector<uint8_t>> refused = {badCrc, Record(1, 16, d), claims};
    for (const auto& block : refused) {
        LoopbackProtocol q;
        CollectingSink s;
        q.SetWindow(&s);
        q.SetWorkFolder(dir);
        BeginDownload(q, "HIST");
        q.Receive(Frame(0xC00B, block));
        EXPECT_EQ(q.written.back(), Frame(0x400D));
        const auto events = s.Events();
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events[events.size() - 2].Text(),
                  std::string("Asking to repeat file block\r\n\0", 30));
        EXPECT_EQ(events.back().command, 0xC00B);
        EXPECT_EQ(events.back().status, 0);  // asked again: no error is reported
        EXPECT_EQ(fs::file_size(q.ReceivedFilePath()), 0u);
        q.Receive(Frame(0xC00B, Record(0, 16, d)));
        EXPECT_EQ(q.written.back(), Frame(0x400B));
    }
}

TEST_F(TransferTest, FifthBadBlockInterruptsTheDownload) {
    std::vector<uint8_t> d(16, 0x44);
    auto bad = Record(0, 16, d);
    bad[20] ^= 0x80;
    Download({bad, bad, bad, bad});
    EXPECT_EQ(std::count(p.written.begin(), p.written.end(), Frame(0x400D)), 4);
    EXPECT_TRUE(p.TransferOpen());
    p.Receive(Frame(0xC00B, bad));
    EXPECT_EQ(std::count(p.written.begin(), p.written.end(), Frame(0x400D)), 4);
    EXPECT_EQ(sink.Events().back().status, XLNK_ERR_FILE_TRANSFER_INTERRUPTED);
    EXPECT_FALSE(p.TransferOpen());
    // Nothing of the ended transfer times out later.
    EXPECT_EQ(p.OutstandingCount(), 0u);
    const size_t events = sink.Events().size();
    p.now += 100000;
    p.OnTimeout(0, nullptr);
    EXPECT_EQ(sink.Events().size(), events);
}

// A block that does not come is asked again after 5 s, four times; the fifth time-out
// ends the download and is reported as its interruption, naming the block command.
TEST_F(TransferTest, MissingBlockIsAskedAgainAfterItsTimeout) {
    p.now = 0;
    Download({});
    for (int i = 1; i <= 4; ++i) {
        p.now = 5001u * i;
        p.OnTimeout(0, nullptr);
        EXPECT_EQ(p.written.back(), Frame(0x400D));
        EXPECT_TRUE(p.TransferOpen());
    }
    p.now = 5001u * 5;
    p.OnTimeout(0, nullptr);
    EXPECT_FALSE(p.TransferOpen());
    EXPECT_EQ(sink.Events().back().status, XLNK_ERR_FILE_TRANSFER_INTERRUPTED);
    EXPECT_EQ(sink.Events().back().command, 0xC00B);
    EXPECT_EQ(p.OutstandingCount(), 0u);
}

// Inside a download, a block whose frame header was damaged, or which lost a byte, is no
// event of its own: once the line falls silent it is asked again at once, and the file
// arrives whole with no error reported.
TEST_F(TransferTest, DamagedBlockFramesAreAskedAgainAtSilence) {
    std::vector<uint8_t> a(16, 0x10), b(16, 0xB2);  // data full of frame markers
    const auto goodB = Frame(0xC00B, Record(1, 16, b));
    auto badHeader = goodB;
    badHeader[4] ^= 0x04;
    auto lostByte = goodB;
    lostByte.erase(lostByte.begin() + 20);
    for (const auto& damaged : {badHeader, lostByte}) {
        LoopbackProtocol q;
        CollectingSink s;
        q.SetWindow(&s);
        q.SetWorkFolder(dir);
        BeginDownload(q, "HIST");
        q.Receive(Frame(0xC00B, Record(0, 16, a)));
        q.Receive(damaged);
        EXPECT_EQ(q.written.back(), Frame(0x400B));
        q.OnTimeout(0, nullptr);
        EXPECT_EQ(q.written.back(), Frame(0x400D));
        q.Receive(goodB);
        q.Receive(Frame(0xC00B, Record(2, 16, {})));
        q.Receive(Frame(0xC00C));
        EXPECT_EQ(q.written.back(), Frame(0x400C));
        for (const auto& e : s.Events())
            EXPECT_EQ(e.status, 0) << std::hex << e.command;
        std::ifstream in(q.ReceivedFilePath(), std::ios::binary);
        std::vector<uint8_t> got((std::istreambuf_iterator<char>(in)), {});
        a.insert(a.end(), b.begin(), b.end());
        EXPECT_EQ(got, a);
        a.resize(16);
    }
}

// A disk that refuses a block ends the download at once with the reason: the block is
// not acknowledged and not asked again.
TEST_F(TransferTest, DiskThatRefusesABlockEndsTheDownloadAtOnce) {
    fs::create_symlink("/dev/full", p.ReceivedFilePath());
    Download({Record(0, 16, std::vector<uint8_t>(16, 1))});
    EXPECT_EQ(std::count(p.written.begin(), p.written.end(), Frame(0x400B)), 0);
    EXPECT_EQ(std::count(p.written.begin(), p.written.end(), Frame(0x400D)), 0);
    const auto events = sink.Events();
    ASSERT_GE(events.size(), 2u);
    EXPECT_NE(events[events.size() - 2].Text().find("No space left on device"), std::string::npos);
    EXPECT_EQ(events.back().status, XLNK_ERR_FILE_TRANSFER_INTERRUPTED);
    EXPECT_FALSE(p.TransferOpen());
    EXPECT_EQ(p.OutstandingCount(), 0u);
}

// A unit may not send more than it announced (1024 bytes a piece), nor more than 1 MiB
// without an announced size; blocks that claim a size of 0 end the file.
TEST_F(TransferTest, DownloadLongerThanAnnouncedIsInterrupted) {
    const std::vector<uint8_t> full(1024, 0x5A);
    BeginDownload(p, "PARA");
    p.Receive(Frame(0xC00B, Record(0, 1024, full)));
    p.Receive(Frame(0xC00B, Record(1, 1024, {7})));
    EXPECT_EQ(sink.Events().back().status, XLNK_ERR_FILE_TRANSFER_INTERRUPTED);
    EXPECT_EQ(fs::file_size(p.ReceivedFilePath()), 1024u);

    LoopbackProtocol q;
    CollectingSink s;
    q.SetWindow(&s);
    q.SetWorkFolder(dir);
    BeginDownload(q, "ALAR", {});
    for (uint32_t n = 0; n <= 1024; ++n)
        q.Receive(Frame(0xC00B, Record(n, 1024, full)));
    EXPECT_EQ(s.Events().back().status, XLNK_ERR_FILE_TRANSFER_INTERRUPTED);
    EXPECT_EQ(fs::file_size(q.ReceivedFilePath()), 1u << 20);

    LoopbackProtocol r;
    r.SetWorkFolder(dir);
    BeginDownload(r, "ALAR");
    r.Receive(Frame(0xC00B, Record(0, 0, {})));
    r.Receive(Frame(0xC00C));
    EXPECT_EQ(r.written.back(), Frame(0x400C));
}

// "Save as" puts the new file in place in one step, also on another file system; when it
// cannot (a folder in the way) the download fails with the reason and nothing is lost.
TEST_F(TransferTest, SaveAsReplacesTheTargetOrKeepsEverything) {
    const auto finish = [&](const fs::path& saveAs) {
        std::ofstream(p.ReceivedFilePath()) << "new";
        FileTransferController c(&p, [](int, std::function<void()> fn) { fn(); });
        c.saveAs = saveAs.string();
        c.OnFrame(CMD_FILE_END, nullptr, 0);
        return c;
    };
    const auto read = [](const fs::path& f) {
        std::ifstream in(f);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    std::ofstream(dir / "old.418") << "old";
    auto c = finish(dir / "old.418");
    EXPECT_EQ(c.outcome(), FileTransferController::Outcome::Ok);
    EXPECT_EQ(read(dir / "old.418"), "new");
    EXPECT_FALSE(fs::exists(p.ReceivedFilePath()));

    fs::create_directories(dir / "folder.418" / "inside");
    c = finish(dir / "folder.418");
    EXPECT_EQ(c.outcome(), FileTransferController::Outcome::Cancel);
    EXPECT_EQ(c.saveError().rfind((dir / "folder.418").string() + ": ", 0), 0u) << c.saveError();
    EXPECT_TRUE(fs::is_directory(dir / "folder.418" / "inside"));
    EXPECT_EQ(read(p.ReceivedFilePath()), "new");

    // Another file system: /dev/shm is a memory file system beside the temporary folder.
    struct stat here {
    }, there{};
    if (stat("/dev/shm", &there) != 0 || stat(dir.c_str(), &here) != 0 ||
        here.st_dev == there.st_dev)
        GTEST_SKIP() << "no second file system to save to";
    const fs::path other = fs::path("/dev/shm") / ("station_save_" + std::to_string(getpid()));
    std::ofstream(other) << "old";
    c = finish(other);
    EXPECT_EQ(c.outcome(), FileTransferController::Outcome::Ok) << c.saveError();
    EXPECT_EQ(read(other), "new");
    EXPECT_FALSE(fs::exists(other.string() + ".part"));
    EXPECT_FALSE(fs::exists(p.ReceivedFilePath()));
    fs::remove(other);
}
