// Helpers of the station link tests: an event sink that collects events and waits for
// them, and a protocol over an in-memory transport.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "protocol_event.h"
#include "xlnk_protocol.h"

namespace station::test {

class CollectingSink : public ProtocolEventSink {
  public:
    void OnProtocolEvent(std::unique_ptr<ProtocolEvent> event) override {
        std::lock_guard lock(mutex_);
        events_.push_back(*event);
        cv_.notify_all();
    }
    std::vector<ProtocolEvent> Events() const {
        std::lock_guard lock(mutex_);
        return {events_.begin(), events_.end()};
    }
    // The next event not yet taken, in delivery order.
    std::optional<ProtocolEvent> Next(int timeoutMs) {
        std::unique_lock lock(mutex_);
        if (!cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                          [&] { return taken_ < events_.size(); }))
            return std::nullopt;
        return events_[taken_++];
    }
    // Marks every event so far as taken.
    void SkipAll() {
        std::lock_guard lock(mutex_);
        taken_ = events_.size();
    }
    void Clear() {
        taken_ = 0;
        std::lock_guard lock(mutex_);
        events_.clear();
    }
    // Waits until an event matches; returns it, or nullopt after timeoutMs.
    template <typename Pred>
    std::optional<ProtocolEvent> WaitFor(Pred pred, int timeoutMs = 5000) {
        std::unique_lock lock(mutex_);
        std::optional<ProtocolEvent> found;
        cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] {
            for (const auto& e : events_)
                if (pred(e)) {
                    found = e;
                    return true;
                }
            return false;
        });
        return found;
    }
    std::optional<ProtocolEvent> WaitForStatus(uint16_t status, int timeoutMs = 5000) {
        return WaitFor([status](const ProtocolEvent& e) { return e.status == status; }, timeoutMs);
    }
    std::optional<ProtocolEvent> WaitForFrame(uint16_t command, int timeoutMs = 5000) {
        return WaitFor(
            [command](const ProtocolEvent& e) { return e.status == 0 && e.command == command; },
            timeoutMs);
    }

  private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::deque<ProtocolEvent> events_;
    size_t taken_ = 0;
};

// The protocol with its writes captured instead of sent; a write "completes" at once,
// as the write thread would report it.
class LoopbackProtocol : public XLNKProtocol {
  public:
    LoopbackProtocol() {
        SetTickSource([this] { return now.load(); });
    }
    // Feeds bytes as reads would return them: at most a receive buffer at a time.
    void Receive(const std::vector<uint8_t>& bytes) {
        for (size_t at = 0; at < bytes.size(); at += rxBufferSize) {
            const size_t n = std::min(rxBufferSize, bytes.size() - at);
            std::memcpy(rxBuffer, bytes.data() + at, n);
            OnBytesRead(n);
        }
    }
    void ReceiveText(const std::string& text) {
        Receive(std::vector<uint8_t>(text.begin(), text.end()));
    }

    std::vector<std::vector<uint8_t>> written;
    bool refuseWrites = false;
    bool completeWrites = true;
    std::atomic<uint32_t> now{1000};

  protected:
    bool QueueWrite(std::vector<uint8_t> buffer) override {
        if (refuseWrites)
            return false;
        {
            std::lock_guard lock(writtenMutex_);
            written.push_back(buffer);
        }
        if (completeWrites)
            OnDataWritten(buffer.size(), buffer);
        return true;
    }

  private:
    std::mutex writtenMutex_;  // senders on several threads
};

inline std::vector<uint8_t> Frame(uint16_t cmd, const std::vector<uint8_t>& data = {}) {
    return BuildCommandBytes(cmd, data.data(), data.size());
}

}  // namespace station::test
