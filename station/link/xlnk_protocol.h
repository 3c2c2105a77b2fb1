// XLNKProtocol: framing of outgoing commands, the receive state machine, the list of
// outstanding commands with their time-outs, the automatic answers to the unit's
// requests, file transfer and the modem dialogue, over the CCom port engine.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <vector>

#include "com.h"
#include "protocol_event.h"
#include "xlnk_frame.h"

namespace station {

// One outstanding command.
struct CUR_CMD_DESCR {
    uint16_t cmd = 0;
    uint32_t sendTick = 0;
    uint32_t timeout = 0;  // milliseconds
    uint32_t reserved = 0;
};

// Modem dialogue states.
constexpr int MODEM_AT_SENT = 2;
constexpr int MODEM_DIALLING = 4;
constexpr int MODEM_CONNECTED = 5;
constexpr int MODEM_IDLE = 6;

// Modem results.
constexpr int MODEM_OK = 0;
constexpr int MODEM_CONNECT = 1;
constexpr int MODEM_NO_CARRIER = 3;
constexpr int MODEM_ERROR = 4;
constexpr int MODEM_BUSY = 7;
constexpr int MODEM_NO_ANSWER = 8;
constexpr int MODEM_NO_DIALTONE = 9;
constexpr int MODEM_RINGING = 13;
constexpr int MODEM_ESCAPE = 99;

constexpr size_t kMaxOutstanding = 32;  // more than this many refuses a send
constexpr size_t kMaxServedNameLength = 255;
constexpr uint64_t kUnannouncedDownloadLimit = 1u << 20;  // bytes, when no size was announced
constexpr uint64_t kDownloadLimit = 64u << 20;            // bytes, whatever was announced

// What the status bar says after "Disconnected " for a modem result or a lost port
// (XLNK_ERR_MODEM + r).
std::string ModemResultText(int r);

class XLNKProtocol : public CCom {
  public:
    XLNKProtocol();
    ~XLNKProtocol() override;

    // Where events go; null delivers nothing. Waits for an event being delivered, so that
    // the old sink may be destroyed once this returns.
    void SetWindow(ProtocolEventSink* sink);
    ProtocolEventSink* Window() const { return window; }
    // The millisecond tick; tests give their own clock.
    void SetTickSource(std::function<uint32_t()> tick) { tick_ = std::move(tick); }
    // Folder of "received.tmp" and "sentfile.tmp" (default: the current folder).
    void SetWorkFolder(std::filesystem::path folder) { workFolder_ = std::move(folder); }
    // The only folder whose files a unit may ask for (default "outbox" in the current folder).
    void SetOutbox(std::filesystem::path folder) { outbox_ = std::move(folder); }
    std::filesystem::path ReceivedFilePath() const { return workFolder_ / "received.tmp"; }
    std::filesystem::path SentFilePath() const { return workFolder_ / "sentfile.tmp"; }

    // 0, or -5 too many outstanding, -4 too long, -3 no memory, -2 refused by the engine.
    int SendCommand(uint16_t cmd, size_t length, const uint8_t* data, uint32_t timeout);
    void ExpectCommand(uint16_t cmd, uint32_t timeout);
    // Finds the oldest descriptor whose cmd AND mask equals cmd; removes it when asked.
    bool RemoveCommand(uint16_t cmd, bool remove, uint16_t mask);
    // kind 0 a frame, 1 an event without data (status = value), 2 raw text of value bytes.
    int PostEvent(int kind, const uint8_t* frame, size_t value);
    size_t OutstandingCount() const;
    std::vector<CUR_CMD_DESCR> Outstanding() const;  // newest first

    // File transfer.
    int SendFile(const std::string& name);
    int HandleTransferFrame(const uint8_t* frame);
    int HandleCommandError(uint16_t command, int code);
    bool TransferOpen() const;

    // Modem dialogue. Dial is refused (-1, nothing sent) while a dialogue or a connection
    // runs; it starts with a clean receiver.
    void SetModemInit(const std::string& init);
    const std::string& ModemInit() const { return modemInit; }
    int Dial(const std::string& phoneNumber, const std::string& password);
    int ParseModemText(const uint8_t* bytes, size_t count);
    int ModemState() const { return modemState; }
    bool ModemInCall() const override {
        return modemState == MODEM_DIALLING || modemState == MODEM_CONNECTED;
    }
    const std::string& DialString() const { return dialString; }
    const std::string& ConnectString() const { return connectString; }

    // Drops everything outstanding and closes an open transfer file. Once the engine has
    // stopped (hang-up) it also forgets the receive state and the modem connection, so the
    // next call starts clean.
    void OnPortClosed() override;
    int OnTimeout(int reason, const std::vector<uint8_t>* buffer) override;

  protected:
    void OnDataWritten(size_t count, const std::vector<uint8_t>& buffer) override;
    void ProcessInput() override;
    // A thread that ended on a fatal error (the device is gone) is reported to the window.
    void OnCommNotify(int code, const std::string& text) override;

  private:
    uint32_t Tick() const { return tick_(); }
    void HandleFrame();
    void HandleRawText(const uint8_t* bytes, size_t count);
    void FeedModemLine(const uint8_t* bytes, size_t count);
    void FlushModemLine();
    void ResetReceiveState();
    void BreakFrame();
    void OnSilence();
    void CloseTransferFile();
    int SendBlock();
    int ReceiveBlock(const uint8_t* frame);
    std::FILE* OpenWorkFile(const std::filesystem::path& path);
    std::FILE* OpenServedFile(const std::string& name) const;

    enum class Transfer { None, Sending, Receiving };

    std::recursive_mutex deliveryLock_;  // held while an event is handed to the window
    ProtocolEventSink* window = nullptr;
    std::atomic<int> modemState{MODEM_IDLE};
    std::string modemInit;
    std::FILE* transferFile = nullptr;
    Transfer transferMode_ = Transfer::None;
    int repeatCount = 0;
    mutable std::recursive_mutex transferLock_;  // the transfer file: read thread and Abort
    mutable std::mutex listLock;
    struct Entry {
        CUR_CMD_DESCR descr;
        uint64_t serial;  // tells two descriptors of the same id apart
    };
    std::list<Entry> commands;  // newest at the front, oldest at the back
    uint64_t nextSerial_ = 0;
    size_t rxCount = 0;
    int rxState = 0;
    std::atomic<bool> resetReceive_{false};  // set by Dial, honoured by the reader
    bool resyncing_ = false;       // since a broken frame of a download, until silence or a match
    bool frameBroken_ = false;     // a frame of a download was lost; ask again at silence
    bool atLineStart_ = true;      // the next text byte begins a line
    bool modemLineClean_ = false;  // the line being collected began on its own line
    std::atomic<bool> portLost_{false};
    std::string dialString;
    std::string connectString;
    std::vector<uint8_t> modemLine_;  // text outside frames, up to its line end

    std::vector<uint8_t> frameBuffer_ = std::vector<uint8_t>(kFrameBufferSize);
    std::vector<uint8_t> blockBuffer_;  // the record being sent
    uint32_t blockNumber_ = 0;
    long blockStart_ = 0;  // offset in "sentfile.tmp" of the block being sent
    uint32_t nextBlock_ = 0;
    uint64_t receivedBytes_ = 0;  // of the download in progress
    uint64_t receiveLimit_ = 0;   // the most it may bring
    std::function<uint32_t()> tick_;
    std::filesystem::path workFolder_ = ".";
    std::filesystem::path outbox_ = "outbox";
};

}  // namespace station
