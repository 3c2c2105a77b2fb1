// File transfer over XLNK: the station answers the unit's requests, receives files in
// CRC-checked blocks into "received.tmp" and sends files to the unit from "sentfile.tmp".
#include <array>
#include <cstring>

#include "trace.h"
#include "xlnk_protocol.h"

namespace station {

namespace {

constexpr uint16_t kSendBlockSize = 256;  // the station's blocks when it sends a file
constexpr size_t kAnnouncePiece = 1024;   // the announcement counts pieces of this size
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
    if (name.empty() || name.size() > kMaxServedNameLength)
        return false;
    if (name.find_first_of("/\\") != std::string::npos)
        return false;
    if (name.find("..") != std::string::npos || name == ".")
        return false;
    return name.find('\0') == std::string::npos;
}

}  // namespace

std::FILE* XLNKProtocol::OpenWorkFile(const std::filesystem::path& path) {
    return std::fopen(path.c_str(), "w+b");
}

void XLNKProtocol::CloseTransferFile() {
    if (transferFile != nullptr)
        std::fclose(transferFile);
    transferFile = nullptr;
    transferMode_ = Transfer::None;
}

int XLNKProtocol::SendFile(const std::string& name) {
    std::lock_guard lock(transferLock_);
    CloseTransferFile();
    transferFile = OpenWorkFile(SentFilePath());
    if (transferFile == nullptr)
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    transferMode_ = Transfer::Sending;
    // A refused name is answered as a file that cannot be opened.
    std::FILE* source = IsServableName(name) ? std::fopen((outbox_ / name).c_str(), "rb") : nullptr;
    if (source == nullptr)
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
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
    if (SendCommand(CMD_FILE_BLOCK_ACK, 0, nullptr, kBlockTimeoutMs) != 0)
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
    // A short block is the last one.
    ExpectCommand(block->valid == block->blockSize ? CMD_FILE_BLOCK : CMD_FILE_END,
                  kBlockTimeoutMs);
    if (std::fwrite(block->data, 1, block->valid, transferFile) != block->valid)
        return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;  // a disk that refuses data ends the download
    ++nextBlock_;
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
                ExpectCommand(CMD_FILE_BLOCK, kBlockTimeoutMs);
                nextBlock_ = 0;
                repeatCount = 0;
                transferFile = OpenWorkFile(ReceivedFilePath());
                if (transferFile == nullptr)
                    return XLNK_ERR_FILE_TRANSFER_INTERRUPTED;
                transferMode_ = Transfer::Receiving;
                return 0;
            default:
                answerRequest();
                return 0;
        }
    }

    if (transferMode_ == Transfer::Sending) {
        switch (h.command) {
            case CMD_FILE_ANNOUNCE_ACK:
                std::rewind(transferFile);
                blockNumber_ = 0;
                return SendBlock();
            case CMD_FILE_BLOCK_ACK: {
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
    if (code == 0)
        return 0;
    std::lock_guard lock(transferLock_);
    int result = code;
    if (command == CMD_FILE_BLOCK && transferMode_ == Transfer::Receiving) {
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
