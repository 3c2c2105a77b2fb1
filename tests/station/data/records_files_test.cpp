// The document's file operations: default names in the working folder, missing, short and
// unparsable files.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "station_golden.h"
#include "station_records.h"

namespace vm418 {
namespace {

using namespace golden;

TEST(AlarmMerge, FileOperationRejectsShortAndUnparsableFiles) {
    QTemporaryDir dir;
    StationRecords records(dir.path() + "/");
    auto write = [&](const std::string& bytes) {
        QFile f(records.filePath(kSingleAlarmFile));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes.data(), qint64(bytes.size()));
    };
    EXPECT_EQ(records.mergeOneAlarm(), -1);  // no file
    write("1");
    EXPECT_EQ(records.mergeOneAlarm(), -1);
    write(alarmRecord("150 1 1 1", "01-02-03 04:05:06", "1 1 1 500", "1 1 A", "U"));
    EXPECT_EQ(records.mergeOneAlarm(), -1);
    EXPECT_TRUE(records.alarmMap.empty());
    write(std::string(kRecordA, kRecordASize));
    EXPECT_EQ(records.mergeOneAlarm(), 2);
    EXPECT_EQ(records.mergeOneAlarm(), 2);
    EXPECT_EQ(records.alarmMap.size(), 1u);
}

TEST(StationFiles, MissingAndShortFilesFailAndLeaveTheRecords) {
    QTemporaryDir dir;
    StationRecords records(dir.path() + "/");
    EXPECT_EQ(records.readParameters(), -1);
    EXPECT_EQ(records.readAlarms(), -1);
    EXPECT_EQ(records.readHistory(), -1);

    auto write = [&](const char* name, const QByteArray& bytes) {
        QFile f(records.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    write(kParametersFile, QByteArray(211, 1));
    EXPECT_EQ(records.readParameters(), -1);
    EXPECT_EQ(std::string(records.parameters.SoftwareVersion), "ZZZZ");
    write(kHistoryFile, QByteArray(2799, char(0xFF)));
    EXPECT_EQ(records.readHistory(), -2);

    // A short alarm file reads as zero bytes past its end.
    const std::vector<uint8_t> block = blockBytes(std::begin(kValidBlock), std::end(kValidBlock));
    write(kParametersFile, QByteArray(reinterpret_cast<const char*>(block.data()), kParaSize));
    ASSERT_EQ(records.readParameters(), 0);
    records.parameters.AlarmRingStart = 0;
    records.parameters.AlarmRingEnd = kRecordASize + kAlarmFixedBytes;
    write(kAlarmsFile, QByteArray(kRecordA, kRecordASize));
    ASSERT_EQ(records.readAlarms(), 0);
    ASSERT_EQ(records.alarmMap.size(), 2u);
    EXPECT_EQ(records.alarmMap.at(2).AlarmNumber, 0);
}

}  // namespace
}  // namespace vm418
