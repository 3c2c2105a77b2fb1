#include "port_settings_text.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <iterator>
#include <sstream>
#include <vector>

namespace station {

namespace {
constexpr int kRates[] = {110,   300,   600,   1200,  2400,  4800,   9600,   14400,
                          19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};
enum Flow { kRtsCts = 0, kDtrDsr = 1, kXonXoff = 2, kNoFlow = 3 };

// The numeric fields in their order, with the range each must lie in (the rate has a list).
struct Field {
    const char* name;
    int lowest, highest;
};
constexpr Field kFields[] = {{"baud rate", 0, 0},
                             {"parity", 0, 4},
                             {"stop bits", 0, 2},
                             {"data bits", 4, 8},
                             {"flow control", kRtsCts, kNoFlow}};
constexpr size_t kFieldCount = 1 + std::size(kFields);

bool IsListedRate(int baud) {
    return std::find(std::begin(kRates), std::end(kRates), baud) != std::end(kRates);
}

bool InRange(const Field& f, int value) {
    return value >= f.lowest && value <= f.highest;
}

// The line settings from values each in its list; a flow choice sets the flags as the
// settings dialog does.
LineSettings LineFrom(int baud, int parity, int stop, int bits, int flow) {
    LineSettings l;
    l.BaudRate = static_cast<uint32_t>(baud);
    l.Parity = static_cast<uint8_t>(parity);
    l.fParity = l.Parity != 0;
    l.StopBits = static_cast<uint8_t>(stop);
    l.ByteSize = static_cast<uint8_t>(bits);
    ApplyFlowChoice(l, flow);
    return l;
}

}  // namespace

void ApplyFlowChoice(LineSettings& l, int flow) {
    // Every flow option off first (DTR and RTS on), then the choice.
    l.fOutxCtsFlow = flow == kRtsCts;
    l.fRtsControl = flow == kRtsCts ? 2 : 1;
    l.fOutxDsrFlow = flow == kDtrDsr;
    l.fDtrControl = flow == kDtrDsr ? 2 : 1;
    l.fOutX = l.fInX = flow == kXonXoff;
}

PortSettings ParsePortSettingsText(const std::string& text) {
    PortSettings s;
    char name[256] = {};
    int v[std::size(kFields)] = {};
    if (std::sscanf(text.c_str(), "%255s %d %d %d %d %d ", name, &v[0], &v[1], &v[2], &v[3],
                    &v[4]) != kFieldCount)
        return s;
    s.port = std::string(name).substr(0, kPortNameMax);
    const LineSettings defaults;
    const int fallback[] = {static_cast<int>(defaults.BaudRate), defaults.Parity, defaults.StopBits,
                            defaults.ByteSize, kRtsCts};
    if (!IsListedRate(v[0])) v[0] = fallback[0];
    for (size_t i = 1; i < std::size(kFields); ++i) {
        if (!InRange(kFields[i], v[i])) v[i] = fallback[i];
    }
    s.line = LineFrom(v[0], v[1], v[2], v[3], v[4]);
    return s;
}

std::string ParsePortSettingsTextStrict(const std::string& text, PortSettings* out) {
    // A settings text is a C string everywhere it is kept; what follows a NUL is not read.
    if (text.find('\0') != std::string::npos) return "the text holds a NUL character";
    std::vector<std::string> words;
    std::istringstream in(text);
    for (std::string w; in >> w;)
        words.push_back(w);
    if (words.size() != kFieldCount) {
        return "expected six fields (port baud parity stop-bits data-bits flow), found " +
               std::to_string(words.size());
    }
    if (words[0].size() > kPortNameMax) {
        return "port name \"" + words[0] + "\" is longer than " + std::to_string(kPortNameMax) +
               " characters";
    }
    int v[std::size(kFields)] = {};
    for (size_t i = 0; i < std::size(kFields); ++i) {
        const std::string& w = words[i + 1];
        const auto [end, err] = std::from_chars(w.data(), w.data() + w.size(), v[i]);
        if (err != std::errc() || end != w.data() + w.size())
            return std::string(kFields[i].name) + " \"" + w + "\" is not a whole number";
    }
    if (!IsListedRate(v[0])) {
        std::string list;
        for (int r : kRates)
            list += (list.empty() ? "" : " ") + std::to_string(r);
        return "baud rate " + std::to_string(v[0]) + " is not one of " + list;
    }
    for (size_t i = 1; i < std::size(kFields); ++i) {
        const Field& f = kFields[i];
        if (!InRange(f, v[i])) {
            return std::string(f.name) + " " + std::to_string(v[i]) + " is not in " +
                   std::to_string(f.lowest) + "-" + std::to_string(f.highest);
        }
    }
    out->port = words[0];
    out->line = LineFrom(v[0], v[1], v[2], v[3], v[4]);
    return {};
}

int FlowChoice(const LineSettings& line) {
    if (line.fOutX && line.fInX) return 2;
    if (line.fDtrControl == 2 && line.fOutxDsrFlow) return 1;
    if (line.fRtsControl == 2 && line.fOutxCtsFlow) return 0;
    return 3;
}

std::string FormatPortSettingsText(const std::string& port, const LineSettings& line) {
    // The name goes in whole (a converter's address may fill kPortNameMax); the numbers
    // after it take at most 16 characters.
    char numbers[64];
    std::snprintf(numbers, sizeof numbers, " %d %d %d %d %d", static_cast<int>(line.BaudRate),
                  line.Parity, line.StopBits, line.ByteSize, FlowChoice(line));
    return port + numbers;
}

}  // namespace station
