// CCom: the port engine. It takes an open serial device, runs a read thread and a write
// thread over it and hands received bytes and line events to virtual hooks. It knows
// nothing of the protocol spoken on the line.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "manual_event.h"
#include "port_transport.h"

namespace station {

class CSerial;

// Engine error codes; the Win32 codes below are what errno values are reported as.
constexpr int NOT_COMM_HANDLE = 2001;
constexpr int COMM_ALREADY_OPEN = 2002;
constexpr int UNABLE_CREATE_EVENT = 2003;
constexpr int UNABLE_CREATE_THREAD = 2004;
constexpr int FAIL_POST_MESSAGE = 2005;
constexpr int THREAD_NOT_CREATED = 2006;
constexpr int CLOSE_EVENT_SIGNALED = 2008;
constexpr int UNEXPECTED_WAIT_ERROR = 2009;
constexpr int STOP_WAIT_SIGNALED = 2011;
constexpr int NO_BUFFER_MEMORY = 2012;
constexpr int RTHREAD_FATAL_TERMINATION = 2013;
constexpr int WTHREAD_FATAL_TERMINATION = 2014;
constexpr int WIN_ERROR_INVALID_HANDLE = 6;
constexpr int WIN_WAIT_TIMEOUT = 258;
constexpr int WIN_ERROR_OPERATION_ABORTED = 995;
constexpr int COMM_LINE_ERROR_NOTIFY = 128;  // OnCommNotify code of a line error

// How long CloseCom gives each thread to end after it was told to.
constexpr int kThreadEndWaitMs = 10000;

// OnTimeout reasons.
constexpr int kTimeoutSilence = 0;         // a second without any byte on the read side
constexpr int kTimeoutWriteStuck = 1;      // a write has waited 10 s
constexpr int kTimeoutWhileReceiving = 2;  // a second passed while bytes kept coming

// Line events of the comm event mask, as a converter's modem-state notification reports them.
constexpr uint32_t EV_CTS = 0x0008;
constexpr uint32_t EV_DSR = 0x0010;
constexpr uint32_t EV_RLSD = 0x0020;
constexpr uint32_t EV_BREAK = 0x0040;
constexpr uint32_t EV_RING = 0x0100;

// The CE_ texts of the line errors set, in their fixed order, with a trailing CR LF; "" for
// none.
std::string LineErrorDescription(bool brk, bool frame, bool overrun, bool rxOver, bool parity);
// The texts of the line events in a comm event mask, in their fixed order.
std::string CommEventDescription(uint32_t mask);

// The Win32 error code an errno value is reported as.
int Win32ErrorFromErrno(int err);
// The description ReportCommError composes for a code and the reporting operation.
std::string CommErrorText(int code, const std::string& context);

class CCom {
  public:
    CCom();
    CCom(const CCom&) = delete;
    CCom& operator=(const CCom&) = delete;

    // Slot 0. Stops the threads; the device itself belongs to the caller.
    virtual ~CCom();

    // Starts the engine on an open character device; fails with 2001 for any other
    // handle and with 2002 while the engine already runs on a port.
    bool StartCom(int handle);
    // The same on a transport (a local device or a converter's connection), kept until
    // both threads have ended. The transport's line events reach OnCommNotify.
    bool StartCom(std::shared_ptr<PortTransport> transport);
    // Stops both threads and forgets the port. True when nothing failed. A thread that has
    // not ended within its bound (SetThreadEndWait) is left to end by itself without the
    // port: the close fails, LastErrorText says which thread, and the engine does not start
    // again (StartCom fails) until that thread has ended; what the close could not release
    // (OnPortClosed included) is released then.
    bool CloseCom();
    // The bound CloseCom gives each thread, kThreadEndWaitMs unless set; a tool or a test
    // that cannot wait so long sets a shorter one.
    void SetThreadEndWait(std::chrono::milliseconds wait) { threadEndWaitMs_ = wait.count(); }
    // Queues a buffer for the write thread; the buffer moves to it.
    bool WriteCommString(std::vector<uint8_t> buffer);
    // Composes the error description, traces it and keeps it as the last error.
    std::string ReportCommError(int code, const std::string& context);
    // Reads and clears the line error counters where the device has them.
    bool CheckCommErrors(std::string* text);

