#include "link.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QThread>
#include <QTimer>

#include "thread_data_in.h"

Q_LOGGING_CATEGORY(lcLink, "prmtool.link", QtWarningMsg)

namespace prm {

void ScreenLog::clear() {
    lines_.clear();
    emit changed();
}

void ScreenLog::setLines(const QStringList& lines) {
    lines_ = lines;
    emit changed();
}

void ScreenLog::add(LinkState& s, const QString& line) {
    lines_.append(line);
    if (s.logBudget == 0) {
        lines_.removeFirst();
    } else {
        --s.logBudget;
    }
    emit lineAdded(line);
    emit changed();
}

Link::Link(PortMap map, QObject* parent) : QObject(parent), port_(std::move(map)) {
    connect(&port_, &PortService::dataAvailable, this, &Link::pullFromPort);
    connect(&port_, &PortService::portError, this, &Link::notice);
}

Link::~Link() {
    // Stop the worker before the handlers and the state it reads go away.
    worker_.reset();
}

namespace {
int slot(ReplyOwner screen) {
    return static_cast<int>(screen);
}
}  // namespace

void Link::setReplyHandler(ReplyOwner screen, Handler handler) {
    auto guard = lock();
    handlers_[slot(screen)] = std::move(handler);
}

void Link::runHandler(ReplyOwner screen) {
    auto guard = lock();
    if (handlers_[slot(screen)]) handlers_[slot(screen)]();
}

void Link::runReplyHandlerFromTimer(ReplyOwner screen) {
    auto guard = lock();
    if (pendingDispatch_ == screen) return;
    runHandler(screen);
}

void Link::dispatchFromWorker(ReplyOwner screen, Lock& held, const ThreadDataIn& worker) {
    // The request travels in our own fields under our lock, and its completion comes back
    // through our condition variable: the event queue only carries the wake-up.
    pendingDispatch_ = screen;
    handlerDone_ = false;
    QMetaObject::invokeMethod(this, "runPendingDispatch", Qt::QueuedConnection);
    handlerFinished_.wait(held, [&] { return handlerDone_ || worker.stopping(); });
}

void Link::runPendingDispatch() {
    {
        auto guard = lock();
        const ReplyOwner screen = pendingDispatch_;
        pendingDispatch_ = ReplyOwner::None;
        if (screen != ReplyOwner::None) runHandler(screen);
        handlerDone_ = true;
    }
    handlerFinished_.notify_all();
}

void Link::wakeDispatchWaiter() {
    handlerFinished_.notify_all();
}

void Link::ensureWorker() {
    if (!worker_) worker_ = std::make_unique<ThreadDataIn>(*this);
}

void Link::resetRing() {
    auto guard = lock();
    ringReset(state_);
}

void Link::pullFromPort() {
    int room = 0;
    {
        auto guard = lock();
        room = kRingSize - 1 - ringUnread(state_);
    }
    const QByteArray bytes = port_.read(room);
    if (!bytes.isEmpty()) deliver(bytes);
    if (port_.bytesAvailable() == 0) return;
    // Checked under the lock, so the worker cannot drain the ring unseen in between.
    auto guard = lock();
    if (ringUnread(state_) < kRingSize / 2) {
        QMetaObject::invokeMethod(this, "pullFromPort", Qt::QueuedConnection);
    } else {
        portBacklog_ = true;
    }
}

void Link::deliver(const QByteArray& bytes) {
    int dropped = 0;
    bool report = false;
    {
        auto guard = lock();
        dropped = ringPut(state_, reinterpret_cast<const uint8_t*>(bytes.constData()),
                          static_cast<int>(bytes.size()));
        if (dropped > 0) {
            state_.ringDropped += dropped;
            report = !state_.ringOverrunReported;
            state_.ringOverrunReported = true;
        }
    }
    if (worker_) worker_->wake();
    if (report) {
        const QString message =
            QStringLiteral("Receive buffer full: %1 bytes from HM-210 dropped").arg(dropped);
        qCWarning(lcLink).noquote() << message;
        emit notice(message);
    }
}

void Link::beginCommand(int32_t commandCode, const std::string& bytes) {
    auto guard = lock();
    state_.state = commandCode;
    setCommandBytes(state_, bytes);
    state_.expectedCount = 0;
    state_.awaitingEcho = 1;
}

bool Link::writeCommand() {
    std::string bytes;
    {
        auto guard = lock();
        bytes = commandString(state_);
    }
    if (!port_.isOpen()) {
        qCDebug(lcLink) << "not sent, no port open:" << bytes.c_str();
        return false;
    }
    qCDebug(lcLink) << "send" << bytes.c_str();
    return port_.writeString(bytes.c_str()) >= 0;
}

void Link::endCommand() {
    auto guard = lock();
    state_.state = 0;
    state_.replyCode = 0;
    state_.expectedCount = 0;
}

bool Link::sendAndWait(const CommandStart& command) {
    {
        auto guard = lock();
        LinkState& s = state_;
        s.startedButtonIndex = command.buttonIndex;
        s.startedButtonCaption = command.buttonCaption;
        // The log texts hold 79 characters and their terminator.
        s.startText = command.startText.substr(0, kLogTextSize - 1);
        s.endText = command.endText.substr(0, kLogTextSize - 1);
        s.state = command.code;
        setCommandBytes(s, command.bytes);
        s.expectedCount = 0;
        s.firstEchoPending = true;
        addLogLine(QString());
        addLogLine(QString::fromStdString(s.startText));
        s.awaitingEcho = 1;
        s.echoCount = 0;
        s.dataPending = true;
    }
    return writeCommand();
}

void Link::addLogLine(const QString& line) {
    if (!activeLog_) return;
    auto guard = lock();
    activeLog_->add(state_, line);
}

void Link::tickDelay(int ticks) {
    if (ticks <= 0 || QCoreApplication::closingDown()) return;
    // Leaving the application's loop (exit or quit) also ends every nested loop.
    QEventLoop loop;
    QTimer::singleShot(ticks * kTickMs, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace prm
