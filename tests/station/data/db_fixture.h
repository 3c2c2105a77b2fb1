// A fresh station database for each test: an SQLite file in a temporary folder, or a
// database of its own on the PostgreSQL server that scripts/run-tests starts (its
// connection text in VM418_TEST_PG). Without that server the PostgreSQL cases are skipped,
// unless VM418_TEST_REQUIRE_PG says a server must be there.

#pragma once

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <QTemporaryDir>
#include <QVariant>
#include <memory>

#include "station_db.h"

namespace vm418::testing {

enum class Backend { SQLite, PostgreSQL };

inline void PrintTo(Backend b, std::ostream* os) {
    *os << (b == Backend::SQLite ? "SQLite" : "PostgreSQL");
}

inline std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::SQLite ? "SQLite" : "PostgreSQL";
}

// Runs one statement with bound values; false (and a test failure) when it fails.
inline bool execSql(const QString& connection, const QString& sql,
                    const QVariantList& values = {}) {
    DbConnection conn(connection);
    if (!conn.open()) {
        ADD_FAILURE() << "cannot connect: " << conn.lastError().toStdString();
        return false;
    }
    QSqlQuery q(conn.db());
    q.prepare(sql);
    for (const QVariant& v : values)
        q.addBindValue(v);
    if (!q.exec()) {
        ADD_FAILURE() << sql.toStdString() << ": " << q.lastError().text().toStdString();
        return false;
    }
    return true;
}

inline int countRows(const QString& connection, const QString& sql,
                     const QVariantList& values = {}) {
    DbConnection conn(connection);
    if (!conn.open()) return -1;
    QSqlQuery q(conn.db());
    q.prepare(sql);
    for (const QVariant& v : values)
        q.addBindValue(v);
    if (!q.exec() || !q.next()) return -1;
    return q.value(0).toInt();
}

// The local time and offset before each log line of vm418ctl call, autocall and serve.
inline const QRegularExpression kLogTime(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d[+-]\d\d:\d\d )");

// The lines of `out`, each without its time, which each must have.
inline QStringList untimedLines(const QString& out) {
    const QStringList lines = out.split('\n', Qt::SkipEmptyParts);
    EXPECT_EQ(lines.filter(kLogTime).size(), lines.size()) << out.toStdString();
    return QStringList(lines).replaceInStrings(kLogTime, QString());
}

// Collects the "station.db" log lines while it lives.
class DbLogCapture {
  public:
    DbLogCapture() {
        lines_ = &captured_;
        previous_ = qInstallMessageHandler(&DbLogCapture::handler);
    }
    ~DbLogCapture() {
        qInstallMessageHandler(previous_);
        lines_ = nullptr;
    }
    const QStringList& lines() const { return captured_; }

  private:
    static void handler(QtMsgType, const QMessageLogContext& ctx, const QString& msg) {
        if (lines_ && ctx.category && QByteArray(ctx.category) == "station.db") lines_->append(msg);
    }
    static inline QStringList* lines_ = nullptr;
    QStringList captured_;
    QtMessageHandler previous_ = nullptr;
};

class StationDbTest : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        if (GetParam() == Backend::SQLite) {
            ASSERT_TRUE(dir_.isValid());
            connection_ = "DRIVER=SQLite3;Database=" + dir_.path() + "/vm418.db;JournalMode=WAL";
        } else {
            const QString server = qEnvironmentVariable("VM418_TEST_PG");
            if (server.isEmpty()) {
                if (qEnvironmentVariableIsSet("VM418_TEST_REQUIRE_PG"))
                    FAIL() << "VM418_TEST_PG is not set but a PostgreSQL server is required";
                GTEST_SKIP() << "no PostgreSQL server for this run (scripts/run-tests starts one "
                                "and sets VM418_TEST_PG)";
            }
            static int serial = 0;
            database_ =
                QStringLiteral("t%1_%2").arg(QCoreApplication::applicationPid()).arg(++serial);
            ASSERT_TRUE(execSql(server, "CREATE DATABASE " + database_));
            server_ = server;
            connection_ = server + ";Database=" + database_;
        }
        ASSERT_EQ(createSchema(connection_), kDbOk);
    }

    void TearDown() override {
        if (!database_.isEmpty()) execSql(server_, "DROP DATABASE IF EXISTS " + database_);
    }

    int count(const QString& sql, const QVariantList& values = {}) {
        return countRows(connection_, sql, values);
    }

    QTemporaryDir dir_;
    QString connection_;
    QString server_;
    QString database_;
};

}  // namespace vm418::testing
