// The logic of the file transfer dialog without its widgets: it asks the unit for a file,
// follows the transfer's events with a progress range and a block counter and decides how
// the dialog ends. The window (or a command-line tool) renders what it reports.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "protocol_event.h"

namespace station {

class XLNKProtocol;

// Replaces `to` with `from` atomically (across file systems through a copy beside `to`);
// "" on success, else the reason, with `to` as it was.
std::string ReplaceFile(const std::filesystem::path& from, const std::filesystem::path& to);

class FileTransferController {
  public:
    enum class Outcome { Running, Ok, Cancel };

    // Runs fn after ms milliseconds; the window gives a timer, the default sleeps.
    using Scheduler = std::function<void(int ms, std::function<void()> fn)>;

    explicit FileTransferController(XLNKProtocol* protocol, Scheduler scheduler = {});

    // Dialog fields.
    bool autoStart = false;
    std::string caption;
    bool compact = false;
    std::string fileName;
    std::string saveAs;

    // What the dialog shows.
    int progressMin() const { return progressMin_; }
    int progressMax() const { return progressMax_; }
    int progressPos() const { return progressPos_; }
    const std::string& blockText() const { return blockText_; }
    bool errorLamp() const { return errorLamp_; }
    Outcome outcome() const { return outcome_; }
    // An abort or an error is ending the transfer: nothing more is to be started.
    bool ending() const { return ending_; }
    // Set when the received file could not be moved to "Save as"; the download then ends
    // with Cancel and the previous file stays.
    const std::string& saveError() const { return saveError_; }
    // Why a transfer that ended with Cancel ended, in words ("aborted", "cannot save ...");
    // "" for an error event, whose status and command say it.
    const std::string& failure() const { return failure_; }
    uint16_t failedStatus() const { return failedStatus_; }
    uint16_t failedCommand() const { return failedCommand_; }

    // Called when the dialog opens: runs Start when autoStart is set.
    void OnOpen();
    // Asks the unit for fileName; false when the request could not be sent.
    bool Start();
    // A frame event (status 0) and an event with a status code, as the protocol posts them.
    void OnFrame(uint16_t command, const uint8_t* data, size_t length);
    void OnStatus(uint16_t command, uint16_t status);
    // Hands one protocol event to OnFrame or OnStatus; raw text changes nothing here.
    void OnEvent(const ProtocolEvent& event);
    // Asks the unit to stop sending, then ends with Cancel; once, however often pressed.
    void Abort();
    // Ends the transfer with Cancel at once, for `why` (the line was hung up or lost).
    void End(const std::string& why);

  private:
    XLNKProtocol* protocol_;
    Scheduler schedule_;
    int progressMin_ = 0, progressMax_ = 100, progressPos_ = 0;
    std::string blockText_;
    bool errorLamp_ = false;
    Outcome outcome_ = Outcome::Running;
    bool ending_ = false;  // an abort or the error lamp's second runs: the end is under way
    std::string saveError_;
    std::string failure_;
    uint16_t failedStatus_ = 0;
    uint16_t failedCommand_ = 0;
};

}  // namespace station
