// What the protocol hands to the user interface: one event block per received frame,
// raw text or error, delivered to an event sink. The window layer implements the sink by
// posting WM_PROTOCOL_EVENT; ownership of the block moves with the delivery.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace station {

constexpr uint16_t XLNK_ERR_MODEM = 0x6600;  // + the modem result
constexpr uint16_t XLNK_ERR_TIMEOUT = 0x6700;
constexpr uint16_t XLNK_ERR_FILE_TRANSFER_INTERRUPTED = 0x6900;
constexpr uint16_t XLNK_ERR_CHECKSUM = 0x6D00;
constexpr uint16_t XLNK_ERR_UNEXPECTED_COMMAND = 0x6E00;
constexpr uint16_t XLNK_MODEM_CONNECTED = 0xC600;
// The port engine stopped on a fatal error (adapter unplugged, device gone). A modem event
// of its own, so that it hangs up like one: "Disconnected  port lost".
constexpr uint16_t XLNK_ERR_PORT_LOST = XLNK_ERR_MODEM + 0xFE;
constexpr uint16_t kNoFrameCommand = 0xFFFF;  // raw text and events without a frame

struct ProtocolEvent {
    uint16_t command = kNoFrameCommand;
    uint16_t length = 0;
    uint16_t status = 0;        // 0 for a frame or raw text, else an event code
    std::vector<uint8_t> data;  // `length` bytes followed by one spare zero byte

    std::string Text() const { return std::string(data.begin(), data.begin() + length); }
};

class ProtocolEventSink {
  public:
    virtual ~ProtocolEventSink() = default;
    // Called on the read or write thread; the sink takes the block.
    virtual void OnProtocolEvent(std::unique_ptr<ProtocolEvent> event) = 0;
};

// The name of an event code as the station shows it ("XLNK_ERR_TIMEOUT", ...).
std::string EventCodeName(uint16_t status);

}  // namespace station
