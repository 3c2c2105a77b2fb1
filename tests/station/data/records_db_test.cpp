// The document's database operations on both engines: the import with its duplicate rule,
// the loads with their conditions, the messages, and a failed store that leaves nothing.

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QRegularExpression>
#include <latch>
#include <thread>

#include "db_fixture.h"
#include "station_golden.h"
#include "station_records.h"

namespace vm418 {
namespace {

using namespace golden;
using testing::Backend;
using testing::DbLogCapture;

class Records : public testing::StationDbTest {
  protected:
    void SetUp() override {
        StationDbTest::SetUp();
        if (IsSkipped() || HasFatalFailure()) return;
        records_ = std::make_unique<StationRecords>(dir_.path() + "/",
                                                    [this](const QString& m) { messages_ << m; });
        records_->connectionText = connection_;
        records_->SysID = 7;
    }

    void writeFile(const char* name, const void* data, std::size_t size) {
        QFile f(records_->filePath(name));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(static_cast<const char*>(data), qint64(size));
    }

    // A download: the valid block pointing at three alarms (one the golden record), and a
    // history of three events.
    void writeDownload() {
        PARA_418 p = validBlock();
        auto ring = emptyRing();
        const std::string recs[] = {
            std::string(kRecordA, kRecordASize),
            alarmRecord("251 2 30 8", "11-12-08 09:10:11", "3 9 120 0", "300 20 A", "U"),
            alarmRecord("120 4 50 9", "11-12-08 09:15:00", "5 9 130 2", "310 21 B", "U", {5, 6}),
        };
        int at = 14900;
        p.AlarmRingStart = int16_t(at);
        for (const std::string& r : recs) {
            putRecord(ring, at, r);
            at = (at + int(r.size())) % kAlarmRingSize;
        }
        p.AlarmRingEnd = int16_t(at);
        writeFile(kParametersFile, &p, kParaSize);
        writeFile(kAlarmsFile, ring.data(), ring.size());
        const auto history = historyFile({historySlot("START", "12-01-08 08:00:00"),
                                          historySlot("DOOR", "12-01-08 08:05:00"),
                                          historySlot("ALARM", "12-01-08 09:00:00")});
        writeFile(kHistoryFile, history.data(), history.size());
    }

    void insertAlarmRowAt(const QDateTime& when) {
        ASSERT_TRUE(testing::execSql(connection_,
                                     "INSERT INTO Alarms VALUES (7, ?, 12, 73, 1, 2, 3, 4, 5, 6, "
                                     "0, 7, 8, 65, 'STATUS', '00:00:01', NULL)",
                                     {when}));
    }

    int rows(const char* table, int sysId = 7) {
        return count(QStringLiteral("SELECT COUNT(*) FROM %1 WHERE SysID = ?").arg(table), {sysId});
    }

