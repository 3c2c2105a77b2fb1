// The System table: rows for the selection list, one row by SysID, and the write-back of
// the port settings and modem initialisation text.

#include "systems.h"
#include "call_attempts.h"
#include "db_fixture.h"

namespace vm418 {
namespace {

using testing::Backend;
using testing::DbLogCapture;

class Systems : public testing::StationDbTest {};

CSystemRset station(int id, const QString& serial) {
    CSystemRset r;
    r.SysID = id;
    r.Serial = serial;
    r.SystemDescription = "Gate " + serial;
    r.Modem = "0049301234" + QString::number(id);
    r.COMportSettings = "COM1 9600 0 0 8 0";
    r.InitString = "ATZ";
    r.Password = "1418";
    return r;
}

TEST_P(Systems, RowsListedAndReadBack) {
    ASSERT_EQ(saveSystem(connection_, station(2, "B-2")), kDbOk);
    ASSERT_EQ(saveSystem(connection_, station(1, "A'1")), kDbOk);
    std::vector<CSystemRset> rows;
    ASSERT_EQ(listSystems(connection_, rows), kDbOk);
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].SysID, 1);
    EXPECT_EQ(rows[0].Serial, "A'1");
    EXPECT_EQ(rows[1].SystemDescription, "Gate B-2");
    EXPECT_FALSE(rows[1].LastContactTime.isValid());

    std::optional<CSystemRset> one;
    ASSERT_EQ(readSystem(connection_, 2, one), kDbOk);
    ASSERT_TRUE(one.has_value());
    EXPECT_EQ(one->Modem, "00493012342");
    EXPECT_EQ(one->Password, "1418");
    ASSERT_EQ(readSystem(connection_, 3, one), kDbOk);
    EXPECT_FALSE(one.has_value());
}

TEST_P(Systems, WriteBackChangesOnlyThePortSettingsAndInitString) {
    ASSERT_EQ(saveSystem(connection_, station(4, "D4")), kDbOk);
    ASSERT_EQ(writeBackPortSettings(connection_, 4, "COM2 2400 0 0 8 0", "AT&F E0"), kDbOk);
    std::optional<CSystemRset> row;
    ASSERT_EQ(readSystem(connection_, 4, row), kDbOk);
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->COMportSettings, "COM2 2400 0 0 8 0");
    EXPECT_EQ(row->InitString, "AT&F E0");
    EXPECT_EQ(row->Serial, "D4");
    EXPECT_EQ(row->Modem, "00493012344");
}

TEST_P(Systems, WriteBackForAMissingRowIsADatabaseError) {
    DbLogCapture log;
    EXPECT_EQ(writeBackPortSettings(connection_, 99, "COM1 9600 0 0 8 0", ""), kDbException);
    EXPECT_EQ(log.lines(), QStringList{"Database error - no system with SysID 99"});
}

// After calls that did not collect everything: pauses of 60, 120, then 200 s (the most),
// then the period counted from the first failed call of the period; a success resets it.
TEST(AutoCallRetry, PausesGrowToTheMostThenTheNextPeriod) {
    CSystemRset row = station(1, "A");
    row.AutoCallPeriod = 60;
    const QDateTime t0 = QDateTime::fromSecsSinceEpoch(1'800'000'000);
    row.LastContactTime = t0.addSecs(-3600);
    const RetryRule rule{60, 200, 3};
    std::vector<CallAttempt> newest;
    EXPECT_EQ(nextAutoCall(row, newest, rule), t0);
    for (const int pause : {60, 120, 200, -1}) {
        const QDateTime started = newest.empty() ? t0 : newest.front().Ended.addSecs(1000);
        CallAttempt a{
            1, started, started.addSecs(10), kCallFailed, "BUSY", int(newest.size()) + 1, "pc", {}};
        newest.insert(newest.begin(), a);
        EXPECT_EQ(nextAutoCall(row, newest, rule),
                  pause > 0 ? a.Ended.addSecs(pause) : t0.addSecs(3600))
            << newest.size();
    }
    row.LastContactTime = newest.front().Ended.addSecs(5);  // a contact kept elsewhere
    EXPECT_EQ(nextAutoCall(row, newest, rule), row.LastContactTime.addSecs(3600));
    row.AutoCallPeriod = 0;
    EXPECT_FALSE(nextAutoCall(row, newest, rule));
}

INSTANTIATE_TEST_SUITE_P(Engines, Systems, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         testing::backendName);

}  // namespace
}  // namespace vm418
