#include "xlnk_protocol.h"

#include <chrono>
#include <cstring>
#include <new>

#include "trace.h"

namespace station {

namespace {

uint32_t SteadyTick() {
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

constexpr size_t kModemLineLimit = 80;  // the modem parser looks at no more than this

}  // namespace

XLNKProtocol::XLNKProtocol() : tick_(SteadyTick) {}

XLNKProtocol::~XLNKProtocol() {
    // The threads call our hooks; they must be gone before our members are.
    EndThreads();
    OnPortClosed();
}

size_t XLNKProtocol::OutstandingCount() const {
    std::lock_guard lock(listLock);
    return commands.size();
}

std::vector<CUR_CMD_DESCR> XLNKProtocol::Outstanding() const {
    std::lock_guard lock(listLock);
    std::vector<CUR_CMD_DESCR> out;
    for (const auto& e : commands)
        out.push_back(e.descr);
    return out;
}

int XLNKProtocol::SendCommand(uint16_t cmd, size_t length, const uint8_t* data, uint32_t timeout) {
    if (OutstandingCount() > kMaxOutstanding) return -5;
    if (length > kMaxDataLength) return -4;
    std::vector<uint8_t> bytes;
    try {
        bytes = BuildCommandBytes(cmd, data, length);
    } catch (const std::bad_alloc&) {
        return -3;
    }
    const uint32_t tick = Tick();
    // The descriptor is listed before the write is queued, so that the write thread
    // always finds it when the bytes are out. The limit is tested again where the
    // descriptor is added, so that concurrent senders cannot pass it together.
    const bool tracked = cmd != CMD_RAW_TEXT;
    uint64_t serial = 0;
    {
        std::lock_guard lock(listLock);
        if (commands.size() > kMaxOutstanding) return -5;
        if (tracked) {
            serial = nextSerial_++;
            commands.push_front({{cmd, tick, timeout, 0}, serial});
        }
    }
    if (!WriteCommString(std::move(bytes))) {
        Trace("FAILED_TO_SEND\r\n");
        if (tracked) {
            std::lock_guard lock(listLock);
            commands.remove_if([serial](const Entry& e) { return e.serial == serial; });
        }
        return -2;
    }
    TraceF("Sent command 0x%X Tick %d\r\n", cmd, static_cast<int>(tick));
    return 0;
}

void XLNKProtocol::ExpectCommand(uint16_t cmd, uint32_t timeout) {
    std::lock_guard lock(listLock);
    commands.push_front({{cmd, Tick(), timeout, 0}, nextSerial_++});
}

bool XLNKProtocol::RemoveCommand(uint16_t cmd, bool remove, uint16_t mask) {
    std::lock_guard lock(listLock);
    for (auto it = commands.rbegin(); it != commands.rend(); ++it) {
        if ((it->descr.cmd & mask) == cmd) {
            if (remove) commands.erase(std::next(it).base());
            return true;
        }
    }
    return false;
}

void XLNKProtocol::SetWindow(ProtocolEventSink* sink) {
    std::lock_guard lock(deliveryLock_);
    window = sink;
}

bool XLNKProtocol::TransferOpen() const {
    std::lock_guard lock(transferLock_);
    return transferFile != nullptr;
}

int XLNKProtocol::PostEvent(int kind, const uint8_t* frame, size_t value) {
    std::lock_guard delivery(deliveryLock_);
    ProtocolEventSink* sink = window;
    if (sink == nullptr) return -1;
    if (kind < 0 || kind > 2) return -2;
    try {
        auto event = std::make_unique<ProtocolEvent>();
        const uint8_t* data = nullptr;
        size_t length = 0;
        if (kind == 0) {
            const FrameHeader h = ParseHeader(frame);
            event->command = h.command;
            data = frame + kHeaderSize;
            length = h.length;
        } else if (kind == 1) {
            event->command = frame ? ParseHeader(frame).command : kNoFrameCommand;
            event->status = static_cast<uint16_t>(value);
        } else {
            data = frame;
            length = value;
        }
        event->length = static_cast<uint16_t>(length);
        event->data.assign(data, data + length);
        event->data.push_back(0);
        sink->OnProtocolEvent(std::move(event));
    } catch (const std::bad_alloc&) {
        return -3;
    }
    return 0;
}

void XLNKProtocol::OnDataWritten(size_t /*count*/, const std::vector<uint8_t>& buffer) {
    if (buffer.size() < kHeaderSize || buffer[0] != kFrameMarker) return;
    const uint16_t id = GetU16(&buffer[3]);
    // Answers and commands that expect nothing leave the list once they are on the line.
    if ((id & kRequestBit) == 0 && !RemoveCommand(id, true, 0xFFFF))
        Trace(" (OnSent) No such command in commands list!\r\n");
}

void XLNKProtocol::ResetReceiveState() {
    rxState = 0;
    rxCount = 0;
    modemLine_.clear();
    resyncing_ = frameBroken_ = false;
    atLineStart_ = true;
}

// The frame being received is lost; inside a download the block is asked again once the
// line falls silent.
void XLNKProtocol::BreakFrame() {
    rxState = 0;
    std::lock_guard lock(transferLock_);
    if (transferMode_ == Transfer::Receiving) resyncing_ = frameBroken_ = true;
}

void XLNKProtocol::ProcessInput() {
    if (resetReceive_.exchange(false)) ResetReceiveState();
    const uint8_t* p = rxBuffer;
    const uint8_t* const end = rxEnd;
    while (p < end) {
        switch (rxState) {
            case 0: {
                const auto* marker =
                    static_cast<const uint8_t*>(std::memchr(p, kFrameMarker, end - p));
                const uint8_t* runEnd = marker ? marker : end;
                if (runEnd > p) HandleRawText(p, runEnd - p);
                p = runEnd;
                if (marker) {
                    FlushModemLine();  // text before a frame is complete
                    frameBuffer_[0] = kFrameMarker;
                    rxCount = 1;
                    rxState = 1;
                    ++p;
                }
                break;
            }
            case 1: {
                const size_t take = std::min<size_t>(kHeaderSize - rxCount, end - p);
                std::memcpy(&frameBuffer_[rxCount], p, take);
                rxCount += take;
                p += take;
                if (rxCount < kHeaderSize) break;
                const FrameHeader h = ParseHeader(frameBuffer_.data());
                TraceF(" Got 0x%X command, data length %d Check sum %d Tick %d\r\n", h.command,
                       h.length, HeaderChecksum(frameBuffer_.data(), kHeaderSize),
                       static_cast<int>(Tick()));
                // A length the frame buffer cannot hold is as corrupt as a bad check.
                if (!h.valid || kHeaderSize + h.length > kFrameBufferSize) {
                    BreakFrame();
                    // Inside a download the block's own checks decide; a damaged header
                    // there is only a lost block, asked again at silence.
                    if (resyncing_)
                        Trace("Damaged frame header during file transfer\r\n");
                    else
                        PostEvent(1, frameBuffer_.data(), XLNK_ERR_CHECKSUM);
                } else if (h.length == 0) {
                    rxState = 0;
                    HandleFrame();
                } else {
                    rxState = 3;
                }
                break;
            }
            case 3: {
                const size_t total = kHeaderSize + GetU16(&frameBuffer_[1]);
                const size_t take = std::min<size_t>(total - rxCount, end - p);
                std::memcpy(&frameBuffer_[rxCount], p, take);
                rxCount += take;
                p += take;
                if (rxCount == total) {
                    rxState = 0;
                    HandleFrame();
                }
                break;
            }
            default:
                rxState = 0;
        }
    }
    rxEnd = rxBuffer;
}

void XLNKProtocol::HandleRawText(const uint8_t* bytes, size_t count) {
    PostEvent(2, bytes, count);
    FeedModemLine(bytes, count);
}

// Modem answers are judged a line at a time: a read may end in the middle of one.
void XLNKProtocol::FeedModemLine(const uint8_t* bytes, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        if (bytes[i] == '\r' || bytes[i] == '\n') {
            FlushModemLine();
            atLineStart_ = true;
        } else {
            if (modemLine_.empty()) modemLineClean_ = atLineStart_;
            atLineStart_ = false;
            modemLine_.push_back(bytes[i]);
            if (modemLine_.size() >= kModemLineLimit) FlushModemLine();
        }
    }
}

void XLNKProtocol::FlushModemLine() {
    if (modemLine_.empty()) return;
    // While connected, only a line of its own can be the modem speaking: text that
    // follows other bytes without a line end is the unit's.
    const bool judged = modemState != MODEM_CONNECTED || modemLineClean_;
    const int result = judged ? ParseModemText(modemLine_.data(), modemLine_.size()) : 0;
    modemLine_.clear();
    if (result == 0) return;
    // A line the modem has ended carries no block to ask again.
    if (result != XLNK_MODEM_CONNECTED) frameBroken_ = false;
    PostEvent(1, nullptr, static_cast<size_t>(result));
}

void XLNKProtocol::HandleFrame() {
    const FrameHeader h = ParseHeader(frameBuffer_.data());
    atLineStart_ = false;
    int result = 0;
    if (h.command != CMD_FILE_REQUEST) {
        // A request of the unit must have been expected exactly; an answer matches the
        // request with the same id and bit 15 set.
        const uint16_t mask = (h.command & kRequestBit) ? 0xFFFF : 0x7FFF;
        bool matched = RemoveCommand(h.command, true, mask);
        if (!matched && h.command == CMD_FILE_REPEAT) {
            std::lock_guard lock(transferLock_);
            // During an upload the unit asks again for the block that is outstanding.
            if (transferMode_ == Transfer::Sending)
                matched = RemoveCommand(CMD_FILE_BLOCK, true, 0xFFFF);
        }
        if (!matched && resyncing_) {
            // Bytes of a lost block that happened to look like a frame.
            Trace("Frame out of a damaged block dropped\r\n");
            return;
        }
        if (!matched) result = XLNK_ERR_UNEXPECTED_COMMAND;
    }
    if (result == 0) resyncing_ = frameBroken_ = false;
    {
        std::lock_guard lock(transferLock_);
        if (result == 0) result = HandleTransferFrame(frameBuffer_.data());
        if (result != 0) result = HandleCommandError(h.command, result);
    }
    if (result == 0)
        PostEvent(0, frameBuffer_.data(), 0);
    else
        PostEvent(1, frameBuffer_.data(), static_cast<size_t>(result));
}

// A second without a byte: a modem answer without its line end is complete, a frame that
// stopped half way is lost, and a download whose block was lost asks for it again at once
// instead of waiting for the block's time-out.
void XLNKProtocol::OnSilence() {
    resyncing_ = false;
    if (rxState != 0) {
        Trace("Incomplete frame dropped\r\n");
        // A frame cut short by a lost carrier holds the modem's result behind the data
        // that came: a line of its own there is the modem's.
        if (rxState == 3 && modemState == MODEM_CONNECTED) {
            atLineStart_ = false;
            FeedModemLine(&frameBuffer_[kHeaderSize], rxCount - kHeaderSize);
        }
        BreakFrame();
        resyncing_ = false;
    }
    FlushModemLine();
    atLineStart_ = true;
    if (!frameBroken_) return;
    frameBroken_ = false;
    int result = 0;
    {
        std::lock_guard lock(transferLock_);
        if (transferMode_ != Transfer::Receiving || !RemoveCommand(CMD_FILE_BLOCK, true, 0xFFFF))
            return;
        result = HandleCommandError(CMD_FILE_BLOCK, XLNK_ERR_CHECKSUM);
    }
    if (result != 0) {
        uint8_t header[kHeaderSize] = {kFrameMarker, 0, 0, 0, 0, 0};
        PutU16(&header[3], CMD_FILE_BLOCK);
        PostEvent(1, header, static_cast<size_t>(result));
    }
}

int XLNKProtocol::OnTimeout(int reason, const std::vector<uint8_t>* /*buffer*/) {
    if (reason == kTimeoutWriteStuck) Trace("WRITE_TIMEOUT SIGNALED\r\n");
    if (reason == kTimeoutSilence) OnSilence();
    const uint32_t now = Tick();
    CUR_CMD_DESCR expired;
    bool found = false;
    size_t left = 0;
    {
        std::lock_guard lock(listLock);
        for (auto it = commands.rbegin(); it != commands.rend(); ++it) {
            // Unsigned difference: right across the wrap of the 32-bit tick.
            if (static_cast<uint32_t>(now - it->descr.sendTick) > it->descr.timeout) {
                expired = it->descr;
                commands.erase(std::next(it).base());
                found = true;
                break;
            }
        }
        left = commands.size();
    }
    if (!found) return 1;
    TraceF("Timeout cmdID %X, in waiting list %d, Cur Tick %d Sent Tick %d\r\n", expired.cmd,
           static_cast<int>(left), static_cast<int>(now), static_cast<int>(expired.sendTick));
    if (expired.cmd == CMD_MODEM) {
        modemState = MODEM_IDLE;
        PostEvent(1, nullptr, XLNK_ERR_MODEM);
        return 1;
    }
    int result;
    {
        std::lock_guard lock(transferLock_);
        result = HandleCommandError(expired.cmd, XLNK_ERR_TIMEOUT);
    }
    // A time-out inside a file transfer is reported as the transfer's interruption, with
    // the command that did not come; any other as XLNK_ERR_TIMEOUT.
    if (result != 0) {
        uint8_t header[kHeaderSize] = {kFrameMarker, 0, 0, 0, 0, 0};
        PutU16(&header[3], expired.cmd);
        PostEvent(1, header, static_cast<size_t>(result));
    }
    return 1;
}

void XLNKProtocol::OnPortClosed() {
    {
        // Under the transfer lock, so that a frame being handled cannot list a new
        // expected block after the list was emptied.
        std::lock_guard transfer(transferLock_);
        {
            std::lock_guard lock(listLock);
            commands.clear();
        }
        CloseTransferFile();
    }
    if (!IsRunning()) {
        // The line is down: nothing of this connection may reach the next call.
        ResetReceiveState();
        resetReceive_ = false;
        modemState = MODEM_IDLE;
        portLost_ = false;
    }
}

void XLNKProtocol::OnCommNotify(int code, const std::string& text) {
    if (code != RTHREAD_FATAL_TERMINATION && code != WTHREAD_FATAL_TERMINATION) return;
    Trace(text + "\r\n");
    {
        std::lock_guard transfer(transferLock_);
        {
            std::lock_guard lock(listLock);
            commands.clear();
        }
        CloseTransferFile();
    }
    modemState = MODEM_IDLE;
    // Both threads may fail on the same lost device; the window hears it once.
    if (!portLost_.exchange(true)) PostEvent(1, nullptr, XLNK_ERR_PORT_LOST);
}

std::string EventCodeName(uint16_t status) {
    if (status == XLNK_ERR_PORT_LOST) return "XLNK_ERR_PORT_LOST";
    if ((status & 0xFF00) == XLNK_ERR_MODEM) return "XLNK_ERR_MODEM";
    switch (status) {
        case XLNK_ERR_TIMEOUT:
            return "XLNK_ERR_TIMEOUT";
        case XLNK_ERR_FILE_TRANSFER_INTERRUPTED:
            return "XLNK_ERR_FILE_TRANSFER_INTERRUPTED";
        case XLNK_ERR_CHECKSUM:
            return "XLNK_ERR_CHECKSUM";
        case XLNK_ERR_UNEXPECTED_COMMAND:
            return "XLNK_ERR_UNEXPECTED_COMMAND";
        case XLNK_MODEM_CONNECTED:
            return "XLNK_MODEM_CONNECTED";
        default:
            return "";
    }
}

}  // namespace station
