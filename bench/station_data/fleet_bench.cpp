// The fleet view's server time per page over 100 stations with 10,000 alarms each (a million
// rows with 30-point graphs): the fleet page, and a station's page of a period holding about
// 500 alarms, plus the JSON of the fleet. Median and slowest of repeated answers, printed;
// targets 100 ms for the fleet page and 200 ms for the station page.
//
// SQLite always; PostgreSQL when VM418_BENCH_PG holds a connection text to a server on
// which the benchmark may create a database (scripts/bench-station-db starts one).
// BENCH_FLEET_ALARMS changes the alarms per station.

#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "fleet_server.h"
#include "station_db.h"
#include "systems.h"

namespace {

using namespace vm418;

constexpr int kStations = 100;
constexpr int kSpacingSeconds = 1800;  // an alarm every half hour at each station
constexpr int kRepeats = 15;

bool exec(DbConnection& conn, const QString& sql) {
    QSqlQuery q(conn.db());
    if (q.exec(sql)) return true;
    std::fprintf(stderr, "bench: %s\n  %s\n", qPrintable(sql.left(200)),
                 qPrintable(q.lastError().text()));
    return false;
}

// Stations 1 to 100, each with `perStation` alarms back from `now`, every half hour.
bool fill(const QString& connection, int perStation, std::time_t now) {
    for (int id = 1; id <= kStations; ++id) {
        CSystemRset row;
        row.SysID = id;
        row.Serial = QStringLiteral("S-%1").arg(id);
        row.SystemDescription = QStringLiteral("Gate %1").arg(id);
        if (saveSystem(connection, row) != kDbOk) return false;
    }
    DbConnection conn(connection);
    if (!conn.open()) return false;
    const bool pg = conn.isPostgres();
    const int rows = kStations * perStation;
    // The graph: 30 counts of 50, 32-bit little-endian.
    const QString graph = pg ? QStringLiteral("decode(repeat('32000000', 30), 'hex')")
                             : QStringLiteral("x'%1'").arg(QString("32000000").repeated(30));
    const QString date = pg ? QStringLiteral("to_timestamp(%1 - (i / %2) * %3)::timestamp")
                            : QStringLiteral(
                                  "strftime('%Y-%m-%d %H:%M:%S.000', %1 - (i / %2) * "
                                  "%3, 'unixepoch', 'localtime')");
    const QString series = pg ? QStringLiteral("generate_series(0, %1) AS g(i)")
                              : QStringLiteral(
                                    "(WITH RECURSIVE n(i) AS (SELECT 0 UNION ALL SELECT "
                                    "i + 1 FROM n WHERE i < %1) SELECT i FROM n)");
    // Local time on both: PostgreSQL's to_timestamp is shown in the session's zone.
    return exec(conn, QStringLiteral("INSERT INTO Alarms SELECT 1 + i % 100, %1, (i / 100) % "
                                     "30000, 73, 1, 30, 500, 2 + i % 4, 480, 2500, 30, 900, 400, "
                                     "65, 'OK  ALARM  GAMMA  AB   U', '00:01:30', %2 FROM %3")
                          .arg(date.arg(now).arg(kStations).arg(kSpacingSeconds), graph,
                               series.arg(rows - 1))) &&
           (!pg || exec(conn, QStringLiteral("ANALYZE")));
}

void measure(const char* engine, const char* what, double target,
             const std::function<int()>& answer) {
    std::vector<double> ms;
    int status = 0;
    for (int i = 0; i < kRepeats; ++i) {
        QElapsedTimer t;
        t.start();
        status = answer();
        ms.push_back(t.nsecsElapsed() / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    std::printf("%-10s %-38s median %7.1f ms  slowest %7.1f ms  (target %3.0f ms, status %d)\n",
                engine, what, ms[ms.size() / 2], ms.back(), target, status);
}

void run(const char* engine, const QString& connection, int perStation) {
    const std::time_t now = QDateTime::currentSecsSinceEpoch();
    QElapsedTimer filling;
    filling.start();
    if (createSchema(connection) != kDbOk || !fill(connection, perStation, now)) {
        std::fprintf(stderr, "bench: %s could not be filled\n", engine);
        return;
    }
    std::printf("%-10s %d stations x %d alarms stored in %.1f s\n", engine, kStations, perStation,
                filling.elapsed() / 1000.0);
    const QDateTime at = QDateTime::fromSecsSinceEpoch(now);
    setConnectionsReadOnly(true);
    // What each page pays before its first statement: a connection of its own.
    measure(engine, "a connection opened", 0, [&] {
        DbConnection conn(connection);
        return conn.open() ? 200 : 503;
    });
    measure(engine, "the System table listed", 0, [&] {
        std::vector<CSystemRset> rows;
        return listSystems(connection, rows) == kDbOk ? 200 : 503;
    });
    measure(engine, "fleet page /", 100,
            [&] { return web::Answer(connection, QStringLiteral("/"), {}, at).status; });
    measure(engine, "fleet JSON /api/systems", 100,
            [&] { return web::Answer(connection, QStringLiteral("/api/systems"), {}, at).status; });
    // 48 alarms a day: 11 days hold about 500 (528).
    QUrlQuery period;
    period.addQueryItem(QStringLiteral("from"), at.date().addDays(-10).toString(Qt::ISODate));
    period.addQueryItem(QStringLiteral("to"), at.date().toString(Qt::ISODate));
    size_t bytes = 0;
    measure(engine, "station page /system/42 (~500 alarms)", 200, [&] {
        const web::Reply r = web::Answer(connection, QStringLiteral("/system/42"), period, at);
        bytes = r.body.size();
        return r.status;
    });
    std::printf("%-10s   the station page is %.1f kB\n", engine, bytes / 1024.0);
    setConnectionsReadOnly(false);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    keepLocalTimeZoneRead();
    const int perStation = qEnvironmentVariableIntValue("BENCH_FLEET_ALARMS") > 0
                               ? qEnvironmentVariableIntValue("BENCH_FLEET_ALARMS")
                               : 10000;
    QTemporaryDir dir;
    run("SQLite", "DRIVER=SQLite3;Database=" + dir.path() + "/fleet.db;JournalMode=WAL",
        perStation);
    const QString server = qEnvironmentVariable("VM418_BENCH_PG");
    if (server.isEmpty()) {
        std::printf("PostgreSQL: VM418_BENCH_PG not set (scripts/bench-station-db sets it)\n");
        return 0;
    }
    const QString database =
        QStringLiteral("fleet_bench_%1").arg(QCoreApplication::applicationPid());
    {
        DbConnection conn(server);
        if (!conn.open() || !exec(conn, "CREATE DATABASE " + database)) return 1;
    }
    run("PostgreSQL", server + ";Database=" + database, perStation);
    DbConnection conn(server);
    if (conn.open()) exec(conn, "DROP DATABASE IF EXISTS " + database);
    return 0;
}
