// libFuzzer target: arbitrary bytes from a converter's Telnet connection, taken apart in one
// read and again in reads cut where the first byte says. Both give the same data and the
// same commands; the data is never longer than what came in; every notification's text and
// every negotiation's answer can be made. The rest of the input, as text, is read as a
// converter's address.
#include <cstdint>
#include <string>
#include <vector>

#include "port_transport.h"
#include "telnet_codec.h"

using namespace station;
using namespace station::telnet;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const size_t step = data[0] % 16 + 1;
    const uint8_t* wire = data + 1;
    const size_t n = size - 1;

    Receiver whole, cut;
    std::vector<uint8_t> wholeData, cutData;
    std::vector<Receiver::Event> wholeEvents, cutEvents;
    whole.Feed(wire, n, wholeData, wholeEvents);
    for (size_t at = 0; at < n; at += step)
        cut.Feed(wire + at, std::min(step, n - at), cutData, cutEvents);
    if (wholeData != cutData || wholeEvents != cutEvents) __builtin_trap();
    if (wholeData.size() > n) __builtin_trap();

    Negotiator negotiator;
    for (const auto& e : wholeEvents) {
        int code = 0;
        if (e.kind == Receiver::Event::Negotiate) {
            const auto answer = negotiator.Answer(e.verb, e.option);
            if (!answer.empty() && (answer.size() != 3 || answer[0] != IAC)) __builtin_trap();
        } else if (e.value.size() == 1) {
            LineStateText(e.value[0], &code);
            ModemStateText(e.value[0], &code);
        }
    }
    std::string error;
    const auto address =
        ParseNetworkPortName(std::string(reinterpret_cast<const char*>(wire), n), &error);
    if (address && (address->port == 0 || address->host.empty())) __builtin_trap();
    if (!address && error.empty()) __builtin_trap();
    return 0;
}
