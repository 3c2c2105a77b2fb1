// libFuzzer target: the discriminator screen fed with any answers of the unit and the user's
// actions between them, and the settings block and counts record decoded from any bytes. The
// input is a list of events: kind, a 16-bit value, a length byte and data. Kind 0 is a frame
// (the value its command), 1 a failed command (the status in the first two data bytes), 2 to
// 9 the user: Read, an edit (channel, setting and value from the value), Update, Default,
// Close, "View Xtal", the 50 ms timer, and a second passing.
#include <QCoreApplication>
#include <cstddef>
#include <cstdint>

#include "discr_screen.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

void CheckCodecs(const uint8_t* data, size_t size) {
    const auto settings = vm418::decodeDiscrBlock(data, size);
    require(settings.has_value() == (size >= vm418::kDiscrBlockSize));
    if (settings) {
        // What is decoded is written back as it was read.
        const auto block = vm418::encodeDiscrBlock(*settings);
        require(vm418::decodeDiscrBlock(block.data(), block.size()) == settings);
        for (const auto& channel : *settings)
            for (int v : channel)
                require(v >= 0 && v <= 99);
    }
    require(vm418::parseCountsRecord(data, size).has_value() == (size >= vm418::kCountsRecordSize));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    CheckCodecs(data, size);

    uint32_t now = 0;
    vm418::DiscrScreen::Link link;
    link.send = [](uint16_t) { return 0; };
    link.sendRaw = [](const QByteArray& block) {
        require(block.size() == static_cast<qsizetype>(vm418::kDiscrBlockSize));
        return 0;
    };
    link.setMonitoringStopped = [](bool) {};
    link.tick = [&now] { return now; };
    link.after = [](int, std::function<void()> fn) { fn(); };
    vm418::DiscrScreen screen(link, true);
    screen.AwaitSettings();
    for (size_t pos = 0; pos + 4 <= size && !screen.closed;) {
        const uint8_t kind = data[pos] % 10;
        const uint16_t value = static_cast<uint16_t>(data[pos + 1] | data[pos + 2] << 8);
        const size_t length = std::min<size_t>(data[pos + 3], size - pos - 4);
        const uint8_t* bytes = data + pos + 4;
        pos += 4 + length;
        switch (kind) {
            case 0:
                screen.OnFrame(value, bytes, length);
                break;
            case 1:
                screen.OnStatus(
                    value, length >= 2 ? static_cast<uint16_t>(bytes[0] | bytes[1] << 8) : 0x6902);
                break;
            case 2:
                screen.Read();
                break;
            case 3:
                screen.SetSetting(value & 0x1F, (value >> 5) & 3, value >> 7);
                break;
            case 4:
                screen.Update();
                break;
            case 5:
                screen.Default();
                break;
            case 6:
                screen.Close();
                break;
            case 7:
                screen.SelectChannel(static_cast<int16_t>(value));
                break;
            case 8:
                screen.OnTimer();
                break;
            default:
                now += 1000 + value;
                break;
        }
        require(screen.sampleIndex >= -1 && screen.sampleIndex < vm418::kStatisticsSamples);
        require(screen.selectedChannel >= 0 && screen.selectedChannel < vm418::kDiscrChannels);
        require(screen.dial >= 0 && screen.dial <= vm418::kStatisticsSamples);
    }
    return 0;
}
