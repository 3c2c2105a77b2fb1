// libFuzzer target: the downloaded files as the station reads them from its folder. The input
// is the parameter block "sys_par.418" (its first 212 bytes) and one file behind it, written
// as the alarm ring (located by the block's ring offsets), the history list and the single
// alarm record. The readers take what is sound and say what is not; every record they take
// keeps what the database and the views rely on.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstddef>
#include <cstdint>

#include "station_records.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

void WriteFile(const QString& path, const uint8_t* data, size_t size) {
    QFile f(path);
    require(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(reinterpret_cast<const char*>(data), static_cast<qint64>(size));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir dir;
    const QString folder = dir.path() + '/';
    const size_t block = std::min(size, vm418::kParaSize);
    WriteFile(folder + vm418::kParametersFile, data, block);
    for (const char* name : {vm418::kAlarmsFile, vm418::kHistoryFile, vm418::kSingleAlarmFile})
        WriteFile(folder + name, data + block, size - block);

    vm418::StationRecords records(folder);
    require((records.readParameters() == 0) == (block == vm418::kParaSize));
    require(records.readAlarms() == 0);
    int key = 1;
    for (const auto& [k, a] : records.alarmMap)
        require(k == key++ && a.Index == k && vm418::storableAlarm(a));
    require(records.unreadableAlarms >= 0);
    const bool wholeHistory = size - block >= static_cast<size_t>(vm418::kHistoryFileSize);
    require((records.readHistory() == 0) == wholeHistory);
    if (wholeHistory) {
        require(records.unreadableHistory >= 0);
        for (const auto& [k, h] : records.historyMap)
            require(h.SeqNum == k && vm418::storableEvent(h));
    }
    const size_t before = records.alarmMap.size();
    const int merged = records.mergeOneAlarm();
    require(merged == -1 || (merged >= 1 && records.alarmMap.count(merged) == 1 &&
                             records.alarmMap.size() <= before + 1));
    return 0;
}
