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

// The files of tests/data/station parse to the values written in its README.
TEST(StationFiles, HandMadeDownloadParsesToItsDescription) {
    StationRecords records(QStringLiteral(STATION_TEST_DATA "/download/"));
    ASSERT_EQ(records.readParameters(), 0);
    EXPECT_EQ(validateParameters(records.parameters, defaultStationPasswords()), 0u);
    EXPECT_EQ(records.parameters.SerialNumber, 4711);
    ASSERT_EQ(records.readAlarms(), 0);
    ASSERT_EQ(records.alarmMap.size(), 3u);
    const alarms& first = records.alarmMap.at(1);
    EXPECT_EQ(first.Graph, (std::vector<int32_t>{100, 200, -1}));
    const alarms& wrapped = records.alarmMap.at(2);
    EXPECT_EQ(wrapped.Direction, 'O');
    EXPECT_EQ(localFields(wrapped.DateTime).tm_mon, 2);  // March: month first at the ring's end
    EXPECT_EQ(wrapped.Graph, (std::vector<int32_t>{7, 8}));
    const alarms& third = records.alarmMap.at(3);
    EXPECT_EQ(third.Direction, 'N');
    EXPECT_EQ(third.AlarmNumber, 200);
    EXPECT_EQ(localFields(third.DateTime).tm_mon, 7);  // August: day first
    EXPECT_EQ(localFields(third.DateTime).tm_year, 126);

    ASSERT_EQ(records.readHistory(), 0);
    ASSERT_EQ(records.historyMap.size(), 5u);
    EXPECT_EQ(records.historyMap.at(3).Event, "OPEN  BY OPERATOR 12345");
    EXPECT_EQ(records.historyMap.at(3).DateTime, records.historyMap.at(2).DateTime);
    EXPECT_EQ(localFields(records.historyMap.at(5).DateTime).tm_year, 39);

    ASSERT_EQ(records.readParameters(STATION_TEST_DATA "/sys_par_invalid.418"), 0);
    EXPECT_EQ(
        describeFailedParameters(validateParameters(records.parameters, defaultStationPasswords())),
        " Password, Contrast Settings,  TLC Output");
}

}  // namespace
}  // namespace vm418
