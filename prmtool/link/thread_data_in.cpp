#include "thread_data_in.h"

#include "link.h"

namespace prm {

ThreadDataIn::ThreadDataIn(Link& link) : link_(link), thread_([this] { run(); }) {}

ThreadDataIn::~ThreadDataIn() {
    {
        auto lock = link_.lock();
        stopping_ = true;
    }
    wakeUp_.notify_all();
    link_.wakeDispatchWaiter();
    thread_.join();
}

void ThreadDataIn::wake() {
    wakeUp_.notify_all();
}

void ThreadDataIn::run() {
    auto lock = link_.lock();
    for (;;) {
        wakeUp_.wait(lock, [this] { return stopping_ || !ringEmpty(link_.state_); });
        if (stopping_) return;
        LinkState& s = link_.state_;
        const uint8_t byte = ringTake(s);
        if (ringEmpty(s)) s.ringOverrunReported = false;
        // Half the ring is free again: fetch what waits in the port.
        if (link_.portBacklog_ && ringUnread(s) < kRingSize / 2) {
            link_.portBacklog_ = false;
            QMetaObject::invokeMethod(&link_, "pullFromPort", Qt::QueuedConnection);
        }
        const ReplyOwner owner = processByte(s, byte);
        if (owner == ReplyOwner::None) continue;
        link_.dispatchFromWorker(owner, lock, *this);
    }
}

}  // namespace prm
