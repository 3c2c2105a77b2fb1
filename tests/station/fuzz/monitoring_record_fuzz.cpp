// libFuzzer target: any bytes as the unit's monitoring answer, decoded and turned into every
// text the monitoring view and the console show of it.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "monitoring_record.h"

using namespace station;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // An exact copy, so that any read past the answer is caught.
    const std::vector<uint8_t> answer(data, data + size);
    const auto record = DecodeMonitoringRecord(answer.data(), answer.size());
    if (!record) return 0;
    for (int index = -1; index <= 17; ++index)
        RegionValueText(RegionValue(*record, index));
    for (int region = 0; region < 6; ++region)
        BackgroundText(*record, region);
    ErrorChannelNames(record->errorBits);
    DateText(*record);
    TimeText(*record);
    MonitoringLine(*record, size % 2 == 0);
    return 0;
}
