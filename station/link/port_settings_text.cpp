#include "port_settings_text.h"

#include <algorithm>
#include <cstdio>

namespace station {

namespace {
constexpr int kRates[] = {110,   300,   600,   1200,  2400,  4800,   9600,   14400,
                          19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};
constexpr size_t kPortNameKept = 5;
enum Flow { kRtsCts = 0, kDtrDsr = 1, kXonXoff = 2, kNoFlow = 3 };
}  // namespace

PortSettings ParsePortSettingsText(const std::string& text) {
    PortSettings s;
    char name[256] = {};
    int baud = 0, parity = 0, stop = 0, bits = 0, flow = 0;
    if (std::sscanf(text.c_str(), "%255s %d %d %d %d %d ", name, &baud, &parity, &stop, &bits,
                    &flow) != 6)
        return s;
    s.port = std::string(name).substr(0, kPortNameKept);
    LineSettings& l = s.line;
    if (std::find(std::begin(kRates), std::end(kRates), baud) != std::end(kRates))
        l.BaudRate = static_cast<uint32_t>(baud);
    if (parity >= 0 && parity <= 4)
        l.Parity = static_cast<uint8_t>(parity);
    l.fParity = l.Parity != 0;
    if (stop >= 0 && stop <= 2)
        l.StopBits = static_cast<uint8_t>(stop);
    if (bits >= 4 && bits <= 8)
        l.ByteSize = static_cast<uint8_t>(bits);
    if (flow < kRtsCts || flow > kNoFlow)
        flow = kRtsCts;
    l.fOutxCtsFlow = flow == kRtsCts;
    l.fRtsControl = flow == kRtsCts ? 2 : 1;
    l.fOutxDsrFlow = flow == kDtrDsr;
    l.fDtrControl = flow == kDtrDsr ? 2 : 1;
    l.fOutX = l.fInX = flow == kXonXoff;
    return s;
}

}  // namespace station
