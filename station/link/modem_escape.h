// Hanging up a modem through the line itself, where DTR cannot be dropped (a raw converter
// port, a pseudo-terminal bridge): guard time, "+++", guard time, "ATH0", and the modem's
// "OK".
#pragma once

#include <chrono>
#include <string>

namespace station {

class PortTransport;

// The modem's guard time (its S12): VM418_MODEM_GUARD_MS in the environment, else 1 s.
std::chrono::milliseconds ModemGuardTime();
// How long the station keeps the line silent around "+++" for a modem with that guard
// time: a little longer, so that the modem's own timer is surely past it.
std::chrono::milliseconds EscapeSilence(std::chrono::milliseconds guard);
// How long the modem is given to answer "ATH0".
constexpr std::chrono::milliseconds kHangUpAnswerWait{3000};

// Sends the escape sequence and "ATH0" on a line nobody else reads or writes, keeping
// `silence` before and after "+++"; what the unit still sends meanwhile is dropped. True
// when the modem answered "OK" to the hang-up; else `why` says what went wrong.
bool HangUpByEscape(PortTransport& line, std::chrono::milliseconds silence, std::string* why);

}  // namespace station
