// libFuzzer targets for the station files a unit sends: the alarm ring (with its two ring
// offsets), a single alarm record and the history list. Which parser this build feeds is
// chosen by STATION_FUZZ_PARSER: 1 ring, 2 single alarm, 3 history. Beyond the sanitizers,
// each checks what the rest of the program relies on.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <vector>

#include "station_files.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

void checkRecord(const vm418::alarms& a) {
    require(a.Len >= 0 && a.Len <= vm418::kMaxGraphLen);
    require(a.Graph.size() == static_cast<std::size_t>(a.Len));
    require(a.StatusWord[24] == '\0' && a.BGtime[8] == '\0');
    require(a.Direction == 'I' || a.Direction == 'O' || a.Direction == 'N');
    // A taken record's date lies in the years the parser accepts, 1900 on.
    std::tm t{};
    require(localtime_r(&a.DateTime, &t) != nullptr && t.tm_year >= 0);
}

std::span<const uint8_t, vm418::kAlarmRingSize> ringOf(const std::vector<uint8_t>& ring) {
    return std::span<const uint8_t, vm418::kAlarmRingSize>(ring.data(), vm418::kAlarmRingSize);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
#if STATION_FUZZ_PARSER == 1
    if (size < 4) return 0;
    int16_t start, end;
    std::memcpy(&start, data, 2);
    std::memcpy(&end, data + 2, 2);
    const std::vector<uint8_t> ring = vm418::ringImage({data + 4, size - 4});
    int unreadable = -1;
    const vm418::AlarmMap map = vm418::parseAlarmRing(ringOf(ring), start, end, &unreadable);
    require(unreadable >= 0);
    int key = 1;
    std::size_t bytes = 0;
    for (const auto& [k, a] : map) {
        require(k == key++ && a.Index == k);
        checkRecord(a);
        bytes += vm418::kAlarmFixedBytes + 4 * a.Graph.size();
    }
    require(bytes <= vm418::kAlarmRingSize);
#elif STATION_FUZZ_PARSER == 2
    const std::vector<uint8_t> ring = vm418::ringImage({data, size});
    vm418::alarms a;
    const vm418::AlarmParse parse = vm418::parseAlarmRecord(0, a, ringOf(ring));
    const int next = vm418::parseOneAlarm(0, a, ringOf(ring));
    require(next >= -1 && next < vm418::kAlarmRingSize);
    require((parse.status == vm418::AlarmParse::Malformed) == (parse.next < 0));
    require(next == (parse.status == vm418::AlarmParse::Ok ? parse.next : -1));
    if (next >= 0) {
        checkRecord(a);
        vm418::AlarmMap map;
        require(vm418::mergeAlarm(map, a) == 2);
        require(vm418::mergeAlarm(map, a) == 2 && map.size() == 1);
    }
#elif STATION_FUZZ_PARSER == 3
    std::vector<uint8_t> file(vm418::kHistoryFileSize, 0);
    std::memcpy(file.data(), data, std::min<std::size_t>(size, file.size()));
    int unreadable = -1;
    const vm418::HistoryMap map = vm418::parseHistory(
        std::span<const uint8_t, vm418::kHistoryFileSize>(file.data(), vm418::kHistoryFileSize),
        &unreadable);
    require(unreadable >= 0 &&
            map.size() + static_cast<std::size_t>(unreadable) <= vm418::kHistorySlots);
    int key = 1;
    for (const auto& [k, h] : map) {
        require(k == key++ && h.SeqNum == k);
        require(h.Event.size() <= 24);
    }
#else
#error "STATION_FUZZ_PARSER must be 1, 2 or 3"
#endif
    return 0;
}
