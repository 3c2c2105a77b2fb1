#include "fleet_server.h"

#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QLoggingCategory>
#include <QTcpSocket>
#include <QUrlQuery>

#include "fleet_pages.h"
#include "n42_export.h"
#include "param_form.h"
#include "record_text.h"
#include "station_db.h"

Q_LOGGING_CATEGORY(lcFleet, "station.fleet")

namespace vm418::web {

namespace {

constexpr int kDefaultDays = 7;     // the period when none is asked for: the last 7 days
constexpr int kLongestDays = 3660;  // ten years; a longer period is refused rather than read
constexpr int kNewestEvents = 50;

Reply Page(int status, const QString& title, const QString& text) {
    return {status, "text/html; charset=utf-8", messagePage(status, title, text), {}};
}

Reply BadRequest(const QString& why) {
    return Page(400, QStringLiteral("Bad Request"), why);
}

Reply NotFound(const QString& what) {
    return Page(404, QStringLiteral("Not Found"), what);
}

// The reason goes to the log; the page only says that the store is away.
Reply Unavailable(const QString& reason) {
    qCWarning(lcFleet).noquote() << "the station database cannot be read:" << reason;
    Reply r = Page(503, QStringLiteral("Service Unavailable"),
                   QStringLiteral("The station database cannot be read just now. This page "
                                  "works again as soon as it is back."));
    r.headers.emplaceBack("Retry-After", "30");
    return r;
}

Reply Download(QByteArray body, const QByteArray& type, const QString& fileName) {
    Reply r{200, type, std::move(body), {}};
    r.headers.emplaceBack("Content-Disposition",
                          QStringLiteral("attachment; filename=\"%1\"").arg(fileName).toUtf8());
    return r;
}

// A positive system number, or 0.
int32_t SystemNumber(const QString& text) {
    bool ok = false;
    const int n = text.toInt(&ok);
    return ok && n > 0 && QString::number(n) == text ? n : 0;
}

// The whole days of ?from=&to= (either may be left out); "" when sound, else why not.
QString Period(const QUrlQuery& query, const QDate& today, QDate& from, QDate& to) {
    to = today;
    from = today.addDays(1 - kDefaultDays);
    for (const auto& [name, day] :
         {std::pair{QStringLiteral("from"), &from}, {QStringLiteral("to"), &to}}) {
        if (!query.hasQueryItem(name)) continue;
        const QString text = query.queryItemValue(name, QUrl::FullyDecoded);
        const QDate d = QDate::fromString(text, Qt::ISODate);
        if (!d.isValid() || text.size() != 10)
            return QStringLiteral("%1 must be a date written yyyy-MM-dd").arg(name);
        *day = d;
    }
    if (!query.hasQueryItem(QStringLiteral("from")) && query.hasQueryItem(QStringLiteral("to")))
        from = to.addDays(1 - kDefaultDays);
    if (from > to) return QStringLiteral("from comes after to");
    if (from.daysTo(to) >= kLongestDays)
        return QStringLiteral("a period is at most %1 days").arg(kLongestDays);
    return {};
}

N42Source SourceOf(const SystemPage& page) {
    N42Source source;
    source.title = stationTitle(page.system);
    source.serial = page.system.Serial;
    if (page.parameters) source.softwareVersion = printValues(*page.parameters).value(1);
    return source;
}

Reply SystemAnswer(const QString& db, int32_t sysId, const QString& what, const QUrlQuery& query,
                   const QDateTime& now) {
    QDate from, to;
    if (what != QLatin1String("alarm.n42"))
        if (const QString why = Period(query, now.date(), from, to); !why.isEmpty())
            return BadRequest(why);
    SystemPage page;
    QString failure;
    int r = 0;
    if (what == QLatin1String("alarm.n42")) {
        // One alarm: by its number and time, as the unit keeps it unique.
        bool ok = false;
        const int number = query.queryItemValue(QStringLiteral("number")).toInt(&ok);
        const QDateTime when = QDateTime::fromString(
            query.queryItemValue(QStringLiteral("time"), QUrl::FullyDecoded), Qt::ISODate);
        if (!ok || !when.isValid())
            return BadRequest(
                QStringLiteral("an alarm is named by ?number=N&time=yyyy-MM-ddTHH:mm:ss"));
        r = readSystemPage(db, sysId, when.date(), when.date(), 0, page, &failure);
        if (r == 1) return NotFound(QStringLiteral("There is no system %1.").arg(sysId));
        if (r != 0) return Unavailable(failure);
        std::optional<alarms> alarm;
        r = readOneAlarm(db, sysId, number, when, alarm, &failure);
        if (r == 1)
            return NotFound(QStringLiteral("System %1 has no alarm %2 at %3.")
                                .arg(QString::number(sysId), QString::number(number),
                                     when.toString(Qt::ISODate)));
        if (r != 0) return Unavailable(failure);
        AlarmMap one{{1, *alarm}};
        one[1].Index = 1;
        return Download(alarmsN42(one, SourceOf(page), now), "application/xml; charset=utf-8",
                        QStringLiteral("system-%1-alarm-%2.n42").arg(sysId).arg(number));
    }
    r = readSystemPage(db, sysId, from, to, what.isEmpty() ? kNewestEvents : 0, page, &failure);
    if (r == 1) return NotFound(QStringLiteral("There is no system %1.").arg(sysId));
    if (r != 0) return Unavailable(failure);
    const QString stem =
        QStringLiteral("system-%1-alarms-%2-%3")
            .arg(QString::number(sysId), from.toString(Qt::ISODate), to.toString(Qt::ISODate));
    if (what.isEmpty())
        return {200, "text/html; charset=utf-8", systemPage(page, from, to, now), {}};
    if (what == QLatin1String("alarms.n42"))
        return Download(alarmsN42(page.alarms, SourceOf(page), now),
                        "application/xml; charset=utf-8", stem + QStringLiteral(".n42"));
    if (what == QLatin1String("alarms.csv"))
        return Download(alarmsCsv(page.alarms).toUtf8(), "text/csv; charset=utf-8",
                        stem + QStringLiteral(".csv"));
    if (what == QLatin1String("alarms.json"))
        return {200, "application/json", alarmsJson(page.system, page.alarms, from, to), {}};
    return NotFound(QStringLiteral("There is no such page."));
}

}  // namespace

Reply Answer(const QString& db, const QString& path, const QUrlQuery& query, const QDateTime& now) {
    const QStringList parts = path.split(QLatin1Char('/'));  // "" first: the path starts with /
    if (path == QLatin1String("/")) {
        std::vector<FleetRow> rows;
        QString failure;
        if (readFleet(db, now, rows, &failure) != 0) return Unavailable(failure);
        return {200, "text/html; charset=utf-8", fleetPage(rows, now), {}};
    }
    if (path == QLatin1String("/api/systems")) {
        std::vector<FleetRow> rows;
        QString failure;
        if (readFleet(db, now, rows, &failure) != 0) return Unavailable(failure);
        return {200, "application/json", systemsJson(rows), {}};
    }
    if (parts.size() >= 3 && parts.size() <= 4 && parts[1] == QLatin1String("system")) {
        const int32_t sysId = SystemNumber(parts[2]);
        if (sysId == 0) return BadRequest(QStringLiteral("a system is named by its number"));
        const QString what = parts.size() == 4 ? parts[3] : QString();
        if (!what.isEmpty() && what != QLatin1String("alarms.n42") &&
            what != QLatin1String("alarms.csv") && what != QLatin1String("alarm.n42"))
            return NotFound(QStringLiteral("There is no such page."));
        return SystemAnswer(db, sysId, what, query, now);
    }
    if (parts.size() == 5 && parts[1] == QLatin1String("api") &&
        parts[2] == QLatin1String("systems") && parts[4] == QLatin1String("alarms")) {
        const int32_t sysId = SystemNumber(parts[3]);
        if (sysId == 0) return BadRequest(QStringLiteral("a system is named by its number"));
        return SystemAnswer(db, sysId, QStringLiteral("alarms.json"), query, now);
    }
    return NotFound(QStringLiteral("There is no such page."));
}

FleetServer::FleetServer(QString connectionText, QObject* parent)
    : QAbstractHttpServer(parent), connectionText_(std::move(connectionText)) {
    setConnectionsReadOnly(true);
}

bool FleetServer::handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) {
    using Method = QHttpServerRequest::Method;
    const Method method = request.method();
    Reply reply;
    if (method != Method::Get && method != Method::Head) {
        reply = Page(405, QStringLiteral("Method Not Allowed"),
                     QStringLiteral("This server only shows the stations: GET and HEAD."));
        reply.headers.emplaceBack("Allow", "GET, HEAD");
    } else {
        reply = Answer(connectionText_, request.url().path(), request.query(), clock());
    }
    QHttpServerResponder responder = makeResponder(request, socket);
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(reply.status));
    responder.writeHeader("Content-Type", reply.contentType);
    // Nothing on these pages runs a script, whatever a text may hold.
    responder.writeHeader("Content-Security-Policy",
                          "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'");
    responder.writeHeader("X-Content-Type-Options", "nosniff");
    responder.writeHeader("Cache-Control", "no-store");
    for (const auto& [name, value] : reply.headers)
        responder.writeHeader(name, value);
    responder.writeHeader("Content-Length", QByteArray::number(reply.body.size()));
    if (method == Method::Head)
        responder.writeBody("", 0);
    else
        responder.writeBody(reply.body);
    return true;
}

void FleetServer::missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) {
    const Reply r = NotFound(QStringLiteral("There is no such page."));
    makeResponder(request, socket)
        .write(r.body, r.contentType, QHttpServerResponder::StatusCode::NotFound);
}

}  // namespace vm418::web
