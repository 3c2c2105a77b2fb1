#include "file_trans_controller.h"

#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
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
namespace fs = std::filesystem;

// Copies `from` beside `to` and renames the copy over it, for a target on another file
// system. "" or the reason.
std::string CopyThenReplace(const fs::path& from, const fs::path& to) {
    fs::path part = to;
    part += ".part";
    std::FILE* in = std::fopen(from.c_str(), "rb");
    if (in == nullptr) return std::strerror(errno);
    std::FILE* out = std::fopen(part.c_str(), "wb");
    if (out == nullptr) {
        const std::string reason = std::strerror(errno);
        std::fclose(in);
        return reason;
    }
    char buf[8192];
    bool ok = true;
    for (size_t n; ok && (n = std::fread(buf, 1, sizeof buf, in)) > 0;)
        ok = std::fwrite(buf, 1, n, out) == n;
    ok = ok && !std::ferror(in) && std::fflush(out) == 0 && fsync(fileno(out)) == 0;
    std::string reason = ok ? "" : std::strerror(errno);
    std::fclose(in);
    if (std::fclose(out) != 0 && ok) {
        ok = false;
        reason = std::strerror(errno);
    }
    std::error_code ec;
    if (ok) fs::rename(part, to, ec);
    if (!ok || ec) {
        fs::remove(part, ec);
        return ok ? ec.message() : reason;
    }
    fs::remove(from, ec);
    return {};
}

}  // namespace

// Puts the received file in place of `to` in one step: a reader sees the old file or the
// new one, never none. When that cannot be done the old file is left as it was.
std::string ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to) {
    std::error_code ec;
    fs::rename(from, to, ec);
    if (!ec) return {};
    if (ec == std::errc::cross_device_link) return CopyThenReplace(from, to);
    return ec.message();
}

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
    if (autoStart) Start();
}

bool FileTransferController::Start() {
    if (protocol_ == nullptr) return false;
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
            if (ending_) break;
            if (!saveAs.empty() && protocol_ != nullptr) {
                saveError_ = ReplaceFile(protocol_->ReceivedFilePath(), saveAs);
                if (!saveError_.empty()) saveError_ = saveAs + ": " + saveError_;
            }
            // A file that could not be saved is no successful download: the old one stays.
            if (!saveError_.empty()) failure_ = "cannot save " + saveError_;
            outcome_ = saveError_.empty() ? Outcome::Ok : Outcome::Cancel;
            break;
        case CMD_FILE_END_ACK:
            if (failure_.empty()) failure_ = "the unit ended the transfer";
            outcome_ = Outcome::Cancel;
            break;
        default:
            break;
    }
}

void FileTransferController::OnStatus(uint16_t command, uint16_t status) {
    errorLamp_ = true;
    if (ending_ || outcome_ != Outcome::Running) return;
    ending_ = true;
    failedStatus_ = status;
    failedCommand_ = command;
    schedule_(kErrorShowMs, [this] { outcome_ = Outcome::Cancel; });
}

void FileTransferController::OnEvent(const ProtocolEvent& event) {
    if (event.status != 0)
        OnStatus(event.command, event.status);
    else if (event.command != kNoFrameCommand)
        OnFrame(event.command, event.data.data(), event.length);
}

void FileTransferController::Abort() {
    if (ending_ || outcome_ != Outcome::Running) return;
    ending_ = true;
    failure_ = "aborted";
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

void FileTransferController::End(const std::string& why) {
    if (outcome_ != Outcome::Running) return;
    ending_ = true;
    if (failure_.empty() && failedStatus_ == 0) failure_ = why;
    outcome_ = Outcome::Cancel;
}

}  // namespace station
