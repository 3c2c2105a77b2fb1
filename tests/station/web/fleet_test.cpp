// The fleet view's server over HTTP, on SQLite and PostgreSQL: the fleet page's order and
// marks, a system's page with its SVG graphs, events and parameters, the N42, CSV and JSON
// downloads, escaping of hostile texts, the methods and bad requests refused, the
// connection that cannot write, and a database that goes away and comes back.

#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QProcess>
#include <QRegularExpression>
#include <QSqlError>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>
#include <cstring>

#include "call_attempts.h"
#include "db_fixture.h"
#include "fleet_pages.h"
#include "fleet_server.h"
#include "n42_export.h"
#include "notify_outbox.h"
#include "record_text.h"
#include "station_records.h"
#include "systems.h"

namespace vm418 {
namespace {

using testing::Backend;

struct Fetched {
    int status = 0;
    QByteArray body;
    QByteArray type;
    QByteArray header(const QByteArray& name) const { return headers.value(name.toLower()); }
    QMap<QByteArray, QByteArray> headers;
};

// One request to the server, answered while the event loop runs.
Fetched Fetch(QNetworkAccessManager& net, const QByteArray& method, const QString& url) {
    QNetworkRequest request{QUrl(url)};
    QNetworkReply* reply =
        method == "HEAD" ? net.head(request) : net.sendCustomRequest(request, method);
    QEventLoop loop;
    QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(20000, &loop, &QEventLoop::quit);
    loop.exec();
    Fetched f;
    f.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    f.body = reply->readAll();
    for (const auto& [name, value] : reply->rawHeaderPairs())
        f.headers[name.toLower()] = value;
    f.type = f.header("content-type");
    reply->deleteLater();
    return f;
}

alarms Alarm(int number, std::time_t when, int level, int len) {
    alarms a;
    a.AlarmNumber = static_cast<int16_t>(number);
    a.DateTime = when;
    a.AlarmLevel = static_cast<int16_t>(level);
    a.Detector = 'B';
    a.OutBG = 300;
    a.InBG = 310;
    a.Threshold = 420;
    a.Min = 280;
    a.Max = 900;
    a.Len = static_cast<int16_t>(len);
    for (int i = 0; i < len; ++i)
        a.Graph.push_back(30 + 10 * (i % 5));
    std::strcpy(a.StatusWord, "0 100 00 0 00000000000E ");
    std::strcpy(a.BGtime, "10:20:30");
    return a;
}

class Fleet : public testing::StationDbTest {
  protected:
    void TearDown() override {
        fleet_.reset();  // its workers' connections close with it
        setConnectionsReadOnly(false);
        StationDbTest::TearDown();
    }
    void Seed() {
        const std::pair<int, QString> names[] = {
            {1, "Gate 1"}, {2, "<script>alert('name')</script>"}, {3, "Quiet gate"}};
        for (const auto& [id, name] : names) {
            CSystemRset row;
            row.SysID = id;
            row.Serial = id == 2 ? QString("S\"&'2") : QString("S-%1").arg(id);
            row.SystemDescription = name;
            row.AutoCallPeriod = 30;
            row.Password = "72931";
            ASSERT_EQ(saveSystem(connection_, row), kDbOk);
        }
        ASSERT_EQ(setLastContactTime(connection_, 1, now_ - 600), kDbOk);
        // System 1 collected; system 2 has failed since three hours, twice in a row.
        for (const auto& [id, ago, result] : {std::tuple{1, 610, kCallCollected},
                                              {2, 3 * 3600, kCallFailed},
                                              {2, 600, kCallFailed}}) {
            CallAttempt call{id,
                             toDbDate(now_ - ago),
                             toDbDate(now_ - ago + 5),
                             result,
                             "Disconnected <BUSY>",
                             0,
                             "pc1",
                             {}};
            ASSERT_EQ(recordCallAttempt(connection_, call), kDbOk);
        }
        // One channel takes every new alarm; one message of system 1 failed for good.
        ASSERT_EQ(registerNotifyChannels(connection_, {{"duty", "all", 0}}), kDbOk);
        StationRecords records;
        records.connectionText = connection_;
        records.SysID = 1;
        records.alarmMap[1] = Alarm(11, now_ - 2 * 3600, 5, 12);
        records.alarmMap[2] = Alarm(12, now_ - 3 * 24 * 3600, 3, 7);
        records.alarmMap[3] = Alarm(13, now_ - 30 * 24 * 3600, 2, 5);  // outside the week
        ASSERT_EQ(records.storeAlarms(), kDbOk);
        std::vector<Notification> outbox;
        ASSERT_EQ(listNotifications(connection_, {}, 10, outbox), kDbOk);
        ASSERT_EQ(outbox.size(), 3u);
        ASSERT_EQ(markNotificationFailed(connection_, outbox[0].seqNum, "relay <refused>", {}),
                  kDbOk);
        PARA_418 p = initialParameters();
        std::memcpy(p.SoftwareVersion, "41S", 4);
        p.SerialNumber = 4711;
        std::memcpy(p.Password, "72931", sizeof p.Password);
        records.parameters = p;
        ASSERT_EQ(records.storeParameters(), kDbOk);
        records.SysID = 2;
        records.alarmMap = {{1, Alarm(21, now_ - 5 * 24 * 3600, 2, 4)}};
        ASSERT_EQ(records.storeAlarms(), kDbOk);
        records.historyMap = {{1, CHistory{1, "<script>alert('event')</script>", now_ - 60, {}}},
                              {2, CHistory{2, "Door & gate", now_ - 30, {}}}};
        ASSERT_EQ(records.storeHistory(), kDbOk);
    }
    // Serves on a free port of the machine's own address; the pages' clock is `now_`.
    void Serve() {
        fleet_ = std::make_unique<web::FleetServer>(connection_);
        fleet_->clock = [this] { return toDbDate(now_); };
        QString error;
        ASSERT_TRUE(fleet_->start("127.0.0.1", 0, &error)) << error.toStdString();
        base_ = QStringLiteral("http://127.0.0.1:%1").arg(fleet_->port());
    }
    Fetched Get(const QString& path, const QByteArray& method = "GET") {
        return Fetch(net_, method, base_ + path);
    }

