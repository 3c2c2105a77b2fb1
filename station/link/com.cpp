#include "com.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>

#include "serial.h"
#include "trace.h"

namespace station {

namespace {

constexpr int kIdleTimeoutMs = 1000;       // a read-side second without events
constexpr int kWriteTimeoutMs = 10000;     // a write stuck this long is offered to OnTimeout
constexpr int kQueueCreatedWaitMs = 5000;  // a sender waits this long for the write thread
using Clock = std::chrono::steady_clock;

int PollRetry(pollfd* fds, nfds_t n, int timeoutMs) {
    int r;
    do {
        r = poll(fds, n, timeoutMs);
    } while (r < 0 && errno == EINTR);
    return r;
}

}  // namespace

int Win32ErrorFromErrno(int err) {
    switch (err) {
        case EBADF:
        case EIO:
        case ENXIO:
        case ENODEV:
        case ENOTTY:
            return WIN_ERROR_INVALID_HANDLE;
        case ETIMEDOUT:
            return WIN_WAIT_TIMEOUT;
        case ECANCELED:
            return WIN_ERROR_OPERATION_ABORTED;
        case ENOMEM:
            return NO_BUFFER_MEMORY;
        default:
            return 31;  // ERROR_GEN_FAILURE: a device error with no closer Win32 code
    }
}

std::string CommErrorText(int code, const std::string& context) {
    switch (code) {
        case NOT_COMM_HANDLE:
            return "NOT_COMM_HANDLE";
        case COMM_ALREADY_OPEN:
            return "COMM_ALREADY_OPEN";
        case UNABLE_CREATE_EVENT:
            return "Unable to CreateEvent: " + context;
        case UNABLE_CREATE_THREAD:
            return "UNABLE_CREATE_THREAD";
        case FAIL_POST_MESSAGE:
            return "FAIL_POST_MESSAGE";
        case THREAD_NOT_CREATED:
            return "THREAD_NOT_CREATED";
        case CLOSE_EVENT_SIGNALED:
            return "CLOSE_EVENT_SIGNALED";
        case UNEXPECTED_WAIT_ERROR:
            return "Unexpected error occured in " + context;
        case STOP_WAIT_SIGNALED:
            return "STOP_WAIT_SIGNALED";
        case NO_BUFFER_MEMORY:
            return "Not enough memory for buffer";
        case WIN_ERROR_INVALID_HANDLE:
            return "ERROR_INVALID_HANDLE in " + context +
                   "\nLikely that the Service Provider has closed the port.";
        case WIN_WAIT_TIMEOUT:
            return "WAIT_TIMEOUT";
        case WIN_ERROR_OPERATION_ABORTED:
            return "ERROR_OPERATION_ABORTED";
        default: {
            char buf[64];
            std::snprintf(buf, sizeof buf, "Unknown error value %d ", code);
            return buf;
        }
    }
}

std::string LineErrorDescription(bool brk, bool frame, bool overrun, bool rxOver, bool parity) {
    std::string out;
    if (brk) out += "CE_BREAK - The hardware detected a break condition, ";
    if (frame) out += "CE_FRAME - The hardware detected a framing error, ";
    if (overrun)
        out += "CE_OVERRUN - A character-buffer overrun has occurred. The next character is lost, ";
    if (rxOver)
        out +=
            "CE_RXOVER - An input buffer overflow has occurred. There is either no room in the "
            "input buffer, or a character was received after the end-of-file (EOF) character, ";
    if (parity) out += "CE_RXPARITY - The hardware detected a parity error, ";
    if (!out.empty()) out += "\r\n";
    return out;
}

std::string CommEventDescription(uint32_t mask) {
    std::string out;
    if (mask & EV_BREAK) out += "A break was detected on input. ";
    if (mask & EV_CTS) out += "The CTS (clear-to-send) signal changed state. ";
    if (mask & EV_DSR) out += "The DSR (data-set-ready) signal changed state. ";
    if (mask & EV_RING) out += " A ring indicator was detected. ";
    if (mask & EV_RLSD) out += "The RLSD (receive-line-signal-detect) signal changed state. ";
    return out;
}

CCom::CCom() {
    rxStorage_.reset(new (std::nothrow) uint8_t[rxBufferSize]);
    rxBuffer = rxStorage_.get();
    if (rxBuffer == nullptr) ReportCommError(NO_BUFFER_MEMORY, "CCom constructor");
    rxEnd = rxBuffer;
}

CCom::~CCom() {
    EndThreads();
    // A port holder may outlive us: it must not call into a destroyed engine.
    for (CSerial* holder : holders_)
        holder->com = nullptr;
}

std::string CCom::LastErrorText() const {
    std::lock_guard lock(errorMutex_);
    return lastErrorText_;
}

std::string CCom::ReportCommError(int code, const std::string& context) {
    std::string text = CommErrorText(code, context);
    NoteError(code, text);
    if (code == WIN_ERROR_OPERATION_ABORTED) CheckCommErrors(nullptr);
    return text;
}

void CCom::NoteError(int code, const std::string& text) {
    Trace(text + "\n");
    {
        std::lock_guard lock(errorMutex_);
        lastErrorText_ = text;
    }
    lastErrorCode_ = code;
}

bool CCom::StartCom(int handle) {
    if (handle < 0 || rxBuffer == nullptr) return false;
    return StartCom(std::make_shared<DeviceTransport>(handle));
}

bool CCom::StartCom(std::shared_ptr<PortTransport> transport) {
    if (transport == nullptr || transport->Fd() < 0 || rxBuffer == nullptr) return false;
    const int handle = transport->Fd();
    // A serial device, or a converter's connection; never a disk file.
    struct stat st {};
    if (fstat(handle, &st) != 0 || !(S_ISCHR(st.st_mode) || S_ISSOCK(st.st_mode))) {
        ReportCommError(NOT_COMM_HANDLE, "StartCom()");
        return false;
    }
    if (port >= 0) {
        ReportCommError(COMM_ALREADY_OPEN, "StartCom()");
        return false;
    }
    if (!ReapThreads()) {
        NoteError(UNABLE_CREATE_THREAD, "a thread of the last connection has not ended yet");
        return false;
    }
    queueCreatedEvent = std::make_unique<ManualEvent>();
    if (!queueCreatedEvent->ok()) {
        ReportCommError(UNABLE_CREATE_EVENT, "QueueCreatedEvent");
        return false;
    }
    transport_ = transport;
    transport_->onLineEvent = [this](int code, const std::string& text) {
        OnCommNotify(code, text);
    };
    port = handle;
    lineLost_ = false;
    // The threads poll the device, so it never blocks them.
    const int flags = fcntl(handle, F_GETFL);
    if (flags >= 0) fcntl(handle, F_SETFL, flags | O_NONBLOCK);
    {
        std::lock_guard lock(countersMutex_);
        hasErrorCounters_ = true;
        counters_ = {};
    }
    CheckCommErrors(nullptr);

    closeEvent = std::make_unique<ManualEvent>();
    if (!closeEvent->ok()) {
        ReportCommError(UNABLE_CREATE_EVENT, "CloseEvent");
        return false;
    }
    stopEvent = std::make_unique<ManualEvent>();
    if (!stopEvent->ok()) {
        ReportCommError(UNABLE_CREATE_EVENT, "StopEvent");
        return false;
    }
    queueWakeEvent_ = std::make_unique<ManualEvent>();
    if (!queueWakeEvent_->ok()) {
        ReportCommError(UNABLE_CREATE_EVENT, "QueueCreatedEvent");
        return false;
    }
    try {
        readThreadDone_ = false;
        readThread = std::thread(&CCom::ReadThreadProc, this);
        writeThreadDone_ = false;
        writeThread = std::thread(&CCom::WriteThreadProc, this);
    } catch (const std::system_error&) {
        if (!readThread.joinable()) readThreadDone_ = true;
        writeThreadDone_ = true;
        ReportCommError(UNABLE_CREATE_THREAD, "StartCom()");
        return false;
    }
    return true;
}

bool CCom::StopThread(std::thread& thread, std::atomic<bool>& done, const char* closing,
                      const char* notExiting) {
    if (!thread.joinable()) return true;
    Trace(closing);
    if (closeEvent) closeEvent->Set();
    bool ended;
    {
        std::unique_lock lock(threadEndMutex_);
        ended = threadEnded_.wait_for(lock, std::chrono::milliseconds(threadEndWaitMs_.load()),
                                      [&] { return done.load(); });
    }
    // A thread cannot be cancelled safely (it may hold a lock or be inside a hook): one that
    // has not ended is left to end by itself, and joined once it has.
    if (!ended) {
        NoteError(WIN_WAIT_TIMEOUT, notExiting);
        return false;
    }
    thread.join();
    return true;
}

bool CCom::CloseCom() {
    bool ok = true;
    if (readThread.joinable()) Purge(true, false);
    ok &= StopThread(readThread, readThreadDone_, "Closing Read Thread \n",
                     "Read thread not exiting: the port was closed without it");
    if (writeThread.joinable()) Purge(false, true);
    ok &= StopThread(writeThread, writeThreadDone_, "Closing Write Thread\n",
                     "Write thread not exiting: the port was closed without it");
    // The port goes in any case: a thread left behind finds no port when it goes on.
    port = -1;
    if (!ok) return false;
    ReleaseClosed();
    return true;
}

void CCom::EndThreads() {
    CloseCom();
    for (auto* t : {&readThread, &writeThread})
        if (t->joinable()) t->join();
    ReapThreads();
}

bool CCom::ReapThreads() {
    if (!readThread.joinable() && !writeThread.joinable()) return true;
    if ((readThread.joinable() && !readThreadDone_) ||
        (writeThread.joinable() && !writeThreadDone_))
        return false;
    if (readThread.joinable()) readThread.join();
    if (writeThread.joinable()) writeThread.join();
    ReleaseClosed();
    return true;
}

void CCom::ReleaseClosed() {
    queueCreatedEvent.reset();
    closeEvent.reset();
    stopEvent.reset();
    queueWakeEvent_.reset();
    {
        std::lock_guard lock(queueMutex_);
        writeQueue_.clear();
    }
    rxEnd = rxBuffer;
    if (transport_) transport_->onLineEvent = nullptr;
    transport_.reset();
    OnPortClosed();
}

bool CCom::WriteCommString(std::vector<uint8_t> buffer) {
    return QueueWrite(std::move(buffer));
}

bool CCom::QueueWrite(std::vector<uint8_t> buffer) {
    if (queueCreatedEvent) queueCreatedEvent->Wait(kQueueCreatedWaitMs);
    if (!IsRunning() || !queueWakeEvent_) {  // a stopped engine takes nothing more
        ReportCommError(THREAD_NOT_CREATED, "WriteCommString()");
        return false;
    }
    try {
        std::lock_guard lock(queueMutex_);
        writeQueue_.push_back(std::move(buffer));
    } catch (const std::bad_alloc&) {
        ReportCommError(FAIL_POST_MESSAGE, "WriteCommString()");
        return false;
    }
    queueWakeEvent_->Set();
    return true;
}

void CCom::WriteThreadProc() {
    OnWriteThreadStart();
    bool fatal = false;
    for (;;) {
        std::vector<uint8_t> message;
        bool have = false;
        {
            std::lock_guard lock(queueMutex_);
            if (!writeQueue_.empty()) {
                message = std::move(writeQueue_.front());
                writeQueue_.pop_front();
                have = true;
            } else {
                queueWakeEvent_->Reset();
            }
        }
        queueCreatedEvent->Set();
        if (have) {
            if (closeEvent->IsSet()) break;
            if (!HandleWriteData(message)) {
                fatal = true;
                break;
            }
            continue;
        }
        pollfd fds[2] = {{closeEvent->fd(), POLLIN, 0}, {queueWakeEvent_->fd(), POLLIN, 0}};
        if (PollRetry(fds, 2, -1) < 0) {
            ReportCommError(UNEXPECTED_WAIT_ERROR, "MsgWaitForMultipleObjects()");
            fatal = true;
            break;
        }
        if (fds[0].revents & POLLIN) break;
    }
    if (fatal) {
        // A line that cannot be written is gone: the read side ends with it.
        closeEvent->Set();
        lineLost_ = true;  // stopped before the window hears of it
        OnCommNotify(WTHREAD_FATAL_TERMINATION, "WTHREAD_FATAL_TERMINATION");
    }
    Purge(false, true);
    {
        std::lock_guard lock(threadEndMutex_);
        writeThreadDone_ = true;
    }
    threadEnded_.notify_all();
}

bool CCom::HandleWriteData(const std::vector<uint8_t>& buffer) {
    size_t written = 0;
    // A transport may take bytes before they are all on the line (a converter's connection
    // escapes them); the write is done when nothing of it is pending.
    while (written < buffer.size() || transport_->OutputPending()) {
        const ssize_t n = written < buffer.size()
                              ? transport_->Write(buffer.data() + written, buffer.size() - written)
                              : transport_->FlushOutput();
        if (n > 0) {
            written += static_cast<size_t>(n);
            continue;
        }
        if (n == 0 && written == buffer.size()) continue;
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            const int err = errno;
            if (const std::string lost = transport_->LostReason(n, err); !lost.empty())
                NoteError(Win32ErrorFromErrno(err), "HandleWriteData(): " + lost);
            else
                ReportCommError(Win32ErrorFromErrno(err), "HandleWriteData()");
            Purge(false, true);
            return false;
        }
        pollfd fds[3] = {
            {closeEvent->fd(), POLLIN, 0}, {port, POLLOUT, 0}, {stopEvent->fd(), POLLIN, 0}};
        const int r = PollRetry(fds, 3, kWriteTimeoutMs);
        if (r < 0) {
            ReportCommError(Win32ErrorFromErrno(errno), "HandleWriteData()");
            Purge(false, true);
            return false;
        }
        if (fds[0].revents & POLLIN) {
            ReportCommError(CLOSE_EVENT_SIGNALED, "HandleWriteData()");
            return true;
        }
        if (fds[2].revents & POLLIN) {
            ReportCommError(STOP_WAIT_SIGNALED, "HandleWriteData()");
            return true;
        }
        if (r == 0 && OnTimeout(1, &buffer) != 0) return true;
    }
    OnDataWritten(written, buffer);
    return true;
}

