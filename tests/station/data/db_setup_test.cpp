// Setting up the data source on a PostgreSQL server: the user's ODBC files, the role, the
// tables, and the station program's own connection text working through them.

#include <gtest/gtest.h>

#include <QFile>
#include <QSqlQuery>
#include <QTemporaryDir>

#include "db_fixture.h"
#include "db_setup.h"
#include "station_records.h"

namespace vm418 {
namespace {

// Keeps the ODBC environment of the test run and puts it back afterwards.
class OdbcEnvironment {
  public:
    OdbcEnvironment() : ini_(qgetenv("ODBCINI")), sysIni_(qgetenv("ODBCSYSINI")) {}
    ~OdbcEnvironment() {
        qputenv("ODBCINI", ini_);
        qputenv("ODBCSYSINI", sysIni_);
    }

  private:
    QByteArray ini_, sysIni_;
};

TEST(DbSetupPostgreSQL, WritesTheDataSourceChecksTheRoleAndCreatesTheTablesOnce) {
    const QString conninfo = qEnvironmentVariable("VM418_TEST_PG_CONNINFO");
    const QString server = qEnvironmentVariable("VM418_TEST_PG");
    if (conninfo.isEmpty() || server.isEmpty()) {
        if (qEnvironmentVariableIsSet("VM418_TEST_REQUIRE_PG")) FAIL() << "no PostgreSQL server";
        GTEST_SKIP() << "no PostgreSQL server for this run (scripts/run-tests starts one)";
    }
    const QString database = QStringLiteral("setup_%1").arg(QCoreApplication::applicationPid());
    ASSERT_TRUE(testing::execSql(server, "CREATE DATABASE " + database));
    QTemporaryDir dir;
    {
        OdbcEnvironment keep;
        DbSetup setup;
        setup.conninfo = QString(conninfo).replace("dbname=vm418", "dbname=" + database);
        setup.createRole = true;
        setup.configFolder = dir.path();
        for (int run = 0; run < 2; ++run) {
            QStringList told;
            ASSERT_EQ(initDatabase(setup, [&](const QString& m) { told << m; }), 0)
                << told.join('\n').toStdString();
            EXPECT_EQ(told, QStringList({"Role \"CREATOR\" already exists",
                                         "Data source VM418 written to " + dir.path() + "/odbc.ini",
                                         "Tables of VM418 are in place."}));
        }
        QFile ini(dir.path() + "/odbc.ini");
        ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
        const QByteArray text = ini.readAll();
        EXPECT_TRUE(text.contains("Driver=PostgreSQL Unicode")) << text.toStdString();
        EXPECT_TRUE(text.contains(("Database=" + database).toUtf8())) << text.toStdString();

        // The program's own connection text now reaches the new tables.
        StationRecords records;
        records.connectionText = QString::fromLatin1(kDefaultConnectionText);
        records.SysID = 1;
        records.historyMap = {{1, {1, "START", 1228118400, {}}}};
        ASSERT_EQ(records.storeHistory(), kDbOk);
        EXPECT_EQ(testing::countRows(records.connectionText, "SELECT COUNT(*) FROM History"), 1);
    }
    testing::execSql(server, "DROP DATABASE IF EXISTS " + database);
}

// Passwords in every form a connection text gives them; the rest of the text stays.
TEST(MaskSecrets, PasswordsOfOdbcAndConninfoTextsAreStarredTheRestStays) {
    const std::pair<QString, QString> cases[] = {
        {"DSN=VM418;UID=CREATOR;PWD=358", "DSN=VM418;UID=CREATOR;PWD=***"},
        {"driver=x;pwd=a b c;uid=y", "driver=x;pwd=***;uid=y"},     // blanks end no ODBC value
        {"DRIVER=x;PWD={a;b}}c};UID=y", "DRIVER=x;PWD=***;UID=y"},  // braces, "}}" inside
        {"host=h password=s3cret dbname=d", "host=h password=*** dbname=d"},
        {"host=h PASSWORD = 'a b\\' c' port=1", "host=h PASSWORD = *** port=1"},
        {"postgresql://creator:s3cret@db/vm418", "postgresql://creator:***@db/vm418"},
        {"DSN=VM418;UID=PWDUSER;OldPWD=1", "DSN=VM418;UID=PWDUSER;OldPWD=1"},  // other keys
        {"connection to server at \"h\", port 1 failed",
         "connection to server at \"h\", port 1 failed"},
    };
    for (const auto& [text, shown] : cases)
        EXPECT_EQ(maskSecrets(text), shown) << text.toStdString();
}

}  // namespace
}  // namespace vm418