    std::time_t now_ = QDateTime(QDate(2026, 3, 10), QTime(12, 0, 0)).toSecsSinceEpoch();
    std::unique_ptr<web::FleetServer> fleet_;
    QNetworkAccessManager net_;
    QString base_;
};

TEST_P(Fleet, PagesDownloadsAndJsonOverHttp) {
    Seed();
    Serve();

    // The fleet: the station with an alarm in the last 24 hours first and marked; every text
    // of the database escaped.
    const Fetched fleet = Get("/");
    ASSERT_EQ(fleet.status, 200) << fleet.body.toStdString();
    EXPECT_EQ(fleet.type, "text/html; charset=utf-8");
    const QString html = QString::fromUtf8(fleet.body);
    EXPECT_TRUE(html.contains("<meta http-equiv=\"refresh\" content=\"30\">"));
    EXPECT_TRUE(html.contains("name=\"viewport\""));
    const qsizetype first = html.indexOf("id=\"system-1\""),
                    second = html.indexOf("id=\"system-2\""),
                    third = html.indexOf("id=\"system-3\"");
    ASSERT_TRUE(first > 0 && second > 0 && third > 0);
    EXPECT_LT(first, second);
    EXPECT_LT(second, third);
    EXPECT_EQ(html.count("class=\"recent\""), 1);
    EXPECT_TRUE(html.contains("<tr class=\"recent\" id=\"system-1\">"));
    EXPECT_FALSE(html.contains("<script"));
    EXPECT_TRUE(html.contains("&lt;script&gt;alert(&#x27;name&#x27;)&lt;/script&gt;") ||
                html.contains("&lt;script&gt;alert('name')&lt;/script&gt;"));
    EXPECT_TRUE(html.contains("S&quot;&amp;'2"));
    EXPECT_TRUE(html.contains(formatDbDate(now_ - 2 * 3600) + " <span class=\"level-DANGER\">"));
    EXPECT_TRUE(fleet.header("content-security-policy").startsWith("default-src 'none'"));
    EXPECT_TRUE(html.contains("<td data-label=\"Last call\">collected " + formatDbDate(now_ - 610) +
                              "</td>"))
        << html.toStdString();
    EXPECT_TRUE(html.contains("failing since " + formatDbDate(now_ - 3 * 3600) +
                              "</span><br>failed " + formatDbDate(now_ - 600) +
                              " (Disconnected &lt;BUSY&gt;), 2 in a row"))
        << html.toStdString();

    const Fetched systems = Get("/api/systems");
    ASSERT_EQ(systems.status, 200);
    EXPECT_EQ(systems.type, "application/json");
    const QJsonArray list = QJsonDocument::fromJson(systems.body).array();
    ASSERT_EQ(list.size(), 3);
    EXPECT_EQ(list[0].toObject()["alarms24h"].toInt(), 1);
    EXPECT_EQ(list[0].toObject()["alarms7d"].toInt(), 2);
    EXPECT_EQ(list[0].toObject()["lastContact"].toString(), web::jsonTime(toDbDate(now_ - 600)));
    EXPECT_TRUE(list[0].toObject()["lastContact"].toString().contains(
        QRegularExpression("T12:00:00|(Z|[+-]\\d\\d:\\d\\d)$")));
    EXPECT_FALSE(list[0].toObject()["failing"].toBool());
    const QJsonObject failing = list[1].toObject()["lastCall"].toObject();
    EXPECT_TRUE(list[1].toObject()["failing"].toBool());
    EXPECT_EQ(failing["result"].toString(), "failed");
    EXPECT_EQ(failing["failuresInRow"].toInt(), 2);
    EXPECT_EQ(failing["failingSince"].toString(), web::jsonTime(toDbDate(now_ - 3 * 3600)));
    EXPECT_TRUE(list[2].toObject()["lastCall"].isNull());
    EXPECT_EQ(list[0].toObject()["newestAlarm"].toObject()["number"].toInt(), 11);
    EXPECT_EQ(list[0].toObject()["newestAlarm"].toObject()["levelWord"].toString(), "DANGER");
    EXPECT_EQ(list[1].toObject()["name"].toString(),
              "<script>alert('name')</script>");  // JSON keeps it
    EXPECT_EQ(list[1].toObject()["alarms24h"].toInt(), 0);
    EXPECT_EQ(list[1].toObject()["alarms7d"].toInt(), 1);
    EXPECT_TRUE(list[2].toObject()["newestAlarm"].isNull());
    EXPECT_TRUE(list[2].toObject()["lastContact"].isNull());

    // The metrics, as Prometheus's own checker reads them: per system, and the requests so far.
    const Fetched metrics = Get("/metrics");
    EXPECT_EQ(metrics.type, "text/plain; version=0.0.4; charset=utf-8");
    for (const char* sample :
         {"vm418_system_alarms_stored{system=\"1\",name=\"Gate 1\"} 3\n",
          "vm418_system_call_failures_in_row{system=\"2\",name=\"<script>alert('name')</script>\"} "
          "2",
          "vm418_system_failing{system=\"2\",", "vm418_http_requests_total{code=\"200\"} 2\n",
          "vm418_system_notifications_unsent{system=\"1\",name=\"Gate 1\",state=\"failed\"} 1\n",
          "vm418_http_request_duration_seconds_count 2\n"})
        EXPECT_TRUE(metrics.body.contains(sample)) << sample << metrics.body.toStdString();
    QProcess promtool;
    promtool.start("promtool", {"check", "metrics"});
    if (promtool.waitForStarted(5000)) {
        promtool.write(metrics.body);
        promtool.closeWriteChannel();
        ASSERT_TRUE(promtool.waitForFinished(30000));
        EXPECT_EQ(promtool.exitCode(), 0) << promtool.readAll().toStdString();
    }

    // A system: the last 7 days by default, each alarm with its graph and nine lines.
    const Fetched one = Get("/system/1");
    ASSERT_EQ(one.status, 200) << one.body.toStdString();
    const QString page = QString::fromUtf8(one.body);
    EXPECT_EQ(page.count("<svg"), 2);
    EXPECT_EQ(page.count("class=\"cursor "), 8);
    EXPECT_TRUE(page.contains("ALARM #11  -   DANGER 5B"));
    EXPECT_TRUE(page.contains("C BNV 01 2 3S12EDODCFSLU"));
    EXPECT_FALSE(page.contains("ALARM #13"));  // a month ago
    const QRegularExpression trace("class=\"trace\"[^>]*points=\"([^\"]*)\"");
    const QRegularExpressionMatch newest = trace.match(page);
    ASSERT_TRUE(newest.hasMatch());
    EXPECT_EQ(newest.captured(1).split(' ').size(), 12);  // alarm 11's Len, newest first
    EXPECT_TRUE(page.contains("<th>Serial Number</th><td>4711</td>")) << page.toStdString();
    EXPECT_TRUE(
        page.contains("<td>duty</td><td class=\"failed\">failed</td><td class=\"num\">1"
                      "</td><td>relay &lt;refused&gt;</td>"))
        << page.toStdString();
    EXPECT_EQ(page.count("<td class=\"pending\">pending</td>"), 2);
    EXPECT_TRUE(page.contains("<th>Software version</th><td>2.41S</td>"));
    // The unit's dial-in password is in no page and no JSON.
    EXPECT_TRUE(page.contains("<th>Password</th><td>***</td>")) << page.toStdString();
    for (const char* path : {"/", "/system/1", "/api/systems", "/api/systems/1/alarms"})
        EXPECT_FALSE(Get(path).body.contains("72931")) << path;
    const Fetched month = Get("/system/1?from=2026-02-01&to=2026-03-10");
    EXPECT_TRUE(QString::fromUtf8(month.body).contains("ALARM #13"));

    const QString events = QString::fromUtf8(Get("/system/2").body);
    EXPECT_FALSE(events.contains("<script"));
    EXPECT_TRUE(events.contains("&lt;script&gt;alert("));
    EXPECT_TRUE(events.contains("Door &amp; gate"));
    EXPECT_TRUE(events.contains("No parameter block is stored."));

    // Downloads with the export's writers.
    const Fetched csv = Get("/system/1/alarms.csv");
    ASSERT_EQ(csv.status, 200);
    EXPECT_EQ(csv.type, "text/csv; charset=utf-8");
    EXPECT_TRUE(csv.header("content-disposition").startsWith("attachment; filename=\"system-1-"));
    EXPECT_EQ(csv.body.trimmed().count('\n'), 2);  // the header and two alarms
    const Fetched n42 = Get("/system/1/alarms.n42");
    ASSERT_EQ(n42.status, 200);
    EXPECT_EQ(QString::fromUtf8(n42.body).count("<RadAlarm "), 2);
    QTemporaryDir dir;
    QFile file(dir.path() + "/alarms.n42");
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(n42.body);
    file.close();
    QProcess xmllint;
    xmllint.start("xmllint", {"--noout", "--schema", N42_SCHEMA_PATH, file.fileName()});
    ASSERT_TRUE(xmllint.waitForFinished(60000));
    EXPECT_EQ(xmllint.exitCode(), 0) << xmllint.readAllStandardError().toStdString();
    const QString when = web::isoTime(now_ - 2 * 3600);
    const Fetched single = Get("/system/1/alarm.n42?number=11&time=" + when);
    ASSERT_EQ(single.status, 200) << single.body.toStdString();
    EXPECT_TRUE(single.header("content-disposition").contains("system-1-alarm-11.n42"));
    EXPECT_EQ(Get("/system/1/alarm.n42?number=12&time=" + when).status, 404);

    const Fetched json = Get("/api/systems/1/alarms?from=2026-03-01&to=2026-03-10");
    ASSERT_EQ(json.status, 200);
    const QJsonObject alarmsJson = QJsonDocument::fromJson(json.body).object();
    ASSERT_EQ(alarmsJson["alarms"].toArray().size(), 2);
    EXPECT_EQ(alarmsJson["alarms"].toArray()[0].toObject()["number"].toInt(), 12);
    EXPECT_EQ(alarmsJson["alarms"].toArray()[0].toObject()["graph"].toArray()[1].toDouble(),
              400);  // 40 x 10
    EXPECT_EQ(alarmsJson["from"].toString(), "2026-03-01");

    // Only GET and HEAD; unknown pages and bad parameters get short pages.
    for (const QByteArray method : {"POST", "PUT", "DELETE"}) {
        const Fetched refused = Get("/", method);
        EXPECT_EQ(refused.status, 405) << method.toStdString();
        EXPECT_EQ(refused.header("allow"), "GET, HEAD");
    }
    const Fetched head = Get("/system/1", "HEAD");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.isEmpty());
    EXPECT_EQ(head.header("content-length").toInt(), one.body.size());
    for (const char* path : {"/nope", "/system/99", "/system/1/other", "/api/systems/99/alarms"})
        EXPECT_EQ(Get(path).status, 404) << path;
    for (const char* path :
         {"/system/abc", "/system/0", "/system/1?from=2026-13-01",
          "/system/1?from=2026-03-05&to=2026-03-01", "/system/1?from=2010-01-01&to=2026-03-01",
          "/system/1/alarm.n42?number=x", "/api/systems/-1/alarms"}) {
        const Fetched bad = Get(path);
        EXPECT_EQ(bad.status, 400) << path;
        EXPECT_FALSE(bad.body.contains("SELECT")) << path;
    }

