// libFuzzer target: arbitrary bytes from the line into the XLNK receive state machine, with
// a download and an upload set up behind it so that the transfer code sees the frames too.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "xlnk_protocol.h"

using namespace station;

namespace {

class NullSink : public ProtocolEventSink {
  public:
    void OnProtocolEvent(std::unique_ptr<ProtocolEvent> e) override { last = e->status; }
    uint16_t last = 0;
};

// Writes are taken as done at once, as the write thread would report them.
class FuzzProtocol : public XLNKProtocol {
  public:
    void Feed(const uint8_t* data, size_t size) {
        std::memcpy(rxBuffer, data, size);
        OnBytesRead(size);
    }

  protected:
    bool QueueWrite(std::vector<uint8_t> buffer) override {
        OnDataWritten(buffer.size(), buffer);
        return true;
    }
};

const std::filesystem::path& Folder() {
    static const std::filesystem::path dir = [] {
        auto d = std::filesystem::temp_directory_path() / ("xlnk_fuzz_" + std::to_string(getpid()));
        std::filesystem::create_directories(d / "outbox");
        std::ofstream(d / "outbox" / "f") << std::string(700, 'x');
        return d;
    }();
    return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzProtocol p;
    NullSink sink;
    uint32_t now = 0;
    p.SetTickSource([&now] { return now; });
    p.SetWindow(&sink);
    p.SetWorkFolder(Folder());
    p.SetOutbox(Folder() / "outbox");
    p.SendCommand(CMD_FILE_REQUEST, 4, reinterpret_cast<const uint8_t*>("ALAR"), 5000);
    p.ExpectCommand(CMD_FILE_ANNOUNCE, 5000);
    p.ExpectCommand(CMD_FILE_BLOCK, 5000);
    p.Dial("1", "pw");
    // The first byte of each piece says how many bytes one read returns.
    size_t pos = 0;
    while (pos < size) {
        const size_t chunk = std::min<size_t>(1 + data[pos] % 64, size - pos - 1);
        ++pos;
        p.Feed(data + pos, std::min<size_t>(chunk, 1024));
        pos += chunk;
        now += 700;
        p.OnTimeout(0, nullptr);
    }
    return 0;
}
