// libFuzzer target: arbitrary text as a system's port settings text, through the lenient
// reading the systems' rows get and the strict one typed settings get. The lenient reading
// always yields values from the lists; a text the strict reading accepts reads the same both
// ways.
#include <algorithm>
#include <cstdint>
#include <string>

#include "port_settings_text.h"

using namespace station;

namespace {

constexpr uint32_t kRates[] = {110,   300,   600,   1200,  2400,  4800,   9600,   14400,
                               19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};
bool InLists(const PortSettings& s) {
    const LineSettings& l = s.line;
    return s.port.size() <= kPortNameMax &&
           std::find(std::begin(kRates), std::end(kRates), l.BaudRate) != std::end(kRates) &&
           l.Parity <= 4 && l.StopBits <= 2 && l.ByteSize >= 4 && l.ByteSize <= 8 &&
           l.fParity == (l.Parity != 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const PortSettings lenient = ParsePortSettingsText(text);
    if (!InLists(lenient)) __builtin_trap();
    PortSettings strict;
    strict.port = "unset";
    const std::string error = ParsePortSettingsTextStrict(text, &strict);
    if (error.empty() && (strict.port != lenient.port || !(strict.line == lenient.line)))
        __builtin_trap();
    if (!error.empty() && strict.port != "unset") __builtin_trap();
    return 0;
}