    // The server's connections cannot write.
    {
        DbConnection conn(connection_);
        ASSERT_TRUE(conn.open());
        QSqlQuery q(conn.db());
        EXPECT_FALSE(q.exec("UPDATE System SET Modem = 'x' WHERE SysID = 1"));
        EXPECT_FALSE(q.exec("DELETE FROM Alarms"));
    }
    setConnectionsReadOnly(false);
    EXPECT_EQ(count("SELECT COUNT(*) FROM Alarms"), 4);

    // On PostgreSQL the role the docs give the server: granted SELECT, refused a write by
    // the store itself, and serving the pages.
    if (GetParam() == Backend::PostgreSQL) {
        const QString viewer =
            qEnvironmentVariable("VM418_TEST_PG_VIEWER") + ";Database=" + database_;
        ASSERT_TRUE(testing::execSql(connection_,
                                     "GRANT SELECT ON System, Alarms, History, "
                                     "Parameters TO \"VIEWER\""));
        DbConnection conn(viewer);
        ASSERT_TRUE(conn.open()) << conn.lastError().toStdString();
        QSqlQuery q(conn.db());
        EXPECT_TRUE(q.exec("SELECT COUNT(*) FROM Alarms"));
        EXPECT_FALSE(q.exec("INSERT INTO System (SysID) VALUES (77)"));
        EXPECT_TRUE(q.lastError().text().contains("permission denied"))
            << q.lastError().text().toStdString();
        EXPECT_EQ(web::Answer(viewer, "/", {}, toDbDate(now_)).status, 200);
        EXPECT_EQ(web::Answer(viewer, "/system/1", {}, toDbDate(now_)).status, 200);
    }

