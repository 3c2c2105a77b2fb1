// A manual-reset event over an eventfd, so that it can sit in a poll() set beside the port.
#pragma once

namespace station {

class ManualEvent {
  public:
    ManualEvent();
    ~ManualEvent();
    ManualEvent(const ManualEvent&) = delete;
    ManualEvent& operator=(const ManualEvent&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    void Set();
    void Reset();
    bool IsSet() const;
    // Waits up to timeoutMs (negative: no limit); true when the event is set.
    bool Wait(int timeoutMs) const;

  private:
    int fd_ = -1;
};

}  // namespace station
