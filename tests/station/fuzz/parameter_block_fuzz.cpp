// libFuzzer target: any bytes as the 212-byte parameter block "sys_par.418" (a short input
// padded with zero bytes), through its checks, the failure text and the lines the tools
// print of it; and as a ParamBuf of any length loaded back from the database.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "para_418.h"
#include "record_text.h"
#include "station_records.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

constexpr uint32_t kAllChecks = 0x1FFFFFF;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    std::vector<uint8_t> bytes(vm418::kParaSize, 0);
    if (size > 0) std::memcpy(bytes.data(), data, std::min(size, bytes.size()));
    vm418::PARA_418 block;
    std::memcpy(&block, bytes.data(), vm418::kParaSize);

    const uint32_t mask = vm418::validateParameters(block, vm418::defaultStationPasswords());
    require((mask & ~kAllChecks) == 0);
    const QString text = vm418::describeFailedParameters(mask);
    require(text.isEmpty() == (mask == 0));
    require(!text.endsWith(',') && !text.endsWith(' '));
    // A password that is not a number of the list always fails its check.
    const int password = vm418::passwordNumber(block);
    require(password >= 0);
    const std::vector<int> list = vm418::defaultStationPasswords();
    require(((mask & vm418::kBadPassword) != 0) ==
            (std::find(list.begin(), list.end(), password) == list.end()));
    vm418::parameterLines(block);

    // The same bytes as a stored ParamBuf of the input's own length.
    vm418::PARA_418 loaded = vm418::initialParameters();
    const vm418::PARA_418 before = loaded;
    const QByteArray stored(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    require(vm418::parametersFromStored(stored, loaded) == (size == vm418::kParaSize));
    const std::size_t copied = std::min(size, vm418::kParaSize);
    require(copied == 0 || std::memcmp(&loaded, data, copied) == 0);
    require(std::memcmp(reinterpret_cast<const uint8_t*>(&loaded) + copied,
                        reinterpret_cast<const uint8_t*>(&before) + copied,
                        vm418::kParaSize - copied) == 0);
    return 0;
}
