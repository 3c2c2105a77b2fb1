// The files a simulated VM418 unit keeps: parameter block, alarm ring, history, and the
// single alarm records it serves by code.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace vm418sim {

using Bytes = std::vector<uint8_t>;

struct UnitFiles {
    Bytes parameters;           // 212 bytes; ring offsets at 79 (oldest) and 81 (end)
    Bytes alarmRing;            // 15000 bytes, records wrapping at the end
    Bytes history;              // 100 slots of 28 bytes
    std::vector<Bytes> alarms;  // each alarm record as it lies in the ring, oldest first
};

UnitFiles MakeUnitFiles(unsigned seed);

}  // namespace vm418sim
