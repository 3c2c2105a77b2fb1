// File transfer over XLNK: the station answers the unit's requests, receives files in
// CRC-checked blocks into "received.tmp" and sends files to the unit from "sentfile.tmp".
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "trace.h"
#include "xlnk_protocol.h"

namespace station {

namespace {

constexpr uint16_t kSendBlockSize = 256;  // the station's blocks when it sends a file
constexpr size_t kAnnouncePiece = 1024;   // the announcement counts pieces of this size
constexpr uint64_t kMaxBlockData = 1024;  // a block frame of 1034 bytes carries at most this
constexpr int kMaxRepeats = 4;            // repeat requests per download
constexpr uint32_t kAnswerTimeoutMs = 1000;
constexpr uint32_t kBlockTimeoutMs = 5000;
constexpr char kRepeatText[] = "Asking to repeat file block\r\n";  // posted with its NUL

bool IsTransferCommand(uint16_t command) {
    switch (command) {
        case 0x4004:
        case 0x400A:
        case 0x400B:
        case 0x400C:
        case 0x400D:
        case 0xC004:
        case 0xC005:
        case 0xC00A:
        case 0xC00C:
        case 0xC00D:
            return true;
        default:
            return false;
    }
}

// A unit may ask only for a plain file name inside the outbox.
bool IsServableName(const std::string& name) {
    if (name.empty() || name.size() > kMaxServedNameLength) return false;
    if (name.find_first_of("/\\") != std::string::npos) return false;
    if (name.find("..") != std::string::npos || name == ".") return false;
    return name.find('\0') == std::string::npos;
}

// The commands a transfer waits for; none of them may time out once it has ended.
bool IsAwaitedTransferCommand(uint16_t command) {
    return command == CMD_FILE_ANNOUNCE || command == CMD_FILE_BLOCK || command == CMD_FILE_END;
}

}  // namespace

// The file a unit may be served: a regular file directly inside the outbox, not a link
// that leads out of it, opened without blocking on a FIFO or a device.
std::FILE* XLNKProtocol::OpenServedFile(const std::string& name) const {
    if (!IsServableName(name)) return nullptr;
    const int fd = ::open((outbox_ / name).c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return nullptr;
    }
    std::FILE* file = fdopen(fd, "rb");
    if (file == nullptr) ::close(fd);
    return file;
}

std::FILE* XLNKProtocol::OpenWorkFile(const std::filesystem::path& path) {
    return std::fopen(path.c_str(), "w+b");
}

void XLNKProtocol::CloseTransferFile() {
    if (transferFile != nullptr) std::fclose(transferFile);
    transferFile = nullptr;
    blockBuffer_.clear();  // no block of the next transfer has been sent yet
    if (transferMode_ != Transfer::None) {
        // A transfer that has ended, however, leaves no block or end to wait for.
        std::lock_guard lock(listLock);
        commands.remove_if([](const Entry& e) { return IsAwaitedTransferCommand(e.descr.cmd); });
    }
    transferMode_ = Transfer::None;
}

int XLNKProtocol::SendFile(const std::string& name) {
    std::lock_guard lock(transferLock_);
    CloseTransferFile();
    // A refused name is answered as a file that cannot be opened; "sentfile.tmp" is left
    // alone until the request is accepted.
    std::FILE* source = OpenServedFile(name);
    if (source == nullptr) return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    transferFile = OpenWorkFile(SentFilePath());
    if (transferFile == nullptr) {
        std::fclose(source);
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    }
    transferMode_ = Transfer::Sending;
    repeatCount = 0;
    if (SendCommand(CMD_FILE_REQUEST_ACK, 0, nullptr, kAnswerTimeoutMs) != 0) {
        std::fclose(source);
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    }
    std::array<uint8_t, kAnnouncePiece> piece;
    uint32_t pieces = 0;
    bool copied = true;
    for (size_t n; (n = std::fread(piece.data(), 1, piece.size(), source)) > 0;) {
        ++pieces;
        copied &= std::fwrite(piece.data(), 1, n, transferFile) == n;
    }
    std::fclose(source);
    if (pieces == 0 || !copied || std::fflush(transferFile) != 0)
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    uint8_t count[4];
    PutU32(count, pieces);
    if (SendCommand(CMD_FILE_ANNOUNCE, sizeof count, count, kBlockTimeoutMs) != 0)
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    return 0;
}

int XLNKProtocol::SendBlock() {
    blockStart_ = std::ftell(transferFile);
    std::array<uint8_t, kSendBlockSize> data{};
    const size_t valid = std::fread(data.data(), 1, data.size(), transferFile);
    blockBuffer_ =
        BuildBlockRecord(blockNumber_, kSendBlockSize, data.data(), static_cast<uint16_t>(valid));
    if (SendCommand(CMD_FILE_BLOCK, blockBuffer_.size(), blockBuffer_.data(), kBlockTimeoutMs) != 0)
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    return 0;
}

int XLNKProtocol::ReceiveBlock(const uint8_t* frame) {
    const FrameHeader h = ParseHeader(frame);
    const auto block = ParseBlockRecord(frame + kHeaderSize, h.length);
    if (!block || block->number != nextBlock_) {
        Trace("Wrong crc \r\n");
        return XLNK_ERR_CHECKSUM;
    }
    // A unit may not send more than it announced (or than any station file can be).
    if (receivedBytes_ + block->valid > receiveLimit_) {
        TraceF("Download longer than its announced %llu bytes\r\n",
               static_cast<unsigned long long>(receiveLimit_));
        CloseTransferFile();
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    }
    // The block is on the disk before it is acknowledged: a disk that refuses it ends the
    // download at once, rather than asking the unit again for what it cannot store.
    if (std::fwrite(block->data, 1, block->valid, transferFile) != block->valid ||
        std::fflush(transferFile) != 0) {
        const std::string text = ReceivedFilePath().string() + ": " + std::strerror(errno) + "\r\n";
        Trace(text);
        PostEvent(2, reinterpret_cast<const uint8_t*>(text.data()), text.size());
        CloseTransferFile();
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    }
    receivedBytes_ += block->valid;
    ++nextBlock_;
    if (SendCommand(CMD_FILE_BLOCK_ACK, 0, nullptr, kBlockTimeoutMs) != 0)
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    // A short block is the last one (an empty one too, whatever block size it claims).
    const bool last = block->valid < block->blockSize || block->valid == 0;
    ExpectCommand(last ? CMD_FILE_END : CMD_FILE_BLOCK, kBlockTimeoutMs);
    return 0;
}

int XLNKProtocol::HandleTransferFrame(const uint8_t* frame) {
    std::lock_guard lock(transferLock_);
    const FrameHeader h = ParseHeader(frame);
    const uint8_t* data = frame + kHeaderSize;
    const auto answerRequest = [&] {
        if (h.command & kRequestBit)
            SendCommand(h.command & ~kRequestBit, 0, nullptr, kAnswerTimeoutMs);
    };

    if (transferMode_ == Transfer::None) {
        switch (h.command) {
            case CMD_FILE_REQUEST:
                // Longer names than any served file can have are refused by SendFile.
                return SendFile(std::string(reinterpret_cast<const char*>(data),
                                            std::min<size_t>(h.length, kMaxServedNameLength + 1)));
            case CMD_FILE_REQUEST_ACK:
                ExpectCommand(CMD_FILE_ANNOUNCE, kBlockTimeoutMs);
                return 0;
            case CMD_FILE_ANNOUNCE:
                if (SendCommand(CMD_FILE_ANNOUNCE_ACK, 0, nullptr, kAnswerTimeoutMs) != 0)
                    return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
                nextBlock_ = 0;
                repeatCount = 0;
                receivedBytes_ = 0;
                // The count of 1024-byte pieces announced bounds the file.
                receiveLimit_ =
                    h.length >= 4 && GetU32(data) != 0
                        ? std::min<uint64_t>(GetU32(data) * kMaxBlockData, kDownloadLimit)
                        : kUnannouncedDownloadLimit;
                // Receiving from here on, so that a failure also forgets the expected block.
                transferMode_ = Transfer::Receiving;
                ExpectCommand(CMD_FILE_BLOCK, kBlockTimeoutMs);
                transferFile = OpenWorkFile(ReceivedFilePath());
                if (transferFile == nullptr) return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
                return 0;
            default:
                answerRequest();
                return 0;
        }
    }

    if (transferMode_ == Transfer::Sending) {
        // An acknowledgement or a repeat request is about the block just sent; before the
        // first block of this upload there is none.
        const bool blockSent = !blockBuffer_.empty();
        switch (h.command) {
            case CMD_FILE_ANNOUNCE_ACK:
                std::rewind(transferFile);
                blockNumber_ = 0;
                return SendBlock();
            case CMD_FILE_BLOCK_ACK: {
                if (!blockSent) return XLNK_ERR_UNEXPECTED_COMMAND;
                ++blockNumber_;
                const uint16_t lastValid = GetU16(&blockBuffer_[6]);
                if (lastValid < kSendBlockSize) {
                    CloseTransferFile();
                    if (SendCommand(CMD_FILE_END, 0, nullptr, kAnswerTimeoutMs) != 0)
                        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
                    return 0;
                }
                return SendBlock();
            }
            case CMD_FILE_REPEAT:
                if (!blockSent) return XLNK_ERR_UNEXPECTED_COMMAND;
                // As many repeats as a download may ask for; then the upload has failed.
                if (++repeatCount > kMaxRepeats) return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
                // Back to the start of the block just sent, short last block included.
                std::fseek(transferFile, blockStart_, SEEK_SET);
                return SendBlock();
            default:
                break;
        }
    } else {
        switch (h.command) {
            case CMD_FILE_BLOCK:
                return ReceiveBlock(frame);
            case CMD_FILE_END:
                CloseTransferFile();
                SendCommand(CMD_FILE_END_ACK, 0, nullptr, kAnswerTimeoutMs);
                return 0;
            default:
                break;
        }
    }
    Trace("Unexpected command during file transfer operation\r\n");
    answerRequest();
    return 0;
}

int XLNKProtocol::HandleCommandError(uint16_t command, int code) {
    if (code == 0) return 0;
    std::lock_guard lock(transferLock_);
    int result = code;
    if (command == CMD_FILE_BLOCK && transferMode_ == Transfer::Receiving &&
        code != XLNK_ERR_FILE_TRANSFER_INTERRUPTED) {
        // A bad or missing block of a download is asked again, a few times per download.
        if (repeatCount < kMaxRepeats &&
            SendCommand(CMD_FILE_REPEAT, 0, nullptr, kAnswerTimeoutMs) == 0) {
            ExpectCommand(CMD_FILE_BLOCK, kBlockTimeoutMs);
            PostEvent(2, reinterpret_cast<const uint8_t*>(kRepeatText), sizeof kRepeatText);
            ++repeatCount;
            return 0;
        }
        result = XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    } else if (command == CMD_FILE_BLOCK || IsTransferCommand(command)) {
        result = XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    } else if (code != XLNK_ERR_FILE_TRANSFER_INTERRUPTED) {
        return code;
    }
    CloseTransferFile();
    return result;
}

}  // namespace station
