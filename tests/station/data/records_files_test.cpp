// The document's file operations: default names in the working folder, missing, short and
// unparsable files.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstring>
#include <functional>

#include "csv_cell.h"
#include "record_text.h"
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
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(bytes.data(), qint64(bytes.size()));
    };
    EXPECT_EQ(records.mergeOneAlarm(), -1);  // no file
    // Too short, garbage, an impossible graph length or date: nothing is merged.
    for (const std::string& bytes :
         {std::string("1"), std::string("12"), std::string(200, '\0'),
          alarmRecord("150 1 1 1", "01-02-03 04:05:06", "1 1 1 500", "1 1 A", "U"),
          alarmRecord("150 1 1 1", "00-00-00 00:00:00", "1 1 1 0", "1 1 A", "U")}) {
        write(bytes);
        EXPECT_EQ(records.mergeOneAlarm(), -1) << bytes;
    }
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
    EXPECT_EQ(records.fileError(),
              records.filePath(kParametersFile) + " (No such file or directory)");
    EXPECT_EQ(records.readAlarms(), -1);
    EXPECT_EQ(records.readHistory(), -1);

    auto write = [&](const char* name, const QByteArray& bytes) {
        QFile f(records.filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    };
    write(kParametersFile, QByteArray(211, 1));
    EXPECT_EQ(records.readParameters(), -1);
    EXPECT_EQ(records.fileError(), records.filePath(kParametersFile) + " (211 bytes, 212 needed)");
    EXPECT_EQ(std::string(records.parameters.SoftwareVersion), "ZZZZ");
    write(kHistoryFile, QByteArray(2799, char(0xFF)));
    EXPECT_EQ(records.readHistory(), -2);
    EXPECT_EQ(records.fileError(), records.filePath(kHistoryFile) + " (2799 bytes, 2800 needed)");

    // A short alarm file reads as zero bytes past its end, and they make no record.
    const std::vector<uint8_t> block = blockBytes(std::begin(kValidBlock), std::end(kValidBlock));
    write(kParametersFile, QByteArray(reinterpret_cast<const char*>(block.data()), kParaSize));
    ASSERT_EQ(records.readParameters(), 0);
    records.parameters.AlarmRingStart = 0;
    records.parameters.AlarmRingEnd = kRecordASize + kAlarmFixedBytes;
    write(kAlarmsFile, QByteArray(kRecordA, kRecordASize));
    ASSERT_EQ(records.readAlarms(), 0);
    ASSERT_EQ(records.alarmMap.size(), 1u);
    EXPECT_EQ(records.alarmMap.at(1).AlarmNumber, 50);
    EXPECT_EQ(records.unreadableAlarms, 1);
}

// A FIFO, a folder or a device in a file's place is refused at once, never waited on or read.
TEST(StationFiles, FilesThatAreNotRegularFilesAreRefused) {
    QTemporaryDir dir;
    StationRecords records(dir.path() + "/");
    const struct {
        const char* name;
        std::function<int()> read;
    } files[] = {
        {kParametersFile, [&] { return records.readParameters(); }},
        {kHistoryFile, [&] { return records.readHistory(); }},
        {kAlarmsFile, [&] { return records.readAlarms(); }},
        {kSingleAlarmFile, [&] { return records.mergeOneAlarm(); }},
    };
    for (const auto& f : files) {
        const QByteArray path = QFile::encodeName(records.filePath(f.name));
        ASSERT_EQ(::mkfifo(path.constData(), 0644), 0) << f.name;
        EXPECT_EQ(f.read(), -1) << f.name;
        EXPECT_EQ(records.fileError(), records.filePath(f.name) + " (not a regular file)");
        ::unlink(path.constData());
        ASSERT_TRUE(QDir(dir.path()).mkdir(f.name));
        EXPECT_EQ(f.read(), -1) << f.name;
        EXPECT_EQ(records.fileError(), records.filePath(f.name) + " (not a regular file)");
        ASSERT_TRUE(QDir(dir.path()).rmdir(f.name));
        ASSERT_TRUE(QFile::link("/dev/zero", records.filePath(f.name)));
        EXPECT_EQ(f.read(), -1) << f.name;
        EXPECT_EQ(records.fileError(), records.filePath(f.name) + " (not a regular file)");
        ASSERT_TRUE(QFile::remove(records.filePath(f.name)));
    }
    EXPECT_EQ(std::string(records.parameters.SoftwareVersion), "ZZZZ");
    EXPECT_TRUE(records.alarmMap.empty());
    EXPECT_TRUE(records.historyMap.empty());
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

// Cells a spreadsheet would run as a formula are written as text; numbers, including
// negative ones, stay numbers; separators and quotes are quoted.
TEST(CsvExport, FormulaTextsBecomeTextAndNumbersStayNumbers) {
    const std::pair<const char*, const char*> cells[] = {
        {"=1+1", "'=1+1"},
        {"+41 AB", "'+41 AB"},
        {"@SUM(A1)", "'@SUM(A1)"},
        {"-2+3", "'-2+3"},
        {"\t=x", "'\t=x"},
        {"=HYPERLINK(\"x\",\"y\")", "\"'=HYPERLINK(\"\"x\"\",\"\"y\"\")\""},
        {"-12", "-12"},
        {"+3.5", "+3.5"},
        {"-1e-3", "-1e-3"},
        {"-", "'-"},
        {"A=B", "A=B"},
        {"a,b", "\"a,b\""},
        {"", ""},
    };
    for (const auto& [text, cell] : cells)
        EXPECT_EQ(csvCell(QString::fromLatin1(text)), QString::fromLatin1(cell)) << text;

    alarms a;
    a.DateTime = 1228118400;
    a.Direction = 'I';
    a.Detector = '=';
    std::strcpy(a.StatusWord, "=cmd|' /C calc'!A0");
    std::strcpy(a.BGtime, "-00:12");
    a.Len = 2;
    a.Graph = {-5, 7};
    a.Threshold = -250;
    const QStringList rows = alarmsCsv({{1, a}}).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 2);
    EXPECT_TRUE(rows[1].endsWith(",-250,2,0,0,'=,'=cmd|' /C calc'!A0,'-00:12,'-5 7"))
        << rows[1].toStdString();
}

}  // namespace
}  // namespace vm418