    bool IsStarted() const { return port >= 0; }
    // Whether a modem on the line is dialling or in a call, which a close must hang up.
    virtual bool ModemInCall() const { return false; }
    // Started and neither thread has ended on a fatal error.
    bool IsRunning() const {
        return port >= 0 && !lineLost_ && !readThreadDone_ && !writeThreadDone_;
    }
    int LastErrorCode() const { return lastErrorCode_.load(); }
    std::string LastErrorText() const;

  protected:
    // Closes and waits without limit for threads a close left behind, as a destructor must:
    // they still use this object.
    void EndThreads();

    // Slots 1 to 6.
    virtual void OnWriteThreadStart() {}
    virtual void OnPortClosed() {}
    virtual void OnCommNotify(int /*code*/, const std::string& /*text*/) {}
    // Called once a second by the read thread (reason kTimeoutSilence when no byte came in
    // that second, else kTimeoutWhileReceiving; buffer null) and by the write thread when a
    // write has waited 10 s (kTimeoutWriteStuck, the buffer). Non-zero abandons that write.
    virtual int OnTimeout(int /*reason*/, const std::vector<uint8_t>* /*buffer*/) { return 1; }
    virtual void OnDataWritten(size_t /*count*/, const std::vector<uint8_t>& /*buffer*/) {}
    // Must consume the bytes from rxBuffer up to rxEnd and set rxEnd back to rxBuffer.
    virtual void ProcessInput() { rxEnd = rxBuffer; }
    // Queues a buffer for the line. A transport double in tests overrides it.
    virtual bool QueueWrite(std::vector<uint8_t> buffer);

    // Advances rxEnd by count and lets the derived class consume the bytes.
    bool OnBytesRead(size_t count);

    static constexpr size_t rxBufferSize = 1024;
    uint8_t* rxBuffer = nullptr;
    uint8_t* rxEnd = nullptr;
    std::atomic<int> port{-1};

  private:
    friend class CSerial;

    void ReadThreadProc();
    void WriteThreadProc();
    bool HandleWriteData(const std::vector<uint8_t>& buffer);
    bool HandleReadEvent(bool* gotBytes);
    bool StopThread(std::thread& thread, std::atomic<bool>& done, const char* closing,
                    const char* notExiting);
    // Joins threads that have ended since a failed close and then releases what it left;
    // false while one still runs.
    bool ReapThreads();
    void ReleaseClosed();
    void NoteError(int code, const std::string& text);

    bool Purge(bool input, bool output);

    std::shared_ptr<PortTransport> transport_;
    std::vector<CSerial*> holders_;  // port holders that start this engine; told when it goes
    std::unique_ptr<uint8_t[]> rxStorage_;
    std::unique_ptr<ManualEvent> closeEvent;
    std::unique_ptr<ManualEvent> queueCreatedEvent;
    std::unique_ptr<ManualEvent> stopEvent;
    std::unique_ptr<ManualEvent> queueWakeEvent_;  // the write queue's own wake-up
    std::thread readThread;
    std::thread writeThread;
    std::atomic<long long> threadEndWaitMs_{kThreadEndWaitMs};
    std::atomic<bool> readThreadDone_{true};
    std::atomic<bool> writeThreadDone_{true};
    std::atomic<bool> lineLost_{false};  // a thread ended on a fatal error
    std::mutex threadEndMutex_;
    std::condition_variable threadEnded_;
    std::mutex queueMutex_;
    std::deque<std::vector<uint8_t>> writeQueue_;
    std::mutex countersMutex_;
    std::atomic<bool> hasErrorCounters_{true};
    struct Counters {
        int brk = 0, frame = 0, overrun = 0, parity = 0, bufOverrun = 0;
    } counters_;
    std::atomic<int> lastErrorCode_{0};
    mutable std::mutex errorMutex_;
    std::string lastErrorText_;
};

}  // namespace station
