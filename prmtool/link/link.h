#pragma once

#include <QObject>
#include <QStringList>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>

#include "link_state.h"
#include "reply_machine.h"
#include "serial_port.h"

namespace prm {

class ThreadDataIn;

// A screen's log: a list that keeps the newest lines under the link's log budget.
class ScreenLog : public QObject {
    Q_OBJECT
  public:
    const QStringList& lines() const { return lines_; }
    void clear();
    // The memo's initial content, outside the budget.
    void setLines(const QStringList& lines);
    // Adds a line; when the budget is spent the oldest line goes.
    void add(LinkState& s, const QString& line);

  signals:
    void lineAdded(const QString& line);
    void changed();

  private:
    QStringList lines_;
};

// The device link: the shared LinkState and its lock, the port, the data-in worker and the
// reply handlers of the screens. Lives on the GUI thread.
class Link : public QObject {
    Q_OBJECT
  public:
    using Lock = std::unique_lock<std::recursive_mutex>;
    using Handler = std::function<void()>;

    static constexpr int kTickMs = 55;  // the tool's short waits count 55 ms ticks

    explicit Link(PortMap map = PortMap(), QObject* parent = nullptr);
    ~Link() override;

    // The shared record. Outside a reply handler take lock() before touching it while the
    // worker runs; reply handlers are called with the lock already held.
    LinkState& state() { return state_; }
    Lock lock() { return Lock(mutex_); }

    PortService& port() { return port_; }

    // Installs (or with nullptr removes) a screen's reply handler. Units for a screen
    // without a handler are dropped: a screen that is not open never sees them.
    void setReplyHandler(ReplyOwner screen, Handler handler);
    // Called by a screen's echo timer. When the worker has already posted a call for this
    // screen, that call handles the unit and the timer's call does nothing.
    void runReplyHandlerFromTimer(ReplyOwner screen);

    // The data-in worker: created waiting on first use and kept for the life of the link.
    void ensureWorker();
    // Empties the ring (activation of the main window).
    void resetRing();
    // The data-available event: takes from the port as many bytes as the ring has room
    // for; the rest waits in the port's buffer until the worker has made room again, so a
    // burst faster than the screens is never dropped.
    Q_INVOKABLE void pullFromPort();
    // Stores bytes in the ring and wakes the worker; bytes beyond its room are dropped and
    // reported once per overrun.
    void deliver(const QByteArray& bytes);

    // Starts a command: state, command bytes, echo awaited, expectedCount cleared (a count
    // left over from an interrupted reply must not shift the new command into data).
    // The caller starts its echo timer, then calls writeCommand().
    void beginCommand(int32_t commandCode, const std::string& bytes);
    // Writes commandBytes with the write-string operation. False when the port is not open
    // (nothing goes out): the caller reports the missing echo at once.
    bool writeCommand();
    // Ends a command: state, replyCode and expectedCount back to 0 so that a stray echo is
    // never routed to a screen.
    void endCommand();

    // The test console's and records screen's start of a command, after which the screen
    // restarts its echo (200 ms) and duration timers: the started button remembered, the
    // start and end texts stored, state and command bytes set, firstEchoPending, an empty
    // log line and the start text logged, the echo awaited, echoCount 0, dataPending, and
    // the command written.
    struct CommandStart {
        int32_t code = 0;
        std::string bytes;
        int16_t buttonIndex = 0;
        std::string buttonCaption;
        std::string startText;
        std::string endText;
    };
    bool sendAndWait(const CommandStart& command);

    // The active screen's log (nullptr when the open screen keeps none).
    void setActiveLog(ScreenLog* log) { activeLog_ = log; }
    ScreenLog* activeLog() const { return activeLog_; }
    void addLogLine(const QString& line);

    // Waits n ticks of 55 ms while the GUI keeps processing events; returns early when
    // the application quits.
    static void tickDelay(int ticks);

  signals:
    // Messages about the link itself (port errors, ring overrun) for the open window.
    void notice(const QString& message);

  private:
    friend class ThreadDataIn;
    // From the worker: runs the handler on the GUI thread and waits for it. Returns false
    // when the link is shutting down.
    // From the worker, which holds the lock: has the handler run on the GUI thread and
    // waits for it (the lock is released meanwhile). Returns early when the worker stops.
    void dispatchFromWorker(ReplyOwner screen, Lock& held, const ThreadDataIn& worker);
    Q_INVOKABLE void runPendingDispatch();
    void wakeDispatchWaiter();
    void runHandler(ReplyOwner screen);

    std::recursive_mutex mutex_;
    LinkState state_;
    PortService port_;
    std::unique_ptr<ThreadDataIn> worker_;
    Handler handlers_[4];
    // The port holds bytes the ring had no room for; the worker asks for them again.
    bool portBacklog_ = false;
    ReplyOwner pendingDispatch_ = ReplyOwner::None;
    bool handlerDone_ = false;
    std::condition_variable_any handlerFinished_;
    ScreenLog* activeLog_ = nullptr;
};

}  // namespace prm
