// libFuzzer target: the fleet view's answer to any path and query (the input up to its first
// "?" is the path, the rest the query, both as a browser sends them), without a server, over
// an SQLite station database with three systems, their alarms, events and a parameter block.
// Whatever is asked, the answer is a page, a download or a refusal, never a database error.
#include <QCoreApplication>
#include <QTemporaryDir>
#include <QUrl>
#include <QUrlQuery>
#include <cstring>

#include "fleet_server.h"
#include "station_records.h"
#include "systems.h"

namespace {

void require(bool ok) {
    if (!ok) __builtin_trap();
}

const QDateTime kNow(QDate(2026, 12, 10), QTime(12, 0, 0));

vm418::alarms Alarm(int number, std::time_t when, int len) {
    vm418::alarms a;
    a.AlarmNumber = static_cast<int16_t>(number);
    a.DateTime = when;
    a.AlarmLevel = 3;
    a.Detector = 'B';
    a.Len = static_cast<int16_t>(len);
    for (int i = 0; i < len; ++i)
        a.Graph.push_back(30 + 10 * (i % 5));
    std::strcpy(a.StatusWord, "0 100 00 0 00000000000E ");
    std::strcpy(a.BGtime, "10:20:30");
    return a;
}

// The station database, made once for the run.
QString Database() {
    static QTemporaryDir dir;
    const QString db = "DRIVER=SQLite3;Database=" + dir.path() + "/vm418.db";
    require(vm418::createSchema(db) == vm418::kDbOk);
    const std::time_t now = kNow.toSecsSinceEpoch();
    for (int id : {1, 2, 3}) {
        vm418::CSystemRset row;
        row.SysID = id;
        row.Serial = QStringLiteral("S-%1").arg(id);
        row.SystemDescription = id == 2 ? QStringLiteral("<b>&\"Gate\"") : QStringLiteral("Gate");
        require(vm418::saveSystem(db, row) == vm418::kDbOk);
        vm418::StationRecords records;
        records.connectionText = db;
        records.SysID = id;
        records.alarmMap = {{1, Alarm(3, now - 3600 * id, 12)}, {2, Alarm(4, now - 86400 * 5, 0)}};
        records.historyMap = {{1, vm418::CHistory{1, "PWRON", now - 60, {}}}};
        records.parameters = vm418::initialParameters();
        require(records.storeAlarms() == vm418::kDbOk && records.storeHistory() == vm418::kDbOk &&
                records.storeParameters() == vm418::kDbOk);
    }
    vm418::setConnectionsReadOnly(true);  // as the server reads it
    return db;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int argc = 1;
    static char name[] = "fuzz";
    static char* argv[] = {name, nullptr};
    static QCoreApplication app(argc, argv);
    static const QString db = Database();

    const QByteArray input(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    const qsizetype mark = input.indexOf('?');
    QUrl url(QStringLiteral("http://localhost"));
    url.setPath(QString::fromUtf8(input.left(mark < 0 ? size : mark)), QUrl::TolerantMode);
    if (mark >= 0) url.setQuery(QString::fromUtf8(input.mid(mark + 1)), QUrl::TolerantMode);
    const vm418::web::Reply reply = vm418::web::Answer(db, url.path(), QUrlQuery(url), kNow);
    require(reply.status == 200 || reply.status == 400 || reply.status == 404);
    require(!reply.body.isEmpty());
    return 0;
}