void CCom::ReadThreadProc() {
    bool fatal = false;
    // Silence is reported a second after the last byte (and every second it lasts); while
    // bytes keep coming the outstanding commands are still checked once a second, so that
    // a trickle of noise cannot hold a time-out back.
    const auto second = std::chrono::milliseconds(kIdleTimeoutMs);
    auto lastByte = Clock::now();
    auto lastSilence = lastByte;
    auto lastCheck = lastByte;
    for (;;) {
        pollfd fds[3] = {
            {closeEvent->fd(), POLLIN, 0}, {port, POLLIN, 0}, {stopEvent->fd(), POLLIN, 0}};
        // A set stop event has no action of its own; it must not spin the loop.
        const int n = stopEvent->IsSet() ? 2 : 3;
        const auto silenceDue = std::max(lastByte, lastSilence) + second;
        const auto due =
            lastByte > lastCheck ? std::min(silenceDue, lastCheck + second) : silenceDue;
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(due - Clock::now());
        const int r = PollRetry(fds, n, std::max(0, static_cast<int>(wait.count()) + 1));
        if (r < 0) {
            ReportCommError(UNEXPECTED_WAIT_ERROR, "WaitForMultipleObjects()");
            fatal = true;
            break;
        }
        if (fds[0].revents & POLLIN) break;
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            bool gotBytes = false;
            if (!HandleReadEvent(&gotBytes)) {
                Trace("HandleReadEvent()\n");
                fatal = true;
                break;
            }
            if (gotBytes) lastByte = Clock::now();
        }
        const auto now = Clock::now();
        if (now >= std::max(lastByte, lastSilence) + second) {
            OnTimeout(kTimeoutSilence, nullptr);
            lastSilence = lastCheck = now;
        } else if (lastByte > lastCheck && now >= lastCheck + second) {
            OnTimeout(kTimeoutWhileReceiving, nullptr);
            lastCheck = now;
        }
    }
    if (fatal) {
        // A line that cannot be read is gone: the write side ends with it.
        closeEvent->Set();
        lineLost_ = true;  // stopped before the window hears of it
        OnCommNotify(RTHREAD_FATAL_TERMINATION, "RTHREAD_FATAL_TERMINATION");
    }
    Trace("Read thread shutting down\n");
    Purge(true, false);
    {
        std::lock_guard lock(threadEndMutex_);
        readThreadDone_ = true;
    }
    threadEnded_.notify_all();
}