    // A CSV of more rows than the server reads at once comes whole and in order, as the
    // export writes it (two alarms in each minute: pieces end within a second).
    StationRecords many;
    many.connectionText = connection_;
    many.SysID = 3;
    for (int i = 1; i <= 1100; ++i)
        many.alarmMap[i] = Alarm(i, now_ - 3600 - (i / 2) * 60, 2, 3);
    setConnectionsReadOnly(false);
    ASSERT_EQ(many.storeAlarms(), kDbOk);
    ASSERT_EQ(many.loadAlarms(RecordCondition::days(QDate(2026, 3, 4), QDate(2026, 3, 10))), kDbOk);
    setConnectionsReadOnly(true);
    const Fetched whole = Get("/system/3/alarms.csv");
    ASSERT_EQ(whole.status, 200);
    EXPECT_EQ(whole.body, alarmsCsv(many.alarmMap).toUtf8());
    CSystemRset quiet;
    quiet.SysID = 3;
    quiet.Serial = "S-3";
    quiet.SystemDescription = "Quiet gate";
    const Fetched document = Get("/system/3/alarms.n42");
    ASSERT_EQ(document.status, 200);
    EXPECT_EQ(document.body,
              alarmsN42(many.alarmMap, {stationTitle(quiet), "S-3", ""}, toDbDate(now_)));
}

// The store goes away: the fleet page is given from the server's copy for up to 2 s, then
// 503 with a page that says so and no driver text; back again, the pages are served again by
// the same server.
TEST_P(Fleet, DatabaseThatGoesAwayGives503AndRecovers) {
    Seed();
    Serve();
    // The status of `path` once it is `status`, or the last one after 20 s.
    const auto eventually = [&](const QString& path, int status) {
        QElapsedTimer waited;
        waited.start();
        int got = Get(path).status;
        while (got != status && waited.elapsed() < 20000) {
            QThread::msleep(200);
            got = Get(path).status;
        }
        return got;
    };
    QElapsedTimer copied;
    copied.start();
    ASSERT_EQ(Get("/").status, 200);
    const QString file = dir_.path() + "/vm418.db";
    const auto away = [&](bool gone) {
        if (GetParam() == Backend::SQLite) {
            if (gone) {
                ASSERT_TRUE(QFile::rename(file, file + ".away"));
            } else {
                ASSERT_TRUE(QFile::rename(file + ".away", file));
            }
        } else {
            setConnectionsReadOnly(false);
            // The server keeps its sessions: they end first, as at a restart of the store.
            if (gone) {
                ASSERT_TRUE(testing::execSql(server_,
                                             "SELECT pg_terminate_backend(pid) FROM "
                                             "pg_stat_activity WHERE datname = '" +
                                                 database_ + "'"));
            }
            ASSERT_TRUE(testing::execSql(
                server_, gone ? "ALTER DATABASE " + database_ + " RENAME TO " + database_ + "_away"
                              : "ALTER DATABASE " + database_ + "_away RENAME TO " + database_));
            setConnectionsReadOnly(true);
        }
    };
    away(true);
    const int copy = Get("/", "HEAD").status;
    if (copied.elapsed() < 1500) {  // else too slow a machine to tell
        EXPECT_EQ(copy, 200);
    }
    EXPECT_EQ(eventually("/", 503), 503);
    for (const char* path : {"/", "/system/1", "/api/systems"}) {
        const Fetched down = Get(path);
        EXPECT_EQ(down.status, 503) << path;
        EXPECT_TRUE(down.body.contains("cannot be read just now")) << path;
        EXPECT_EQ(down.header("retry-after"), "30");
    }
    EXPECT_EQ(Get("/healthz").body, "unavailable\n");
    EXPECT_TRUE(Get("/metrics").body.contains("\nvm418_store_up 0\n"));
    EXPECT_FALSE(QFile::exists(file));  // the server never makes a store of its own
    away(false);
    EXPECT_EQ(Get("/").status, 200);
    EXPECT_EQ(Get("/healthz").status, 200);
    EXPECT_EQ(Get("/system/1").status, 200);

    // A writer's exclusive lock (SQLite's case runs in fleet_attack_test.py): the page gives
    // up on it with 503, an address that needs no store answers meanwhile.
    if (GetParam() == Backend::PostgreSQL) {
        setConnectionsReadOnly(false);
        DbConnection writer(connection_);
        ASSERT_TRUE(writer.open());
        ASSERT_TRUE(writer.db().transaction());
        QSqlQuery lock(writer.db());
        ASSERT_TRUE(lock.exec("LOCK TABLE System, Alarms IN ACCESS EXCLUSIVE MODE"));
        setConnectionsReadOnly(true);
        EXPECT_EQ(Get("/nope").status, 404);
        EXPECT_EQ(eventually("/", 503), 503);
        const Fetched locked = Get("/");
        EXPECT_EQ(locked.header("retry-after"), "30");
        writer.db().rollback();
        EXPECT_EQ(Get("/").status, 200);
    }
}

INSTANTIATE_TEST_SUITE_P(Engines, Fleet, ::testing::Values(Backend::SQLite, Backend::PostgreSQL),
                         testing::backendName);

}  // namespace
}  // namespace vm418
