#include "telnet_codec.h"

#include "com.h"

namespace station::telnet {

namespace {

constexpr uint8_t kOneStopBit = 1, kTwoStopBits = 2, kOneAndHalfStopBits = 3;
constexpr uint8_t kLineDtrEnable = 1;  // fDtrControl and fRtsControl: 1 on, 2 handshake
constexpr uint8_t kHandshake = 2;
constexpr uint8_t kAllModemLines = 0xFF;

}  // namespace

void AppendData(std::vector<uint8_t>& out, const uint8_t* data, size_t count) {
    for (size_t i = 0; i < count; ++i) {
        out.push_back(data[i]);
        if (data[i] == IAC) out.push_back(IAC);
    }
}

std::vector<uint8_t> Negotiation(uint8_t verb, uint8_t option) {
    return {IAC, verb, option};
}

std::vector<uint8_t> ComPortCommand(uint8_t command, const std::vector<uint8_t>& value) {
    std::vector<uint8_t> out = {IAC, SB, OPT_COM_PORT, command};
    AppendData(out, value.data(), value.size());
    out.push_back(IAC);
    out.push_back(SE);
    return out;
}

std::vector<uint8_t> OpeningOffer() {
    std::vector<uint8_t> out;
    for (const auto& [verb, option] :
         {std::pair{WILL, OPT_BINARY}, std::pair{DO, OPT_BINARY}, std::pair{WILL, OPT_SGA},
          std::pair{DO, OPT_SGA}, std::pair{WILL, OPT_COM_PORT}}) {
        const auto n = Negotiation(verb, option);
        out.insert(out.end(), n.begin(), n.end());
    }
    return out;
}

std::vector<uint8_t> LineSetup(const LineSettings& line) {
    std::vector<uint8_t> out;
    auto add = [&out](uint8_t command, std::vector<uint8_t> value) {
        const auto c = ComPortCommand(command, value);
        out.insert(out.end(), c.begin(), c.end());
    };
    const uint32_t baud = line.BaudRate;  // in network byte order on the wire
    add(SET_BAUDRATE, {static_cast<uint8_t>(baud >> 24), static_cast<uint8_t>(baud >> 16),
                       static_cast<uint8_t>(baud >> 8), static_cast<uint8_t>(baud)});
    add(SET_DATASIZE, {line.ByteSize});
    // Our parity codes 0 to 4 (none, odd, even, mark, space) are the option's 1 to 5.
    add(SET_PARITY, {static_cast<uint8_t>(line.Parity + 1)});
    static constexpr uint8_t kStop[] = {kOneStopBit, kOneAndHalfStopBits, kTwoStopBits};
    add(SET_STOPSIZE, {line.StopBits < 3 ? kStop[line.StopBits] : kOneStopBit});
    const bool hardware = line.fOutxCtsFlow || line.fRtsControl == kHandshake;
    const bool software = line.fOutX || line.fInX;
    add(SET_CONTROL, {hardware ? CONTROL_HARDWARE : software ? CONTROL_XONXOFF : CONTROL_NO_FLOW});
    add(SET_CONTROL, {line.fDtrControl == kLineDtrEnable ? CONTROL_DTR_ON : CONTROL_DTR_OFF});
    if (!hardware)
        add(SET_CONTROL, {line.fRtsControl == kLineDtrEnable ? CONTROL_RTS_ON : CONTROL_RTS_OFF});
    add(SET_LINESTATE_MASK, {kLineErrorMask});
    add(SET_MODEMSTATE_MASK, {kAllModemLines});
    add(PURGE_DATA, {PURGE_BOTH});
    return out;
}

void Receiver::Feed(const uint8_t* bytes, size_t count, std::vector<uint8_t>& data,
                    std::vector<Event>& events) {
    // A subnegotiation longer than any the option defines is noise; it is cut, not grown.
    constexpr size_t kSubLimit = 64;
    for (size_t i = 0; i < count; ++i) {
        const uint8_t b = bytes[i];
        switch (state_) {
            case State::Data:
                if (b == IAC)
                    state_ = State::Iac;
                else
                    data.push_back(b);
                break;
            case State::Iac:
                if (b == IAC) {
                    data.push_back(IAC);  // an escaped data byte
                    state_ = State::Data;
                } else if (b >= WILL && b <= DONT) {
                    verb_ = b;
                    state_ = State::Verb;
                } else if (b == SB) {
                    sub_.clear();
                    state_ = State::Sub;
                } else {
                    state_ = State::Data;  // NOP, GA and the other commands carry nothing
                }
                break;
            case State::Verb:
                events.push_back({Event::Negotiate, verb_, b, {}});
                state_ = State::Data;
                break;
            case State::Sub:
                if (b == IAC)
                    state_ = State::SubIac;
                else if (sub_.size() < kSubLimit)
                    sub_.push_back(b);
                break;
            case State::SubIac:
                if (b == IAC) {
                    if (sub_.size() < kSubLimit) sub_.push_back(IAC);
                    state_ = State::Sub;
                } else {
                    // IAC SE ends the subnegotiation; any other command ends it as well.
                    if (sub_.size() >= 2 && sub_[0] == OPT_COM_PORT)
                        events.push_back(
                            {Event::ComPort, 0, sub_[1], {sub_.begin() + 2, sub_.end()}});
                    sub_.clear();
                    state_ = State::Data;
                }
                break;
        }
    }
}

std::string LineStateText(uint8_t state, int* code) {
    *code = COMM_LINE_ERROR_NOTIFY;
    return LineErrorDescription(state & LINE_BREAK, state & LINE_FRAMING, state & LINE_OVERRUN,
                                false, state & LINE_PARITY);
}

std::string ModemStateText(uint8_t state, int* code) {
    uint32_t mask = 0;
    if (state & MODEM_DELTA_CTS) mask |= EV_CTS;
    if (state & MODEM_DELTA_DSR) mask |= EV_DSR;
    if (state & MODEM_RING_END) mask |= EV_RING;
    if (state & MODEM_DELTA_DCD) mask |= EV_RLSD;
    *code = static_cast<int>(mask);
    return CommEventDescription(mask);
}

Negotiator::Negotiator() {
    weWill_[OPT_BINARY] = weWill_[OPT_SGA] = weWill_[OPT_COM_PORT] = true;
    weDo_[OPT_BINARY] = weDo_[OPT_SGA] = true;
}

std::vector<uint8_t> Negotiator::Answer(uint8_t verb, uint8_t option) {
    if (option == OPT_COM_PORT && (verb == DO || verb == DONT)) comPort_ = verb == DO ? 1 : 0;
    switch (verb) {
        case DO:
            if (weWill_[option] || answeredDo_[option]) return {};
            answeredDo_[option] = true;
            return Negotiation(WONT, option);
        case WILL:
            if (weDo_[option] || answeredWill_[option]) return {};
            answeredWill_[option] = true;
            return Negotiation(DONT, option);
        default:
            // A refusal needs no answer: the option stays off on that side.
            return {};
    }
}

}  // namespace station::telnet