bool CCom::HandleReadEvent(bool* gotBytes) {
    const size_t room = rxBufferSize - static_cast<size_t>(rxEnd - rxBuffer);
    const ssize_t n = transport_->Read(rxEnd, room);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return true;
    if (n <= 0) {
        // End of file: the device or the far side of the line is gone. A converter's
        // connection says how (closed, reset, no answer to keep-alive).
        if (const std::string lost = transport_->LostReason(n, errno); !lost.empty()) {
            NoteError(n == 0 ? WIN_ERROR_INVALID_HANDLE : Win32ErrorFromErrno(errno),
                      "HandleReadEvent(): " + lost);
            return false;
        }
        ReportCommError(n == 0 ? WIN_ERROR_INVALID_HANDLE : Win32ErrorFromErrno(errno),
                        "HandleReadEvent()");
        return false;
    }
    *gotBytes = true;
    if (hasErrorCounters_) {
        std::string errors;
        CheckCommErrors(&errors);
    }
    return OnBytesRead(static_cast<size_t>(n));
}

bool CCom::Purge(bool input, bool output) {
    // Purges of a converter's connection at the end of a call would only wait on a
    // connection that is about to close; the opening purge goes with its line set-up.
    if (!transport_ || port < 0 || transport_->IsNetwork()) return false;
    transport_->Purge(input, output);
    return true;
}

