// The fleet view's server time per page over 100 stations with 10,000 alarms each (a million
// rows with 30-point graphs): the fleet page, and a station's page of a period holding about
// 500 alarms, plus the JSON of the fleet. Median and slowest of repeated answers, printed;
// targets 100 ms for the fleet page and 200 ms for the station page.
//
// SQLite always; PostgreSQL when VM418_BENCH_PG holds a connection text to a server on
// which the benchmark may create a database (scripts/bench-station-db starts one).
// BENCH_FLEET_ALARMS changes the alarms per station.
//
// Then the same store behind a running `vm418ctl serve`: 1, 8, 32 and 128 clients, each a
// thread with one kept-alive HTTP/1.1 connection asking again as soon as it has its answer,
// for BENCH_FLEET_SECONDS (3) per page and count; requests per second, median (p50) and p99.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QUrlQuery>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
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
        if (saveSystem(connection, row) != kDbOk) {
            std::fprintf(stderr, "bench: system %d cannot be stored\n", id);
            return false;
        }
    }
    DbConnection conn(connection);
    if (!conn.open()) {
        std::fprintf(stderr, "bench: %s\n", qPrintable(conn.lastError()));
        return false;
    }
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

// One client: a kept-alive connection to 127.0.0.1:`port` asking for `path` until `stop`,
// each answer's time in `ms`; false when an answer was no 200 or the connection broke.
bool client(quint16 port, const QByteArray& path, const std::atomic<bool>& stop,
            std::vector<double>& ms) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    const QByteArray request = "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    QByteArray in;
    char buffer[65536];
    bool sound = true;
    while (sound && !stop) {
        const auto start = std::chrono::steady_clock::now();
        if (::send(fd, request.constData(), request.size(), MSG_NOSIGNAL) != request.size()) break;
        // The head, then as many bytes as its Content-Length says.
        qsizetype end = -1, length = -1;
        while (length < 0 || in.size() < end + 4 + length) {
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                sound = false;
                break;
            }
            in.append(buffer, n);
            if (end < 0 && (end = in.indexOf("\r\n\r\n")) >= 0) {
                const QRegularExpressionMatch m =
                    QRegularExpression("\r\ncontent-length: *(\\d+)",
                                       QRegularExpression::CaseInsensitiveOption)
                        .match(QString::fromLatin1(in.left(end + 2)));
                sound = in.startsWith("HTTP/1.1 200") && m.hasMatch();
                if (!sound) break;
                length = m.captured(1).toLongLong();
            }
        }
        if (!sound) break;
        in.remove(0, end + 4 + length);
        ms.push_back(
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count());
    }
    ::close(fd);
    return sound;
}

// `vm418ctl serve` over `connection` under 1 to 128 clients for each page; false (said why)
// when it cannot be measured.
bool load(const char* engine, const QString& connection) {
    QProcess serve;
    serve.setProgram(QStringLiteral(VM418CTL_PATH));
    serve.setArguments({"--db", connection, "serve", "--listen", "127.0.0.1:0", "--max-connections",
                        "512", "--max-per-address", "256"});
    serve.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    serve.start();
    QByteArray said;
    while (serve.waitForReadyRead(20000) && !said.contains('\n'))
        said += serve.readAllStandardOutput();
    const QRegularExpressionMatch at = QRegularExpression(":(\\d+)/").match(QString(said));
    if (!at.hasMatch()) {
        std::fprintf(stderr, "bench: %s: vm418ctl serve did not start: %s%s\n", engine,
                     said.constData(), qPrintable(serve.errorString()));
        return false;
    }
    const auto port = quint16(at.captured(1).toUInt());
    const int seconds = qEnvironmentVariableIntValue("BENCH_FLEET_SECONDS") > 0
                            ? qEnvironmentVariableIntValue("BENCH_FLEET_SECONDS")
                            : 3;
    for (const char* path : {"/", "/system/42", "/api/systems"}) {
        for (const int clients : {1, 8, 32, 128}) {
            std::atomic<bool> stop{false};
            std::atomic<int> broken{0};
            std::vector<std::vector<double>> ms(clients);
            std::vector<std::thread> threads;
            for (int c = 0; c < clients; ++c)
                threads.emplace_back([&, c] {
                    if (!client(port, path, stop, ms[c])) ++broken;
                });
            std::this_thread::sleep_for(std::chrono::seconds(seconds));
            stop = true;
            for (std::thread& t : threads)
                t.join();
            std::vector<double> all;
            for (const auto& one : ms)
                all.insert(all.end(), one.begin(), one.end());
            std::sort(all.begin(), all.end());
            const auto pick = [&](double share) {
                return all.empty() ? 0.0
                                   : all[std::min(all.size() - 1, size_t(share * all.size()))];
            };
            std::printf("%-10s %-12s %3d clients %8.1f requests/s  p50 %7.1f ms  p99 %7.1f ms%s\n",
                        engine, path, clients, all.size() / double(seconds), pick(0.5), pick(0.99),
                        broken ? "  (some answers were no 200)" : "");
            std::fflush(stdout);
        }
    }
    serve.terminate();
    serve.waitForFinished(10000);
    return true;
}

// False (said why) when the store cannot be filled or served.
bool run(const char* engine, const QString& connection, int perStation) {
    const std::time_t now = QDateTime::currentSecsSinceEpoch();
    QElapsedTimer filling;
    filling.start();
    if (createSchema(connection) != kDbOk || !fill(connection, perStation, now)) {
        std::fprintf(stderr, "bench: %s could not be filled\n", engine);
        return false;
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
    return load(engine, connection);
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    keepLocalTimeZoneRead();
    const int perStation = qEnvironmentVariableIntValue("BENCH_FLEET_ALARMS") > 0
                               ? qEnvironmentVariableIntValue("BENCH_FLEET_ALARMS")
                               : 10000;
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "bench: no temporary folder: %s\n", qPrintable(dir.errorString()));
        return 1;
    }
    bool measured =
        run("SQLite", "DRIVER=SQLite3;Database=" + dir.path() + "/fleet.db;JournalMode=WAL",
            perStation);
    const QString server = qEnvironmentVariable("VM418_BENCH_PG");
    if (server.isEmpty()) {
        std::printf("PostgreSQL: VM418_BENCH_PG not set (scripts/bench-station-db sets it)\n");
        return measured ? 0 : 1;
    }
    const QString database =
        QStringLiteral("fleet_bench_%1").arg(QCoreApplication::applicationPid());
    {
        DbConnection conn(server);
        if (!conn.open()) {
            std::fprintf(stderr, "bench: PostgreSQL: %s\n", qPrintable(conn.lastError()));
            return 1;
        }
        if (!exec(conn, "CREATE DATABASE " + database)) return 1;
    }
    measured &= run("PostgreSQL", server + ";Database=" + database, perStation);
    DbConnection conn(server);
    if (conn.open()) exec(conn, "DROP DATABASE IF EXISTS " + database);
    return measured ? 0 : 1;
}
