#include "file_trans_controller.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <system_error>
#include <thread>

#include "xlnk_protocol.h"

namespace station {

namespace {
constexpr uint32_t kRequestTimeoutMs = 5000;
constexpr uint32_t kAbortTimeoutMs = 1000;
constexpr int kErrorShowMs = 1000;  // the lamp stays lit this long before the dialog closes
constexpr int kAbortPauseMs = 500;
}  // namespace

FileTransferController::FileTransferController(XLNKProtocol* protocol, Scheduler scheduler)
    : protocol_(protocol), schedule_(std::move(scheduler)) {
    if (!schedule_) {
        schedule_ = [](int ms, std::function<void()> fn) {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            fn();
        };
    }
}

void FileTransferController::OnOpen() {
    if (autoStart)
        Start();
}

bool FileTransferController::Start() {
    if (protocol_ == nullptr)
        return false;
    return protocol_->SendCommand(CMD_FILE_REQUEST, fileName.size(),
                                  reinterpret_cast<const uint8_t*>(fileName.data()),
                                  kRequestTimeoutMs) == 0;
}

void FileTransferController::OnFrame(uint16_t command, const uint8_t* data, size_t length) {
    switch (command) {
        case CMD_FILE_ANNOUNCE:
            if (length >= 4) {
                progressMin_ = 0;
                progressMax_ = static_cast<int>(GetU32(data)) + 1;
                progressPos_ = 1;
            }
            break;
        case CMD_FILE_BLOCK:
            if (length >= 4) {
                const uint32_t number = GetU32(data);
                blockText_ = std::to_string(number);
                progressPos_ = static_cast<int>(number) + 2;
            }
            break;
        case CMD_FILE_END:
            if (!saveAs.empty() && protocol_ != nullptr) {
                std::error_code ec;
                std::filesystem::remove(saveAs, ec);
                std::filesystem::rename(protocol_->ReceivedFilePath(), saveAs, ec);
                // The data stays in "received.tmp" when it cannot be moved.
                if (ec)
                    saveError_ = saveAs + ": " + ec.message();
            }
            outcome_ = Outcome::Ok;
            break;
        case CMD_FILE_END_ACK:
            outcome_ = Outcome::Cancel;
            break;
        default:
            break;
    }
}

void FileTransferController::OnStatus(uint16_t /*command*/, uint16_t /*status*/) {
    errorLamp_ = true;
    schedule_(kErrorShowMs, [this] { outcome_ = Outcome::Cancel; });
}

void FileTransferController::OnEvent(const ProtocolEvent& event) {
    if (event.status != 0)
        OnStatus(event.command, event.status);
    else if (event.command != kNoFrameCommand)
        OnFrame(event.command, event.data.data(), event.length);
}

void FileTransferController::Abort() {
    if (protocol_ == nullptr) {
        outcome_ = Outcome::Cancel;
        return;
    }
    protocol_->OnPortClosed();
    schedule_(kAbortPauseMs, [this] {
        protocol_->SendCommand(CMD_FILE_ABORT, 0, nullptr, kAbortTimeoutMs);
        schedule_(kAbortPauseMs, [this] { outcome_ = Outcome::Cancel; });
    });
}

}  // namespace station
