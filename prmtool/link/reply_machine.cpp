#include "reply_machine.h"

#include <algorithm>
#include <cstring>

namespace prm {

ReplyOwner ownerOfState(int32_t state) {
    if (state < 200) return ReplyOwner::TestConsole;
    if (state < 400) return ReplyOwner::Settings;
    return ReplyOwner::Records;
}

int replyLength(int32_t replyCode, char firstCommandByte) {
    switch (replyCode) {
        case 6:
        case 10:
        case 16:
        case 17:
        case 207:
        case 213:
        case 401:
            return 1;
        case 7:
        case 8:
        case 24:
        case 33:
            return 2;
        case 18:
            return firstCommandByte == 'S' ? 4 : 2;
        case 9:
            return 256;
        case 11:
            return 8;
        case 13:
            return 6;
        case 15:
            return 12;
        case 211:
        case 212:
            return 31;
        case 402:
            return 16;
        default:
            return -1;
    }
}

bool isEchoState(int32_t state) {
    return (state >= 0 && state <= 11) || (state >= 13 && state <= 19) || state == 24 ||
           state == 30 || state == 31 || state == 33 || state == 100 || state == 207 ||
           state == 211 || state == 212 || state == 213 || state == 401 || state == 402;
}

bool isDataState(int32_t state) {
    return (state >= 106 && state <= 111) || state == 113 || (state >= 115 && state <= 118) ||
           state == 124 || state == 133 || state == 307 || state == 311 || state == 312 ||
           state == 313 || state == 501 || state == 502;
}

namespace {

// Keeps the reply area within its bounds for streams the handler consumes from readIndex:
// consumed bytes are dropped and the unconsumed rest moves to the front.
bool makeRoomInReplyData(LinkState& s) {
    if (s.receivedCount < kReplyDataSize) return true;
    const int consumed = std::clamp<int>(s.readIndex, 0, s.receivedCount);
    if (consumed == 0) return false;
    std::memmove(s.replyData.data(), s.replyData.data() + consumed, s.receivedCount - consumed);
    s.receivedCount = static_cast<int16_t>(s.receivedCount - consumed);
    s.readIndex = 0;
    return true;
}

ReplyOwner echoPhase(LinkState& s, uint8_t byte) {
    s.lastEchoByte = byte;
    if (byte == kEchoByte) {
        s.replyCode = s.state;
    } else if (byte == kZByte) {
        s.replyCode = code::kZEcho;
    } else {
        s.replyCode = code::kWrongEcho;
    }
    const int length = replyLength(s.replyCode, s.commandBytes[0]);
    if (length < 0) {
        s.dataPending = false;
    } else {
        s.expectedCount = static_cast<int16_t>(length);
    }
    if (s.expectedCount != 0) {
        s.state += code::kDataOffset;
        s.receivedCount = 0;
        s.readIndex = 0;
    }
    return ownerOfState(s.state);
}

ReplyOwner dataPhase(LinkState& s, uint8_t byte) {
    if (!makeRoomInReplyData(s)) {
        ++s.replyDropped;
        return ReplyOwner::None;
    }
    s.replyData[s.receivedCount] = byte;
    s.receivedCount = static_cast<int16_t>(s.receivedCount + 1);
    s.replyCode = s.state;
    s.expectedCount = static_cast<int16_t>(s.expectedCount - 1);
    if (s.expectedCount > 0) return ReplyOwner::None;

    // Unit complete: streams re-arm for their next unit.
    switch (s.replyCode) {
        case code::kButtons + code::kDataOffset:
            s.expectedCount = 1;
            break;
        case code::kAdcSpectrum + code::kDataOffset:
            s.expectedCount = 256;
            s.receivedCount = 0;
            break;
        case code::kThresholdScan + code::kDataOffset:
            s.expectedCount = s.commandBytes[0] == 'S' ? 4 : 2;
            break;
        default:
            break;
    }
    s.dataPending = false;
    return ownerOfState(s.state);
}

}  // namespace

ReplyOwner processByte(LinkState& s, uint8_t byte) {
    // Any byte at all answers the echo time-out.
    s.awaitingEcho = 0;
    if (isEchoState(s.state)) return echoPhase(s, byte);
    if (isDataState(s.state)) return dataPhase(s, byte);
    return ReplyOwner::None;  // for example the contrast code 35: the byte is dropped
}

}  // namespace prm