bool CCom::OnBytesRead(size_t count) {
    if (count == 0) return true;
    TraceF("Got %d bytes from ComPort \n", static_cast<int>(count));
    rxEnd += count;
    while (rxEnd != rxBuffer)
        ProcessInput();
    return true;
}

bool CCom::CheckCommErrors(std::string* text) {
    const int fd = port;
    if (fd < 0) return false;
    std::string out;
    {
        // The read thread and any reporting thread compare against the same counters.
        std::lock_guard lock(countersMutex_);
        serial_icounter_struct ic{};
        if (ioctl(fd, TIOCGICOUNT, &ic) != 0) {
            // A pseudo-terminal keeps no error counters; that is no failure.
            if (errno == ENOTTY || errno == EINVAL) {
                hasErrorCounters_ = false;
                return true;
            }
            return false;
        }
        out = LineErrorDescription(
            ic.brk != counters_.brk, ic.frame != counters_.frame, ic.overrun != counters_.overrun,
            ic.buf_overrun != counters_.bufOverrun, ic.parity != counters_.parity);
        counters_ = {ic.brk, ic.frame, ic.overrun, ic.parity, ic.buf_overrun};
    }
    if (!out.empty()) {
        if (text) *text = out;
        OnCommNotify(COMM_LINE_ERROR_NOTIFY, out);
    }
    return true;
}

}  // namespace station
