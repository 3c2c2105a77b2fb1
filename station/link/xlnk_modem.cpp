// The modem dialogue: "AT", the dial line, the modem's result texts and the password line
// sent to the unit once the modem has connected.
#include <cctype>
#include <cstring>

#include "xlnk_protocol.h"

namespace station {

namespace {

constexpr size_t kInitUsed = 40;  // characters of the init text put in the dial line
constexpr size_t kInitKept = 79;
constexpr size_t kPhoneUsed = 30;
constexpr size_t kPasswordUsed = 77;  // the password line with CR LF fits 80 characters
constexpr size_t kModemTextUsed = 80;
constexpr uint32_t kAtTimeoutMs = 2000;
constexpr uint32_t kDialTimeoutMs = 60000;
constexpr uint32_t kPasswordTimeoutMs = 1000;

struct ModemText {
    const char* text;
    int result;
};
// Searched in this order; the first found decides.
constexpr ModemText kModemTexts[] = {
    {"OK", MODEM_OK},
    {"CONNECT", MODEM_CONNECT},
    {"NO CARRIER", MODEM_NO_CARRIER},
    {"ERROR", MODEM_ERROR},
    {"BUSY", MODEM_BUSY},
    {"NO ANSWER", MODEM_NO_ANSWER},
    {"RINGING", MODEM_RINGING},
    {"NO DIAL ", MODEM_NO_DIALTONE},
    {"NO DIALTONE", MODEM_NO_DIALTONE},  // the usual spelling of modems
    {"+++", MODEM_ESCAPE},
};

}  // namespace

std::string ModemResultText(int r) {
    switch (r) {
        case MODEM_NO_CARRIER:
            return "NO CARRIER";
        case MODEM_ERROR:
            return " Modem (command) ERROR";
        case MODEM_BUSY:
            return "BUSY";
        case MODEM_NO_ANSWER:
            return "NO ANSWER";
        case MODEM_NO_DIALTONE:
            return "NO DIAL TOINE";
        case XLNK_ERR_PORT_LOST - XLNK_ERR_MODEM:
            return " port lost";
        default:
            return "";
    }
}

void XLNKProtocol::SetModemInit(const std::string& init) {
    modemInit = init.substr(0, kInitKept);
}

int XLNKProtocol::Dial(const std::string& phoneNumber, const std::string& password) {
    const int state = modemState;
    if (state == MODEM_AT_SENT || state == MODEM_DIALLING || state == MODEM_CONNECTED)
        return -1;  // one dialogue at a time; hang up first
    // Whatever came before this call (a dropped frame, half a line) is not its answer.
    resetReceive_ = true;
    const std::string phone = phoneNumber.substr(0, kPhoneUsed);
    dialString = modemInit.empty() ? "ATD" + phone + "\r"
                                   : "AT" + modemInit.substr(0, kInitUsed) + "D" + phone + "\r";
    connectString = password.substr(0, kPasswordUsed) + "\r\n";
    // The state is set before the line goes out: a quick modem may answer at once.
    modemState = MODEM_AT_SENT;
    static constexpr uint8_t kAt[] = {'A', 'T', '\r'};
    if (SendCommand(CMD_MODEM, sizeof kAt, kAt, kAtTimeoutMs) != 0) {
        modemState = MODEM_IDLE;
        return -1;
    }
    return 0;
}

int XLNKProtocol::ParseModemText(const uint8_t* bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < std::min(count, kModemTextUsed); ++i)
        if (std::isprint(bytes[i])) text.push_back(static_cast<char>(bytes[i]));
    // While connected, a result is a line of its own that starts with its text; elsewhere
    // in a line those letters are the unit's data.
    const bool connected = modemState == MODEM_CONNECTED;
    const size_t first = text.find_first_not_of(' ');
    int r = -1;
    for (const auto& t : kModemTexts) {
        const size_t at = text.find(t.text);
        if (at != std::string::npos && (!connected || at == first)) {
            r = t.result;
            break;
        }
    }
    if (r < 0) return 0;
    // RINGING is progress, not an answer: the dial stays outstanding with its time-out.
    if (r == MODEM_RINGING) return 0;
    const bool hadCommand = RemoveCommand(CMD_MODEM, true, 0xFFFF);
    int failure = 0;
    if (r == MODEM_NO_CARRIER || r == MODEM_ERROR || r == MODEM_BUSY || r == MODEM_NO_ANSWER ||
        r == MODEM_NO_DIALTONE) {
        failure = r;
        modemState = MODEM_IDLE;
    } else if (!hadCommand) {
        return 0;  // a stray answer
    }
    if (modemState == MODEM_AT_SENT && (r == MODEM_OK || r == MODEM_ESCAPE)) {
        modemState = MODEM_DIALLING;
        if (SendCommand(CMD_MODEM, dialString.size(),
                        reinterpret_cast<const uint8_t*>(dialString.data()), kDialTimeoutMs) != 0)
            modemState = MODEM_IDLE;
    } else if (modemState == MODEM_DIALLING && r == MODEM_CONNECT) {
        modemState = MODEM_CONNECTED;
        if (SendCommand(CMD_RAW_TEXT, connectString.size(),
                        reinterpret_cast<const uint8_t*>(connectString.data()),
                        kPasswordTimeoutMs) == 0)
            return XLNK_MODEM_CONNECTED;
        modemState = MODEM_IDLE;
    }
    if (modemState == MODEM_IDLE) return XLNK_ERR_MODEM + failure;
    return 0;
}

}  // namespace station
