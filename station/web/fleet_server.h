// The fleet view's web server: read-only pages over the station database.
//   /                          every station, those with an alarm in the last 24 hours first
//   /system/N                  one station: alarms of a period with graphs, events, parameters
//   /system/N/alarms.n42|csv   the period's alarms as ANSI N42.42 or CSV
//   /system/N/alarm.n42        one alarm (?number=&time=)
//   /api/systems               the stations as JSON
//   /api/systems/N/alarms      a station's alarms of a period as JSON
// Periods are whole days, ?from=yyyy-MM-dd&to=yyyy-MM-dd, the last 7 days when not given.
// Only GET and HEAD are answered (405 otherwise); a database that cannot be read gives 503.
#pragma once

#include <QAbstractHttpServer>
#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>
#include <functional>

class QHttpServerRequest;

namespace vm418::web {

// One answer: status, content type, body and any further headers.
struct Reply {
    int status = 200;
    QByteArray contentType = "text/html; charset=utf-8";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
};

// The answer to GET `path` with `query` at `now`; the server's routing without a socket.
Reply Answer(const QString& connectionText, const QString& path, const QUrlQuery& query,
             const QDateTime& now);

class FleetServer : public QAbstractHttpServer {
  public:
    // Every connection this process opens to `connectionText` from now on refuses writes.
    explicit FleetServer(QString connectionText, QObject* parent = nullptr);
    // The clock of the pages (tests set one).
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };

  protected:
    bool handleRequest(const QHttpServerRequest& request, QTcpSocket* socket) override;
    void missingHandler(const QHttpServerRequest& request, QTcpSocket* socket) override;

  private:
    QString connectionText_;
};

}  // namespace vm418::web