    std::unique_ptr<StationRecords> records_;
    QStringList messages_;
};

TEST_P(Records, ImportingTheSameFilesTwiceAddsTheirRowsOnce) {
    writeDownload();
    ImportReport report = records_->importDownloadedFiles();
    ASSERT_EQ(report.storeResult, kDbOk);
    EXPECT_TRUE(report.allFilesRead());
    EXPECT_EQ(report.unreadableAlarms + report.unreadableHistory, 0);
    EXPECT_EQ(rows("Alarms"), 3);
    EXPECT_EQ(rows("History"), 3);
    EXPECT_EQ(rows("Parameters"), 1);
    ASSERT_EQ(records_->importDownloadedFiles().storeResult, kDbOk);
    EXPECT_EQ(rows("Alarms"), 3);
    EXPECT_EQ(rows("History"), 3);
    EXPECT_EQ(rows("Parameters"), 1);
    EXPECT_TRUE(messages_.isEmpty()) << messages_.join('|').toStdString();

    // What was stored loads back as it was parsed.
    const AlarmMap parsed = records_->alarmMap;
    const HistoryMap history = records_->historyMap;
    records_->alarmMap.clear();
    records_->historyMap.clear();
    ASSERT_EQ(records_->loadAlarms(), kDbOk);
    ASSERT_EQ(records_->alarmMap.size(), parsed.size());
    for (const auto& [key, a] : records_->alarmMap) {
        const alarms& p = parsed.at(key);
        EXPECT_EQ(a.Index, key);
        EXPECT_EQ(a.DateTime, p.DateTime);
        EXPECT_EQ(a.Direction, p.Direction);
        EXPECT_EQ(a.AlarmNumber, p.AlarmNumber);
        EXPECT_EQ(a.InBG, p.InBG);
        EXPECT_EQ(a.Threshold, p.Threshold);
        EXPECT_EQ(a.Max, p.Max);
        EXPECT_EQ(a.Detector, p.Detector);
        EXPECT_STREQ(a.StatusWord, p.StatusWord);
        EXPECT_STREQ(a.BGtime, p.BGtime);
        EXPECT_EQ(a.Len, p.Len);
        EXPECT_EQ(a.Graph, p.Graph);
    }
    ASSERT_EQ(records_->loadHistory(), kDbOk);
    ASSERT_EQ(records_->historyMap.size(), 3u);
    for (const auto& [key, h] : records_->historyMap) {
        EXPECT_EQ(h.Event, history.at(key).Event);
        EXPECT_EQ(h.DateTime, history.at(key).DateTime);
    }
}

// Two station PCs import the same download at the same moment, each over its own
// connection: every block, event and alarm is stored once and both imports succeed (on
// SQLite the second writer waits for the first instead of failing with "database is
// locked"). Several rounds, one station each, give the race its chances.
TEST_P(Records, TwoImportsAtTheSameTimeStoreEachRecordOnce) {
    writeDownload();
    for (int sysId = 20; sysId < 24; ++sysId) {
        ImportReport reports[2];
        QString errors[2];
        std::latch start(2);
        std::vector<std::thread> importers;
        for (int i = 0; i < 2; ++i)
            importers.emplace_back([&, i] {
                StationRecords importer(dir_.path() + "/", [](const QString&) {});
                importer.connectionText = connection_;
                importer.SysID = sysId;
                start.arrive_and_wait();
                reports[i] = importer.importDownloadedFiles();
                errors[i] = importer.dbError();
            });
        for (std::thread& t : importers)
            t.join();
        for (int i = 0; i < 2; ++i)
            ASSERT_EQ(reports[i].storeResult, kDbOk) << errors[i].toStdString();
        EXPECT_EQ(rows("Alarms", sysId), 3);
        EXPECT_EQ(rows("History", sysId), 3);
        EXPECT_EQ(rows("Parameters", sysId), 1);
        EXPECT_EQ(reports[0].storedAlarms + reports[1].storedAlarms, 3);
        EXPECT_EQ(reports[0].storedHistory + reports[1].storedHistory, 3);
        EXPECT_EQ(reports[0].storedParameters + reports[1].storedParameters, 1);
    }
}

TEST_P(Records, ImportTellsWhichFilesCouldNotBeReadAndStoresAFailingBlock) {
    const QString folder = dir_.path() + "/";
    ImportReport report = records_->importDownloadedFiles();
    ASSERT_EQ(report.storeResult, kDbOk);
    EXPECT_FALSE(report.parametersRead || report.historyRead || report.alarmsRead);
    EXPECT_EQ(
        messages_,
        QStringList(
            {"Can't read parameters file " + folder + "sys_par.418 (No such file or directory)",
             "Can't read history file " + folder + "history.418 (No such file or directory)",
             "Can't read alarms file " + folder +
                 "alarmfi.418 (it is located by the parameters file, which could "
                 "not be read)"}));
    messages_.clear();
    PARA_418 p = validBlock();
    std::memcpy(p.Password, "0000", 5);
    p.Contrast = 100;
    writeFile(kParametersFile, &p, kParaSize);
    report = records_->importDownloadedFiles();
    ASSERT_EQ(report.storeResult, kDbOk);
    EXPECT_TRUE(report.parametersRead);
    EXPECT_FALSE(report.allFilesRead());
    EXPECT_EQ(
        messages_,
        QStringList(
            {" Password, Contrast Settings",
             "Can't read history file " + folder + "history.418 (No such file or directory)",
             "Can't read alarms file " + folder + "alarmfi.418 (No such file or directory)"}));
    EXPECT_EQ(rows("Parameters"), 1);
}

// The alarm ring is never read with a block that does not belong to it: without its
// parameter file no alarm is stored, and the history still is.
TEST_P(Records, AlarmsAreNotImportedWithoutTheirParameterFile) {
    writeDownload();
    ASSERT_TRUE(QFile::remove(records_->filePath(kParametersFile)));
    ASSERT_TRUE(QDir(dir_.path()).mkdir(kParametersFile));  // not a file: refused
    const ImportReport report = records_->importDownloadedFiles();
    ASSERT_EQ(report.storeResult, kDbOk);
    EXPECT_FALSE(report.parametersRead);
    EXPECT_TRUE(report.historyRead);
    EXPECT_FALSE(report.alarmsRead);
    EXPECT_EQ(rows("Alarms"), 0);
    EXPECT_EQ(rows("History"), 3);
    EXPECT_EQ(messages_.size(), 2) << messages_.join('|').toStdString();
    EXPECT_EQ(messages_.value(0), "Can't read parameters file " +
                                      records_->filePath(kParametersFile) +
                                      " (not a regular file)");
    EXPECT_TRUE(messages_.value(1).startsWith("Can't read alarms file "))
        << messages_.value(1).toStdString();
}

// Records that cannot be read are counted and told, and only the good ones are stored.
TEST_P(Records, UnreadableRecordsAreSkippedToldAndNotStored) {
    PARA_418 p = validBlock();
    auto ring = emptyRing();
    const std::string recs[] = {
        std::string(kRecordA, kRecordASize),
        alarmRecord("251 2 30 8", "00-00-00 00:00:00", "3 9 120 0", "300 20 A", "U"),
    };
    int at = 0;
    for (const std::string& r : recs) {
        putRecord(ring, at, r);
        at += int(r.size());
    }
    p.AlarmRingStart = 0;
    p.AlarmRingEnd = int16_t(at + 300);  // on into zero bytes
    writeFile(kParametersFile, &p, kParaSize);
    writeFile(kAlarmsFile, ring.data(), ring.size());
    const auto history = historyFile(
        {historySlot("START", "12-01-08 08:00:00"), historySlot("DOOR", "12-32-08 08:05:00")});
    writeFile(kHistoryFile, history.data(), history.size());

    const ImportReport report = records_->importDownloadedFiles();
    ASSERT_EQ(report.storeResult, kDbOk);
    EXPECT_TRUE(report.allFilesRead());
    EXPECT_EQ(report.unreadableAlarms, 2);
    EXPECT_EQ(report.unreadableHistory, 1);
    EXPECT_EQ(messages_, QStringList({"1 history event skipped as unreadable",
                                      "2 alarm records skipped as unreadable"}));
    EXPECT_EQ(rows("Alarms"), 1);
    EXPECT_EQ(rows("History"), 1);
    EXPECT_EQ(count("SELECT COUNT(*) FROM Alarms WHERE Len = 0"), 0);
}

// Values the database cannot hold (a date past its years, a graph without Len values, a
// text with NUL or longer than its column) are caught before the store: those records are
// passed over and told, the others stored, and the engine refuses nothing.
TEST_P(Records, RecordsTheDatabaseCannotHoldArePassedOverAndTold) {
    writeDownload();
    ASSERT_EQ(records_->readParameters(), 0);
    ASSERT_EQ(records_->readAlarms(), 0);
    alarms farAhead = records_->alarmMap.at(1);
    farAhead.AlarmNumber = 99;
    farAhead.DateTime = std::time_t{400000000000};  // the year 14645
    alarms shortGraph = records_->alarmMap.at(3);
    shortGraph.AlarmNumber = 98;
    shortGraph.Graph.pop_back();
    records_->alarmMap.emplace(10, farAhead);
    records_->alarmMap.emplace(11, shortGraph);
    DbLogCapture log;
    ASSERT_EQ(records_->storeAlarms(), kDbOk);
    EXPECT_EQ(rows("Alarms"), 3);
    const std::time_t t = 1228118400;
    records_->historyMap = {{1, {1, QString::fromLatin1("DO\0OR", 5), t, {}}},
                            {2, {2, QString(256, 'X'), t, {}}},
                            {3, {3, "DOOR", t, {}}}};
    ASSERT_EQ(records_->storeHistory(), kDbOk);
    EXPECT_EQ(rows("History"), 1);
    EXPECT_EQ(messages_,
              QStringList({"2 alarm record(s) not stored: a date or graph the database cannot hold",
                           "2 history event(s) not stored: a date or text the database cannot "
                           "hold"}));
    EXPECT_TRUE(log.lines().isEmpty()) << log.lines().join('\n').toStdString();
}

TEST_P(Records, SameAlarmAtTwoStationsIsStoredForEach) {
    writeDownload();
    ASSERT_EQ(records_->readParameters(), 0);
    ASSERT_EQ(records_->readAlarms(), 0);
    ASSERT_EQ(records_->storeAlarms(), kDbOk);
    records_->SysID = 8;
    ASSERT_EQ(records_->storeAlarms(), kDbOk);
    EXPECT_EQ(rows("Alarms", 7), 3);
    EXPECT_EQ(rows("Alarms", 8), 3);
}

TEST_P(Records, SameHistoryTextAtTheSameSecondIsStoredOnce) {
    const std::time_t t = 1228118400;
    records_->historyMap = {
        {1, {1, "DOOR", t, {}}}, {2, {2, "DOOR", t, {}}}, {3, {3, "DOOR", t + 1, {}}}};
    ASSERT_EQ(records_->storeHistory(), kDbOk);
    EXPECT_EQ(rows("History"), 2);
}

TEST_P(Records, EventTextWithQuotesIsStoredAndFound) {
    const QString text = "O'NEIL \"X\" ;--";
    records_->historyMap = {{1, {1, text, 1228118400, {}}}};
    ASSERT_EQ(records_->storeHistory(), kDbOk);
    ASSERT_EQ(records_->storeHistory(), kDbOk);
    EXPECT_EQ(rows("History"), 1);
    ASSERT_EQ(records_->loadHistory(), kDbOk);
    ASSERT_EQ(records_->historyMap.size(), 1u);
    EXPECT_EQ(records_->historyMap.at(1).Event, text);
}

TEST_P(Records, UnchangedBlockAddsNoRowAndAChangedContrastAddsOne) {
    records_->parameters = validBlock();
    ASSERT_EQ(records_->storeParameters(), kDbOk);
    ASSERT_EQ(records_->storeParameters(), kDbOk);
    EXPECT_EQ(rows("Parameters"), 1);
    records_->parameters.reserved10[3] = 0x55;  // a byte no setting lives in
    ASSERT_EQ(records_->storeParameters(), kDbOk);
    EXPECT_EQ(rows("Parameters"), 1);
    records_->parameters.Contrast = 51;
    ASSERT_EQ(records_->storeParameters(), kDbOk);
    EXPECT_EQ(rows("Parameters"), 2);
}

TEST_P(Records, NewestBlockLoadsAndDatesListNewestFirst) {
    const QDateTime older(QDate(2008, 12, 1), QTime(8, 0, 0));
    const QDateTime newer(QDate(2008, 12, 2), QTime(9, 30, 5));
    PARA_418 a = validBlock(), b = validBlock();
    a.Contrast = 11;
    b.Contrast = 22;
    for (const auto& [when, block] : {std::pair{newer, b}, std::pair{older, a}})
        ASSERT_TRUE(testing::execSql(
            connection_, "INSERT INTO Parameters (SysID, DateTime, ParamBuf) VALUES (7, ?, ?)",
            {when, QByteArray(reinterpret_cast<const char*>(&block), kParaSize)}));
    std::vector<std::time_t> dates;
    ASSERT_EQ(records_->listParameterDates(dates), kDbOk);
    ASSERT_EQ(dates.size(), 2u);
    EXPECT_EQ(formatDbDate(dates[0]), "12-02-08 09:30:05");
    EXPECT_EQ(formatDbDate(dates[1]), "12-01-08 08:00:00");

    ASSERT_EQ(records_->loadParameters(), kDbOk);
    EXPECT_EQ(records_->parameters.Contrast, 22);
    ASSERT_EQ(records_->loadParameters(RecordCondition::exactly(dates[1])), kDbOk);
    EXPECT_EQ(records_->parameters.Contrast, 11);

    // A third block in the newest block's second: it is the newest, and each of the two
    // loads by its key.
    PARA_418 c = validBlock();
    c.Contrast = 33;
    ASSERT_TRUE(testing::execSql(
        connection_, "INSERT INTO Parameters (SysID, DateTime, ParamBuf) VALUES (7, ?, ?)",
        {newer, QByteArray(reinterpret_cast<const char*>(&c), kParaSize)}));
    ASSERT_EQ(records_->loadParameters(), kDbOk);
    EXPECT_EQ(records_->parameters.Contrast, 33);
    std::vector<StoredParameters> blocks;
    ASSERT_EQ(records_->listStoredParameters(blocks), kDbOk);
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[0].DateTime, blocks[1].DateTime);
    EXPECT_NE(blocks[0].SeqNum, blocks[1].SeqNum);
    for (const auto& [block, contrast] : {std::pair{blocks[1], 22}, std::pair{blocks[0], 33}}) {
        ASSERT_EQ(records_->loadStoredParameters(block.SeqNum), kDbOk);
        EXPECT_EQ(records_->parameters.Contrast, contrast);
    }
    // The store compares with the newest of that second.
    records_->parameters = c;
    ASSERT_EQ(records_->storeParameters(), kDbOk);
    EXPECT_EQ(rows("Parameters"), 3);
    EXPECT_TRUE(messages_.isEmpty());
}

// A database made before the unique keys: rows it already holds twice are listed and kept;
// once they are gone the keys go in and the engine refuses a second copy. Its parameter
// blocks get their key in the order they were stored.
TEST_P(Records, SchemaUpdateListsStoredDuplicatesAndAddsTheKeysOnceTheyAreGone) {
    const bool pg = GetParam() == Backend::PostgreSQL;
    QString old = schemaFor(pg);
    old.replace("UNIQUE INDEX IF NOT EXISTS AlarmsOnce", "INDEX AlarmsByNumber");
    old.replace("UNIQUE INDEX IF NOT EXISTS HistoryOnce", "INDEX HistoryByEvent");
    old.replace(QRegularExpression(R"(ParamBuf (\w+),\s*SeqNum[^\n]*)"), "ParamBuf \\1");
    old.remove(QRegularExpression("--[^\n]*"));
    for (const char* table : {"Alarms", "History", "Parameters"})
        ASSERT_TRUE(testing::execSql(connection_, QStringLiteral("DROP TABLE %1").arg(table)));
    for (const QString& statement : old.split(';')) {
        if (statement.contains("CREATE")) {
            ASSERT_TRUE(testing::execSql(connection_, statement));
        }
    }
    ASSERT_EQ(count("SELECT COUNT(*) FROM Parameters WHERE 1 = 0"), 0);

    const QDateTime when(QDate(2008, 12, 1), QTime(10, 0, 0));
    for (int copy = 0; copy < 2; ++copy) {
        insertAlarmRowAt(when);
        ASSERT_TRUE(testing::execSql(
            connection_, "INSERT INTO History (SysID, DateTime, Event) VALUES (7, ?, 'DOOR')",
            {when}));
        PARA_418 p = validBlock();
        p.Contrast = int16_t(10 + copy);
        ASSERT_TRUE(testing::execSql(
            connection_, "INSERT INTO Parameters (SysID, DateTime, ParamBuf) VALUES (7, ?, ?)",
            {when, QByteArray(reinterpret_cast<const char*>(&p), kParaSize)}));
    }
    QStringList duplicates;
    ASSERT_EQ(createSchema(connection_, &duplicates), kDbOk);
    EXPECT_EQ(duplicates.join('\n'),
              QStringList({"Alarms SysID 7, AlarmNumber 12, DateTime 2008-12-01 10:00:00: 2 rows",
                           "History SysID 7, Event DOOR, DateTime 2008-12-01 10:00:00: 2 rows"})
                  .join('\n'));
    EXPECT_EQ(rows("Alarms"), 2);
    EXPECT_EQ(rows("History"), 2);
    ASSERT_EQ(records_->loadParameters(), kDbOk);
    EXPECT_EQ(records_->parameters.Contrast, 11);  // stored last
    std::vector<StoredParameters> blocks;
    ASSERT_EQ(records_->listStoredParameters(blocks), kDbOk);
    ASSERT_EQ(blocks.size(), 2u);
    EXPECT_GT(blocks[0].SeqNum, blocks[1].SeqNum);

    // An import still stores nothing twice, and once the copies are gone the keys go in.
    ASSERT_TRUE(testing::execSql(connection_, "DELETE FROM Alarms"));
    ASSERT_TRUE(testing::execSql(connection_, "DELETE FROM History"));
    duplicates.clear();
    ASSERT_EQ(createSchema(connection_, &duplicates), kDbOk);
    EXPECT_TRUE(duplicates.isEmpty()) << duplicates.join('\n').toStdString();
    records_->historyMap = {{1, {1, "DOOR", when.toSecsSinceEpoch(), {}}}};
    ASSERT_EQ(records_->storeHistory(), kDbOk);
    DbConnection conn(connection_);
    ASSERT_TRUE(conn.open());
    QSqlQuery q(conn.db());
    q.prepare("INSERT INTO History (SysID, DateTime, Event) VALUES (7, ?, 'DOOR')");
    q.addBindValue(when);
    EXPECT_FALSE(q.exec()) << "a second copy was taken";
    EXPECT_EQ(rows("History"), 1);
}

TEST_P(Records, ShortParamBufLoadsWithTheLengthMessageOverTheFirstBytes) {
    const QByteArray stored(200, char(0x33));
    ASSERT_TRUE(testing::execSql(
        connection_, "INSERT INTO Parameters (SysID, DateTime, ParamBuf) VALUES (7, ?, ?)",
        {QDateTime(QDate(2008, 12, 1), QTime(8, 0, 0)), stored}));
    records_->parameters = validBlock();
    records_->parameters.reserved176[30] = 0x77;  // offset 206, behind the stored bytes
    ASSERT_EQ(records_->loadParameters(), kDbOk);
    EXPECT_EQ(messages_, QStringList{"Length of ParamBuf field doesn't equal sizeof(PARA_418)"});
    const auto* b = reinterpret_cast<const uint8_t*>(&records_->parameters);
    EXPECT_EQ(b[0], 0x33);
    EXPECT_EQ(b[199], 0x33);
    EXPECT_EQ(b[206], 0x77);
}

void insertAlarmRow(const QString& connection, int len, const QVariant& graph,
                    const QString& status = "STATUS",
                    const QDateTime& when = QDateTime(QDate(2008, 12, 1), QTime(10, 0, 0))) {
    ASSERT_TRUE(testing::execSql(
        connection,
        "INSERT INTO Alarms VALUES (7, ?, 12, 73, 1, 2, 3, 4, 5, 6, ?, 7, 8, 65, ?, '00:00:01', ?)",
        {when, len, status, graph}));
}

TEST_P(Records, AlarmRowWithAGraphOfTheWrongSizeLoadsWithoutIt) {
    insertAlarmRow(connection_, 5, QByteArray(16, char(1)));
    ASSERT_EQ(records_->loadAlarms(), kDbOk);
    EXPECT_EQ(messages_, QStringList{"Error: Alarms table is corrupted!"});
    ASSERT_EQ(records_->alarmMap.size(), 1u);
    const alarms& a = records_->alarmMap.at(1);
    EXPECT_EQ(a.Len, 0);
    EXPECT_TRUE(a.Graph.empty());
    EXPECT_EQ(a.Direction, 'I');
    EXPECT_EQ(a.Detector, 'A');
}

TEST_P(Records, LongStoredTextsAreCutToTheirFields) {
    insertAlarmRow(connection_, 0, QVariant(QMetaType::fromType<QByteArray>()),
                   "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123");
    ASSERT_EQ(records_->loadAlarms(), kDbOk);
    ASSERT_EQ(records_->alarmMap.size(), 1u);
    EXPECT_STREQ(records_->alarmMap.at(1).StatusWord, "ABCDEFGHIJKLMNOPQRSTUVWX");
    EXPECT_TRUE(messages_.isEmpty());
}

TEST_P(Records, PeriodConditionSelectsItsAlarmsAndNothingLeavesTheMapEmpty) {
    insertAlarmRow(connection_, 0, QVariant(QMetaType::fromType<QByteArray>()), "A",
                   QDateTime(QDate(2008, 12, 1), QTime(10, 0, 0)));
    insertAlarmRow(connection_, 0, QVariant(QMetaType::fromType<QByteArray>()), "B",
                   QDateTime(QDate(2008, 12, 3), QTime(10, 0, 0)));
    const auto day = [](int d, int h) {
        return QDateTime(QDate(2008, 12, d), QTime(h, 0, 0)).toSecsSinceEpoch();
    };
    ASSERT_EQ(records_->loadAlarms(RecordCondition::period(day(3, 0), day(3, 23))), kDbOk);
    ASSERT_EQ(records_->alarmMap.size(), 1u);
    EXPECT_STREQ(records_->alarmMap.at(1).StatusWord, "B");
    ASSERT_EQ(records_->loadAlarms(RecordCondition::period(day(5, 0), day(6, 0))), kDbOk);
    EXPECT_TRUE(records_->alarmMap.empty());
    ASSERT_EQ(records_->loadHistory(RecordCondition::period(day(5, 0), day(6, 0))), kDbOk);
    EXPECT_TRUE(records_->historyMap.empty());
}

TEST_P(Records, FailedStoreLeavesTheTablesAsTheyWere) {
    // A unique index the duplicate rule does not know of makes the second insert fail.
    ASSERT_TRUE(testing::execSql(
        connection_, "CREATE UNIQUE INDEX OneEventPerSecond ON History (SysID, DateTime)"));
    const std::time_t t = 1228118400;
    records_->historyMap = {
        {1, {1, "START", t - 5, {}}}, {2, {2, "DOOR", t, {}}}, {3, {3, "ALARM", t, {}}}};
    DbLogCapture log;
    EXPECT_EQ(records_->storeHistory(), kDbException);
    EXPECT_EQ(rows("History"), 0);
    ASSERT_EQ(log.lines().size(), 1);
    EXPECT_TRUE(log.lines()[0].startsWith("Database error - ")) << log.lines()[0].toStdString();
    EXPECT_TRUE(messages_.isEmpty());
}

TEST_P(Records, UnreachableDatabaseChangesNothing) {
    writeDownload();
    ASSERT_EQ(records_->readParameters(), 0);
    ASSERT_EQ(records_->readAlarms(), 0);
    records_->connectionText = "DSN=VM418_NO_SUCH_SOURCE";
    DbLogCapture log;
    EXPECT_EQ(records_->loadAlarms(), kDbCannotConnect);
    EXPECT_EQ(records_->alarmMap.size(), 3u);
    EXPECT_EQ(records_->storeAlarms(), kDbCannotConnect);
    ASSERT_EQ(log.lines().size(), 2);
    EXPECT_TRUE(log.lines()[0].startsWith("Database error - "));
}

TEST_P(Records, SchemaCreationRunsAgainOnAnExistingDatabase) {
    EXPECT_EQ(createSchema(connection_), kDbOk);
    EXPECT_EQ(count("SELECT COUNT(*) FROM System"), 0);
}

INSTANTIATE_TEST_SUITE_P(Engines, Records, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         testing::backendName);

}  // namespace
}  // namespace vm418
