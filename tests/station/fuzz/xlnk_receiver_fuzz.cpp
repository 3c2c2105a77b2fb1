// libFuzzer target: bytes from the line into the XLNK receive state machine while the station
// dials and asks for a file, with a file in the outbox that the unit may ask for, so that the
// transfer code sees the frames too. The input is
// a list of reads: a control byte (bits 0-5 the read's length - 1; 0x40 the line then falls
// silent for a second; 0x80 five seconds pass, so that time-outs run) and the bytes read.
// The mutator gives every frame it produced a right header check and every file block a right
// CRC, so that mutated frames reach the transfers rather than the checks alone.
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "xlnk_protocol.h"

extern "C" size_t LLVMFuzzerMutate(uint8_t* data, size_t size, size_t maxSize);

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

// Calls f(control byte, offset of the read, its length) for each read of the input.
template <typename F>
void ForEachRead(const uint8_t* data, size_t size, F f) {
    for (size_t pos = 0; pos + 1 < size;) {
        const uint8_t control = data[pos++];
        const size_t length = std::min<size_t>(1 + (control & 0x3F), size - pos);
        f(control, pos, length);
        pos += length;
    }
}

// Frames as the receiver finds them on the line: a right header check for each, and for a
// file block the CRC and a valid count that fits the record.
void FixFrames(std::vector<uint8_t>& line) {
    for (size_t i = 0; i + kHeaderSize <= line.size();) {
        uint8_t* h = &line[i];
        if (h[0] != kFrameMarker) {
            ++i;
            continue;
        }
        h[5] = HeaderChecksum(h, kHeaderSize - 1);
        const size_t length = GetU16(h + 1);
        i += kHeaderSize;
        if (kHeaderSize + length > kFrameBufferSize) continue;
        uint8_t* record = h + kHeaderSize;
        if (GetU16(h + 3) == CMD_FILE_BLOCK && length >= kBlockOverhead &&
            i + length <= line.size()) {
            const size_t room = length - kBlockOverhead;
            if (GetU16(record + 6) > room) PutU16(record + 6, static_cast<uint16_t>(room));
            PutU16(record + length - 2, Crc16(0, record, length - 2));
        }
        i += length;
    }
}

}  // namespace

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t maxSize,
                                          unsigned int seed) {
    size = LLVMFuzzerMutate(data, size, maxSize);
    if (seed % 8 == 0) return size;  // some damaged frames too, for the repeats
    std::vector<size_t> at;
    ForEachRead(data, size, [&](uint8_t, size_t pos, size_t length) {
        for (size_t k = 0; k < length; ++k)
            at.push_back(pos + k);
    });
    std::vector<uint8_t> line(at.size());
    for (size_t k = 0; k < at.size(); ++k)
        line[k] = data[at[k]];
    FixFrames(line);
    for (size_t k = 0; k < at.size(); ++k)
        data[at[k]] = line[k];
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzProtocol p;
    NullSink sink;
    uint32_t now = 0;
    p.SetTickSource([&now] { return now; });
    p.SetWindow(&sink);
    p.SetWorkFolder(Folder());
    p.SetOutbox(Folder() / "outbox");
    p.SendCommand(CMD_FILE_REQUEST, 4, reinterpret_cast<const uint8_t*>("ALAR"), 5000);
    p.Dial("1", "pw");
    // A first control byte with both top bits set has an announcement and a block awaited for
    // good, so that answers the outstanding check would turn away reach the transfer code.
    if (size > 0 && (data[0] & 0xC0) == 0xC0) {
        p.ExpectCommand(CMD_FILE_ANNOUNCE, UINT32_MAX);
        p.ExpectCommand(CMD_FILE_BLOCK, UINT32_MAX);
    }
    ForEachRead(data, size, [&](uint8_t control, size_t pos, size_t length) {
        p.Feed(data + pos, length);
        const bool silent = control & 0xC0;
        now += (control & 0x80) ? 5001 : silent ? 1000 : 50;
        p.OnTimeout(silent ? kTimeoutSilence : kTimeoutWhileReceiving, nullptr);
    });
    return 0;
}
