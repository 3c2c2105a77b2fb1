// vm418ctl autocall on one shared store: two station PCs (two processes here) collecting at
// the same time call each due system exactly once, and a collected system is not due again.

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>

#include "db_fixture.h"

namespace vm418::testing {
namespace {

class Autocall : public StationDbTest {
  protected:
    QStringList ctl(const QStringList& args, int* exitCode = nullptr) {
        QProcess p;
        p.setWorkingDirectory(dir_.path());
        p.start(VM418CTL_PATH, QStringList{"--db", connection_} + args);
        EXPECT_TRUE(p.waitForFinished(120000));
        if (exitCode) *exitCode = p.exitCode();
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        // Only autocall's lines are log lines with their time.
        return args.contains("autocall") ? untimedLines(out) : out.split('\n', Qt::SkipEmptyParts);
    }
};

TEST_P(Autocall, TwoStationsCallEachDueSystemOnce) {
    // Four due systems on two ports, one that is never called automatically.
    for (int id = 1; id <= 5; ++id) {
        const QString port = QString("COM%1 9600 0 0 8 3").arg((id + 1) / 2);
        ctl({"systems", "add", "--system", QString::number(id), "--name",
             QString("Gate %1").arg(id), "--modem", "555", "--port-settings", port,
             "--autocall-period", id == 5 ? "0" : "30"});
    }
    QProcess first, second;
    for (QProcess* p : {&first, &second}) {
        p->setWorkingDirectory(dir_.path());
        p->start(VM418CTL_PATH, {"--db", connection_, "autocall", "--once", "--simulate"});
    }
    QStringList lines;
    for (QProcess* p : {&first, &second}) {
        ASSERT_TRUE(p->waitForFinished(120000));
        const QString out = QString::fromUtf8(p->readAllStandardOutput());
        EXPECT_EQ(p->exitCode(), 0) << out.toStdString();
        lines += untimedLines(out);
    }
    const std::string out = lines.join('\n').toStdString();
    for (int id = 1; id <= 4; ++id)
        EXPECT_EQ(
            lines.filter(QRegularExpression(QString("^system %1 Gate %1: collected, ").arg(id)))
                .size(),
            1)
            << out;
    EXPECT_EQ(lines.filter(": collected, ").size(), 4) << out;
    EXPECT_TRUE(lines.filter("system 5").isEmpty()) << out;
    EXPECT_EQ(count("SELECT COUNT(*) FROM System WHERE LastContactTime IS NOT NULL"), 4);
    EXPECT_EQ(count("SELECT COUNT(*) FROM Parameters"), 4);

    int exitCode = -1;
    EXPECT_EQ(ctl({"autocall", "--once", "--simulate"}, &exitCode),
              QStringList{"No system is due"});
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(ctl({"systems", "list"})[0].contains("every 30 min"));

    // A store that refuses the history: the system is not collected, the line says why, and
    // it stays due.
    ASSERT_TRUE(execSql(connection_,
                        GetParam() == Backend::SQLite
                            ? "CREATE TRIGGER NoHistory BEFORE INSERT ON History "
                              "BEGIN SELECT RAISE(ABORT, 'history is closed'); END"
                            : "CREATE FUNCTION NoHistory() RETURNS trigger AS $$ BEGIN "
                              "RAISE EXCEPTION 'history is closed'; END $$ LANGUAGE plpgsql"));
    if (GetParam() == Backend::PostgreSQL) {
        ASSERT_TRUE(execSql(connection_,
                            "CREATE TRIGGER NoHistory BEFORE INSERT ON History "
                            "FOR EACH ROW EXECUTE FUNCTION NoHistory()"));
    }
    ASSERT_TRUE(execSql(connection_, "DELETE FROM History WHERE SysID = 1"));
    ASSERT_TRUE(execSql(connection_, "UPDATE System SET LastContactTime = NULL WHERE SysID = 1"));
    lines = ctl({"autocall", "--once", "--simulate"}, &exitCode);
    EXPECT_EQ(exitCode, 1) << lines.join('\n').toStdString();
    // Each refused file on a line of its own (on connecting and in the collection), then
    // the system's line.
    ASSERT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
    EXPECT_EQ(lines.filter(QRegularExpression("^system 1: Downloading history file: failed - "
                                              "Database error - .*history is closed"))
                  .size(),
              2)
        << lines.join('\n').toStdString();
    EXPECT_TRUE(lines[2].startsWith("system 1 Gate 1: failed, the database did not take "
                                    "everything (Database error - "))
        << lines[2].toStdString();
    EXPECT_TRUE(lines[2].contains("history is closed")) << lines[2].toStdString();
    EXPECT_EQ(count("SELECT COUNT(*) FROM System WHERE LastContactTime IS NULL AND SysID = 1"), 1);

    // A history file that cannot be written where it is received: "failed" with the file
    // and its reason, exit 1, and the system stays due.
    ASSERT_TRUE(execSql(connection_, "DROP TRIGGER NoHistory" +
                                         QString(GetParam() == Backend::PostgreSQL
                                                     ? " ON History"
                                                     : "")));
    QFile::remove(dir_.path() + "/TEMP/sys1/history.418");  // the last call's
    ASSERT_TRUE(QDir(dir_.path()).mkpath("TEMP/sys1/history.418/in-the-way"));
    // By default a failed system is called again a minute later; here at once.
    EXPECT_EQ(ctl({"autocall", "--once", "--simulate"}), QStringList{"No system is due"});
    lines = ctl({"autocall", "--once", "--simulate", "--retry-first", "0"}, &exitCode);
    EXPECT_EQ(exitCode, 1) << lines.join('\n').toStdString();
    ASSERT_FALSE(lines.isEmpty());
    EXPECT_TRUE(lines.last().startsWith("system 1 Gate 1: failed (Downloading history file: "
                                        "failed - cannot save "))
        << lines.join('\n').toStdString();
    EXPECT_TRUE(lines.filter("collected").isEmpty()) << lines.join('\n').toStdString();
    EXPECT_EQ(count("SELECT COUNT(*) FROM System WHERE LastContactTime IS NULL AND SysID = 1"), 1);

    // Each call is an attempt of its system: two that stored some files but not all, in a
    // row; the retries of a period are spent, then the next period's call is due.
    EXPECT_EQ(count("SELECT COUNT(*) FROM CallAttempts WHERE Result = 'collected'"), 4);
    EXPECT_EQ(count("SELECT MAX(FailuresInRow) FROM CallAttempts WHERE SysID = 1 AND "
                    "Result = 'partial'"),
              2);
    EXPECT_TRUE(
        lines.last().contains(QRegularExpression(R"(, next call \d\d-\d\d-\d\d \d\d:\d\d:\d\d$)")))
        << lines.join('\n').toStdString();
    ASSERT_TRUE(execSql(connection_, "DELETE FROM History WHERE SysID = 1"));
    lines = ctl({"autocall", "--once", "--simulate", "--retry-first", "0", "--retries", "2"});
    EXPECT_EQ(lines.size(), 3) << lines.join('\n').toStdString();
    EXPECT_EQ(ctl({"autocall", "--once", "--simulate", "--retry-first", "0", "--retries", "2"}),
              QStringList{"No system is due"});
}

INSTANTIATE_TEST_SUITE_P(Engines, Autocall, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         backendName);

}  // namespace
}  // namespace vm418::testing
