#pragma once

#include <atomic>
#include <condition_variable>
#include <thread>

namespace prm {

class Link;

// The data-in worker: takes the ring byte by byte, runs the echo/data state machine under
// the link's lock and has the owning screen's reply handler run on the GUI thread, waiting
// for it before it takes the next byte.
class ThreadDataIn {
  public:
    explicit ThreadDataIn(Link& link);
    ~ThreadDataIn();
    ThreadDataIn(const ThreadDataIn&) = delete;
    ThreadDataIn& operator=(const ThreadDataIn&) = delete;

    // Wakes the worker; call after storing bytes in the ring (the ring is checked under the
    // lock before waiting, so a wake-up is never lost).
    void wake();
    bool stopping() const { return stopping_; }

  private:
    void run();

    Link& link_;
    std::condition_variable_any wakeUp_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

}  // namespace prm
