// The fleet view's web server: read-only pages over the station database.
//   /                          every station, those with an alarm in the last 24 hours first
//   /system/N                  one station: alarms of a period with graphs, events, parameters
//   /system/N/alarms.n42|csv   the period's alarms as ANSI N42.42 or CSV
//   /system/N/alarm.n42        one alarm (?number=&time=)
//   /api/systems               the stations as JSON
//   /api/systems/N/alarms      a station's alarms of a period as JSON
// Periods are whole days, ?from=yyyy-MM-dd&to=yyyy-MM-dd, the last 7 days when not given.
// Only GET and HEAD are answered (405 otherwise, 413 for one with a body, and the connection
// closed); a database that cannot be read gives 503.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>
#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

struct MHD_Daemon;

#include "fleet_metrics.h"

namespace vm418::web {

class HeaderDeadlines;

// One answer: status, content type, body and any further headers.
struct Reply {
    int status = 200;
    QByteArray contentType = "text/html; charset=utf-8";
    QByteArray body;
    QList<QPair<QByteArray, QByteArray>> headers;
    // A download too large to build at once: after `body`, the rest piece by piece as the
    // client takes it in (an empty piece ends it; none means that the rest cannot be read,
    // and the download breaks off).
    std::function<std::optional<QByteArray>()> more;
};

// The answer to GET `path` with `query` at `now`; the server's routing without a socket.
Reply Answer(const QString& connectionText, const QString& path, const QUrlQuery& query,
             const QDateTime& now);

// What the server allows its clients; `vm418ctl serve` takes each as an option.
struct ServeLimits {
    unsigned threads = 0;            // workers answering requests; 0: the cores, at least 4
    unsigned connections = 256;      // open at once; more are closed as they come
    unsigned perAddress = 64;        // open at once from one client address
    unsigned idleSeconds = 30;       // a connection without traffic for this long is closed:
                                     // idle between requests, in its request line and headers,
                                     // in a TLS handshake, or while an answer is not taken in
    unsigned headerSeconds = 10;     // a request's line and headers (a TLS handshake first) are
                                     // in within this time of the connection's start or of the
                                     // end of the answer before, however steadily they come;
                                     // else the connection is closed
    size_t headerBytes = 64 * 1024;  // request line and headers (else 414 or 431, and closed)
    size_t lineBytes = 8 * 1024;     // the request's address (else 414, and closed)
};

// The fleet view on libmicrohttpd: a pool of worker threads answers the requests, each
// with its own kept read-only connection to the store. The fleet page and /api/systems,
// which change only when a call stores something, are answered from a copy shared by the
// workers for up to 2 s after one was read (GET and HEAD alike; only a 200 is kept).
class FleetServer {
  public:
    // Every connection this process opens to `connectionText` from now on refuses writes.
    explicit FleetServer(QString connectionText, ServeLimits limits = {});
    ~FleetServer();
    FleetServer(const FleetServer&) = delete;
    FleetServer& operator=(const FleetServer&) = delete;

    // HTTPS only, with this certificate and key (PEM); before start().
    void useTls(QByteArray certificatePem, QByteArray keyPem);
    // Listens on `address` (an IPv4 or IPv6 address) and `port` (0: any free one) and serves
    // until stopped; false with the reason in `error`.
    bool start(const QString& address, quint16 port, QString* error);
    quint16 port() const { return port_; }
    void stop();

    // The clock of the pages (tests set one); called on the worker threads.
    std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };

    // For the library's callbacks.
    Reply answer(const QByteArray& method, const QByteArray& uri, bool hasBody);
    // An answer with `status` that took `seconds` from its headers to its last byte.
    void answered(int status, double seconds);
    const ServeLimits& limits() const { return limits_; }

  private:
    // A fleet answer read at most kCacheWindow ago, by the address as asked (path and query).
    struct Cached {
        Reply reply;
        std::chrono::steady_clock::time_point until;
    };
    std::optional<Reply> cached(const QByteArray& uri);
    Reply health();
    Reply metrics();
    void keep(const QByteArray& uri, const Reply& reply);

    QString connectionText_;
    ServeLimits limits_;
    QByteArray certificate_, key_;
    std::unique_ptr<HeaderDeadlines> deadlines_;  // while the daemon runs
    MHD_Daemon* daemon_ = nullptr;
    quint16 port_ = 0;
    std::mutex cacheMutex_;
    std::map<QByteArray, Cached> cache_;
    std::mutex figuresMutex_;
    RequestFigures figures_;
};

}  // namespace vm418::web
