#include "fleet_server.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <QElapsedTimer>
#include <QLoggingCategory>
#include <QSqlQuery>
#include <QThread>
#include <QUrl>
#include <QUrlQuery>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdarg>
#include <cstring>
#include <limits>
#include <memory>
#include <thread>
#include <unordered_set>
#include <vector>

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
// A download's rows read at once: about 100 kB of CSV, or of N42 (which writes each graph
// point as a measurement of its own, some 600 bytes).
constexpr int kCsvRowsPerPiece = 500;
constexpr int kN42RowsPerPiece = 10;
// How long a fleet answer is given again without reading the store, and how many addresses
// (the same path with other queries) are kept at once: no client can make it grow further.
constexpr std::chrono::milliseconds kCacheWindow{2000};
constexpr size_t kCachedAddresses = 32;

Reply Page(int status, const QString& title, const QString& text) {
    return {status, "text/html; charset=utf-8", messagePage(status, title, text), {}, {}};
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
    Reply r{200, type, std::move(body), {}, {}};
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

// A system's alarms of a period, read a piece of rows at a time: each call gives the next
// rows (empty at the end), nullopt when they cannot be read.
class AlarmCursor {
  public:
    AlarmCursor(QString db, int32_t sysId, QDate from, QDate to, int rowsPerPiece)
        : db_(std::move(db)), sysId_(sysId), from_(from), to_(to), rows_(rowsPerPiece) {}
    std::optional<std::vector<alarms>> next() {
        std::vector<alarms> rows;
        if (ended_) return rows;
        QString failure;
        if (readAlarmsAfter(db_, sysId_, from_, to_, after_, rows_, rows, &failure) != kDbOk) {
            qCWarning(lcFleet).noquote() << "a download broke off:" << failure;
            return std::nullopt;
        }
        ended_ = rows.size() < size_t(rows_);
        if (!rows.empty()) after_ = AlarmKey{rows.back().DateTime, rows.back().AlarmNumber};
        return rows;
    }

  private:
    QString db_;
    int32_t sysId_;
    QDate from_, to_;
    int rows_;
    std::optional<AlarmKey> after_;
    bool ended_ = false;
};

// The CSV of a period, written a piece at a time as the client takes it in. The system is
// looked up first, so that a missing system or store still gets its page.
Reply CsvDownload(const QString& db, int32_t sysId, const QDate& from, const QDate& to,
                  const QString& stem) {
    std::vector<alarms> none;
    QString failure;
    const int r = readAlarmsAfter(db, sysId, from, to, std::nullopt, 1, none, &failure);
    if (r == 1) return NotFound(QStringLiteral("There is no system %1.").arg(sysId));
    if (r != kDbOk) return Unavailable(failure);
    auto cursor = std::make_shared<AlarmCursor>(db, sysId, from, to, kCsvRowsPerPiece);
    // The rows of the next piece as CSV lines, without the heading.
    const auto piece = [cursor]() -> std::optional<QByteArray> {
        std::optional<std::vector<alarms>> rows = cursor->next();
        if (!rows) return std::nullopt;
        if (rows->empty()) return QByteArray();
        AlarmMap map;
        for (alarms& a : *rows)
            map.emplace(int(map.size()) + 1, std::move(a));
        const QByteArray text = alarmsCsv(map).toUtf8();
        return text.mid(text.indexOf('\n') + 1);
    };
    const std::optional<QByteArray> first = piece();
    if (!first) return Unavailable(QStringLiteral("the first rows cannot be read"));
    Reply reply = Download(alarmsCsv({}).toUtf8() + *first, "text/csv; charset=utf-8",
                           stem + QStringLiteral(".csv"));
    reply.more = piece;
    return reply;
}

// The N42 document of a period in the same way: its head from a count of the alarms, then
// the alarms keyed 1, 2, ... in the order of time and number, as the export keys them.
Reply N42Download(const QString& db, const SystemPage& page, const QDate& from, const QDate& to,
                  const QDateTime& now, const QString& stem) {
    N42Contents contents;
    QString failure;
    if (readN42Contents(db, page.system.SysID, from, to, contents, &failure) != kDbOk)
        return Unavailable(failure);
    struct State {
        State(AlarmCursor c, const N42Contents& contents, const N42Source& source,
              const QDateTime& created)
            : cursor(std::move(c)), n42(contents, source, created) {}
        AlarmCursor cursor;
        N42Stream n42;
        int count = 0;
        int key = 0;
        bool ended = false;
    };
    auto state =
        std::make_shared<State>(AlarmCursor(db, page.system.SysID, from, to, kN42RowsPerPiece),
                                contents, SourceOf(page), now);
    state->count = contents.alarms;
    const auto piece = [state]() -> std::optional<QByteArray> {
        if (state->ended) return QByteArray();
        std::optional<std::vector<alarms>> rows = state->cursor.next();
        if (!rows) return std::nullopt;
        // No more alarms than the head counted: one stored meanwhile (the newest, last in
        // this order) would not match the head's count and detectors.
        for (const alarms& a : *rows)
            if (state->key < state->count) state->n42.add(++state->key, a);
        if (rows->size() < size_t(kN42RowsPerPiece) || state->key == state->count) {
            state->n42.end();
            state->ended = true;
        }
        return state->n42.take();
    };
    const std::optional<QByteArray> first = piece();
    if (!first) return Unavailable(QStringLiteral("the first rows cannot be read"));
    Reply reply = Download(*first, "application/xml; charset=utf-8", stem + QStringLiteral(".n42"));
    reply.more = piece;
    return reply;
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
    const QString stem =
        QStringLiteral("system-%1-alarms-%2-%3")
            .arg(QString::number(sysId), from.toString(Qt::ISODate), to.toString(Qt::ISODate));
    if (what == QLatin1String("alarms.csv")) return CsvDownload(db, sysId, from, to, stem);
    if (what == QLatin1String("alarms.n42")) {
        r = readSystemPage(db, sysId, from, to, 0, page, &failure, false);
        if (r == 1) return NotFound(QStringLiteral("There is no system %1.").arg(sysId));
        if (r != 0) return Unavailable(failure);
        return N42Download(db, page, from, to, now, stem);
    }
    r = readSystemPage(db, sysId, from, to, what.isEmpty() ? kNewestEvents : 0, page, &failure);
    if (r == 1) return NotFound(QStringLiteral("There is no system %1.").arg(sysId));
    if (r != 0) return Unavailable(failure);
    if (what.isEmpty()) {
        if (unsentNotifications(db, sysId, page.unsent, &failure) != kDbOk)
            return Unavailable(failure);
        return {200, "text/html; charset=utf-8", systemPage(page, from, to, now), {}, {}};
    }
    if (what == QLatin1String("alarms.json"))
        return {200, "application/json", alarmsJson(page.system, page.alarms, from, to), {}, {}};
    return NotFound(QStringLiteral("There is no such page."));
}

}  // namespace

Reply Answer(const QString& db, const QString& path, const QUrlQuery& query, const QDateTime& now) {
    const QStringList parts = path.split(QLatin1Char('/'));  // "" first: the path starts with /
    if (path == QLatin1String("/")) {
        std::vector<FleetRow> rows;
        QString failure;
        if (readFleet(db, now, rows, &failure) != 0) return Unavailable(failure);
        return {200, "text/html; charset=utf-8", fleetPage(rows, now), {}, {}};
    }
    if (path == QLatin1String("/api/systems")) {
        std::vector<FleetRow> rows;
        QString failure;
        if (readFleet(db, now, rows, &failure) != 0) return Unavailable(failure);
        return {200, "application/json", systemsJson(rows), {}, {}};
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

// The library's time-out only bounds the silence between a client's bytes: one that sends a
// byte of its headers (or of its TLS handshake) now and then keeps its connection for ever.
// This watch gives each connection a deadline while its request line and headers are awaited
// and shuts the socket of one past it down (no answer can be queued before the headers are
// in); the library then reads the end of the connection on its own thread and closes and
// frees it as any other that its client closed. A socket is shut down only under the lock
// that the library's closing notice takes before the library closes the descriptor, so a
// number that a newer connection reuses is never hit.
class HeaderDeadlines {
  public:
    using Clock = std::chrono::steady_clock;
    // A connection: its socket and the time by which its headers must be in.
    struct Watched {
        int fd;
        std::atomic<Clock::rep> deadline;  // kNone while a request is answered
    };
    static constexpr Clock::rep kNone = std::numeric_limits<Clock::rep>::max();
    // How soon a connection past its deadline whose bytes wait unread is looked at again.
    static constexpr std::chrono::milliseconds kBehindAgain{250};

    explicit HeaderDeadlines(std::chrono::seconds allowed)
        : allowed_(allowed), thread_([this] { run(); }) {}
    ~HeaderDeadlines() {
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            stopping_ = true;
        }
        wake_.notify_one();
        thread_.join();
    }
    HeaderDeadlines(const HeaderDeadlines&) = delete;
    HeaderDeadlines& operator=(const HeaderDeadlines&) = delete;

    // A new connection awaits its first request (its TLS handshake first).
    Watched* started(int fd) {
        auto* w = new Watched{fd, (Clock::now() + allowed_).time_since_epoch().count()};
        bool first = false;
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            first = watched_.empty();
            watched_.insert(w);
        }
        if (first) wake_.notify_one();
        return w;
    }
    // Before the library closes the connection's descriptor.
    void closed(Watched* w) {
        if (!w) return;
        {
            const std::lock_guard<std::mutex> hold(mutex_);
            watched_.erase(w);
        }
        delete w;
    }
    // The connection's request line and headers are in.
    static void requestIn(Watched* w) {
        if (w) w->deadline.store(kNone, std::memory_order_relaxed);
    }
    // An answer has gone out; the connection awaits its next request.
    void awaitRequest(Watched* w) const {
        if (w)
            w->deadline.store((Clock::now() + allowed_).time_since_epoch().count(),
                              std::memory_order_relaxed);
    }

  private:
    void run() {
        std::unique_lock<std::mutex> hold(mutex_);
        while (!stopping_) {
            const Clock::time_point now = Clock::now();
            // A deadline set after this look is at least `allowed_` away: the next look comes
            // no later than that.
            Clock::time_point next = now + allowed_;
            for (Watched* w : watched_) {
                const Clock::rep deadline = w->deadline.load(std::memory_order_relaxed);
                if (deadline == kNone) continue;
                const Clock::time_point at{Clock::duration(deadline)};
                if (at > now) {
                    next = std::min(next, at);
                    continue;
                }
                // Bytes that wait unread were sent in time: the connection's worker is still
                // busy with another's answer, and reads them when it is free.
                int unread = 0;
                if (::ioctl(w->fd, FIONREAD, &unread) == 0 && unread > 0) {
                    next = std::min(next, now + kBehindAgain);
                    continue;
                }
                qCInfo(lcFleet).noquote()
                    << QStringLiteral("a connection closed: its request took longer than %1 s")
                           .arg(allowed_.count());
                ::shutdown(w->fd, SHUT_RDWR);
                w->deadline.store(kNone, std::memory_order_relaxed);
            }
            if (watched_.empty())
                wake_.wait(hold, [this] { return stopping_ || !watched_.empty(); });
            else
                wake_.wait_until(hold, next);
        }
    }

    const std::chrono::seconds allowed_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::unordered_set<Watched*> watched_;
    bool stopping_ = false;
    std::thread thread_;  // last: it starts once the rest is made
};

namespace {

// A request as the library hands it on: its address as the client wrote it, and from its
// headers on, when they were in and the status of its answer.
struct Request {
    QByteArray uri;
    FleetServer* server = nullptr;
    bool headersSeen = false;
    std::chrono::steady_clock::time_point in;
    int status = 0;
};

void* RequestStarts(void* server, const char* uri, MHD_Connection*) {
    auto* request = new Request;
    request->uri = QByteArray(uri);
    request->server = static_cast<FleetServer*>(server);
    return request;
}

HeaderDeadlines::Watched* WatchOf(MHD_Connection* connection) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
    return info ? static_cast<HeaderDeadlines::Watched*>(info->socket_context) : nullptr;
}

void ConnectionNotice(void* cls, MHD_Connection* connection, void** socketContext,
                      MHD_ConnectionNotificationCode code) {
    auto* deadlines = static_cast<HeaderDeadlines*>(cls);
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
        *socketContext = info ? deadlines->started(info->connect_fd) : nullptr;
    } else {
        deadlines->closed(static_cast<HeaderDeadlines::Watched*>(*socketContext));
        *socketContext = nullptr;
    }
}

// An answer has gone out, or the connection closes in the middle of a request.
void RequestEnds(void* cls, MHD_Connection* connection, void** state, MHD_RequestTerminationCode) {
    const auto* request = static_cast<Request*>(*state);
    if (request && request->status != 0)
        request->server->answered(
            request->status,
            std::chrono::duration<double>(std::chrono::steady_clock::now() - request->in).count());
    delete request;
    *state = nullptr;
    static_cast<const HeaderDeadlines*>(cls)->awaitRequest(WatchOf(connection));
}

void LibraryLog(void*, const char* format, va_list args) {
    char line[512];
    std::vsnprintf(line, sizeof line, format, args);
    qCInfo(lcFleet).noquote() << QString::fromLocal8Bit(line).trimmed();
}

void FreeBody(void* body) {
    delete static_cast<QByteArray*>(body);
}

// A download in pieces: what is left of the current piece, and where the next comes from.
struct Pieces {
    QByteArray piece;
    qsizetype sent = 0;
    std::function<std::optional<QByteArray>()> more;
    bool ended = false;
};

// Called by the library when the client's connection takes more: the next piece is read
// only then, so a client that does not read holds one piece of the server's memory.
ssize_t NextPiece(void* cls, uint64_t, char* buffer, size_t room) {
    auto* pieces = static_cast<Pieces*>(cls);
    while (pieces->sent == pieces->piece.size()) {
        if (pieces->ended) return MHD_CONTENT_READER_END_OF_STREAM;
        std::optional<QByteArray> next = pieces->more();
        if (!next) return MHD_CONTENT_READER_END_WITH_ERROR;  // the client sees it cut short
        pieces->ended = next->isEmpty();
        pieces->piece = std::move(*next);
        pieces->sent = 0;
    }
    const size_t n = std::min(room, size_t(pieces->piece.size() - pieces->sent));
    std::memcpy(buffer, pieces->piece.constData() + pieces->sent, n);
    pieces->sent += qsizetype(n);
    return ssize_t(n);
}

void FreePieces(void* cls) {
    delete static_cast<Pieces*>(cls);
}

MHD_Result Handle(void* cls, MHD_Connection* connection, const char*, const char* method,
                  const char*, const char*, size_t*, void** state) {
    auto* server = static_cast<FleetServer*>(cls);
    auto* request = static_cast<Request*>(*state);
    // The library calls first once the request line and headers are in.
    if (request && !request->headersSeen) {
        HeaderDeadlines::requestIn(WatchOf(connection));
        request->in = std::chrono::steady_clock::now();
    }
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    const bool hasBody = (length && std::strcmp(length, "0") != 0) ||
                         MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                     MHD_HTTP_HEADER_TRANSFER_ENCODING) != nullptr;
    const QByteArray verb(method);
    const bool refused = hasBody || (verb != "GET" && verb != "HEAD");
    // A page is answered once the whole request is in (the library keeps the connection for
    // the next one only then); a refusal at once, without reading what follows.
    if (!refused && request && !request->headersSeen) {
        request->headersSeen = true;
        return MHD_YES;
    }
    const Reply reply = server->answer(verb, request ? request->uri : QByteArray("/"), hasBody);
    if (request) request->status = reply.status;
    MHD_Response* response = nullptr;
    if (reply.more) {
        constexpr size_t kPieceBlock = 32 * 1024;
        auto* pieces = new Pieces{reply.body, 0, reply.more, false};
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, kPieceBlock, &NextPiece,
                                                     pieces, &FreePieces);
        if (!response) delete pieces;
    } else {
        auto* body = new QByteArray(reply.body);
        response = MHD_create_response_from_buffer_with_free_callback_cls(
            body->size(), body->data(), &FreeBody, body);
        if (!response) delete body;
    }
    if (!response) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, reply.contentType.constData());
    // Nothing on these pages runs a script, whatever a text may hold.
    MHD_add_response_header(response, "Content-Security-Policy",
                            "default-src 'none'; style-src 'unsafe-inline'; form-action 'self'");
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    for (const auto& [name, value] : reply.headers)
        MHD_add_response_header(response, name.constData(), value.constData());
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
    MHD_destroy_response(response);
    return queued;
}

// A listening socket on `address`:`port`, or -1 with the reason.
int ListenOn(const QString& address, quint16 port, bool& v6, QString* error) {
    sockaddr_storage where{};
    socklen_t size = 0;
    const QByteArray host = address.toLatin1();
    auto* in4 = reinterpret_cast<sockaddr_in*>(&where);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&where);
    if (inet_pton(AF_INET, host.constData(), &in4->sin_addr) == 1) {
        in4->sin_family = AF_INET;
        in4->sin_port = htons(port);
        size = sizeof *in4;
        v6 = false;
    } else if (inet_pton(AF_INET6, host.constData(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(port);
        size = sizeof *in6;
        v6 = true;
    } else {
        if (error) *error = QStringLiteral("%1 is no IP address").arg(address);
        return -1;
    }
    const int fd = ::socket(where.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    constexpr int kBacklog = 128;
    if (fd < 0 || ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0 ||
        (v6 && ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof on) != 0) ||
        ::bind(fd, reinterpret_cast<sockaddr*>(&where), size) != 0 || ::listen(fd, kBacklog) != 0) {
        if (error) *error = QString::fromLocal8Bit(std::strerror(errno));
        if (fd >= 0) ::close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

FleetServer::FleetServer(QString connectionText, ServeLimits limits)
    : connectionText_(std::move(connectionText)), limits_(limits) {
    setConnectionsReadOnly(true);
    if (limits_.threads == 0) {
        constexpr int kFewestThreads = 4;  // a page held up by a lock leaves others to answer
        limits_.threads = unsigned(std::max(kFewestThreads, QThread::idealThreadCount()));
    }
}

FleetServer::~FleetServer() {
    stop();
}

void FleetServer::useTls(QByteArray certificatePem, QByteArray keyPem) {
    certificate_ = std::move(certificatePem);
    key_ = std::move(keyPem);
}

bool FleetServer::start(const QString& address, quint16 port, QString* error) {
    bool v6 = false;
    const int fd = ListenOn(address, port, v6, error);
    if (fd < 0) return false;
    sockaddr_storage bound{};
    socklen_t size = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &size);
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);
    const bool tls = !certificate_.isEmpty();
    deadlines_ = std::make_unique<HeaderDeadlines>(std::chrono::seconds(limits_.headerSeconds));
    // poll(), not epoll: with epoll this library version leaves the listening socket out of
    // a worker's wait once it had its share of connections, until that wait times out (up
    // to the idle time, 30 s, in which nobody is accepted and a stop hangs). The channel
    // (ITC) wakes the workers for a stop.
    unsigned flags =
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_POLL | MHD_USE_ITC | MHD_USE_ERROR_LOG;
    if (v6) flags |= MHD_USE_IPv6;
    if (tls) flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> options = {
        // The logger first, so that the library's complaints about the others go to it too.
        {MHD_OPTION_EXTERNAL_LOGGER, intptr_t(&LibraryLog), nullptr},
        {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
        {MHD_OPTION_THREAD_POOL_SIZE, limits_.threads, nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, limits_.connections, nullptr},
        {MHD_OPTION_PER_IP_CONNECTION_LIMIT, limits_.perAddress, nullptr},
        {MHD_OPTION_CONNECTION_TIMEOUT, limits_.idleSeconds, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, intptr_t(limits_.headerBytes), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK, intptr_t(&RequestStarts), this},
        {MHD_OPTION_NOTIFY_COMPLETED, intptr_t(&RequestEnds), deadlines_.get()},
        {MHD_OPTION_NOTIFY_CONNECTION, intptr_t(&ConnectionNotice), deadlines_.get()},
    };
    if (tls) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, certificate_.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, key_.data()});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &Handle, this, MHD_OPTION_ARRAY,
                               options.data(), MHD_OPTION_END);
    if (!daemon_) {
        deadlines_.reset();
        ::close(fd);
        if (error)
            *error = tls ? QStringLiteral("the certificate and key do not make a TLS server")
                         : QStringLiteral("the HTTP server could not start");
        return false;
    }
    return true;
}

void FleetServer::stop() {
    if (daemon_) MHD_stop_daemon(daemon_);  // every connection's closing notice first
    daemon_ = nullptr;
    deadlines_.reset();
}

Reply FleetServer::answer(const QByteArray& method, const QByteArray& uri, bool hasBody) {
    Reply reply;
    if (method != "GET" && method != "HEAD") {
        reply = Page(405, QStringLiteral("Method Not Allowed"),
                     QStringLiteral("This server only shows the stations: GET and HEAD."));
        reply.headers.emplaceBack("Allow", "GET, HEAD");
    } else if (hasBody) {
        reply = Page(413, QStringLiteral("Content Too Large"),
                     QStringLiteral("A request for a page carries no body."));
    } else if (size_t(uri.size()) > limits_.lineBytes) {
        reply = Page(414, QStringLiteral("URI Too Long"),
                     QStringLiteral("No address of this server is that long."));
    } else {
        const qsizetype mark = uri.indexOf('?');
        const QString path = QUrl::fromPercentEncoding(uri.left(mark < 0 ? uri.size() : mark));
        if (path == QLatin1String("/healthz")) return health();
        if (path == QLatin1String("/metrics")) return metrics();
        const bool fleet = path == QLatin1String("/") || path == QLatin1String("/api/systems");
        if (fleet)
            if (std::optional<Reply> copy = cached(uri)) return *copy;
        keepConnectionsOnThisThread();
        const QUrlQuery query(mark < 0 ? QString() : QString::fromUtf8(uri.mid(mark + 1)));
        reply = Answer(connectionText_, path, query, clock());
        if (fleet && reply.status == 200) keep(uri, reply);
        return reply;
    }
    // The rest of such a request is not read: the connection ends with the answer.
    reply.headers.emplaceBack("Connection", "close");
    return reply;
}

std::optional<Reply> FleetServer::cached(const QByteArray& uri) {
    const std::lock_guard<std::mutex> hold(cacheMutex_);
    const auto found = cache_.find(uri);
    if (found == cache_.end() || found->second.until <= std::chrono::steady_clock::now())
        return std::nullopt;
    return found->second.reply;
}

void FleetServer::keep(const QByteArray& uri, const Reply& reply) {
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard<std::mutex> hold(cacheMutex_);
    std::erase_if(cache_, [now](const auto& entry) { return entry.second.until <= now; });
    if (cache_.size() < kCachedAddresses || cache_.count(uri))
        cache_[uri] = Cached{reply, now + kCacheWindow};
}

void FleetServer::answered(int status, double seconds) {
    const std::lock_guard<std::mutex> hold(figuresMutex_);
    figures_.add(status, seconds);
}

// 200 when the store answers a statement within 2 s, else 503; the reason goes to the log
// only, as for every page.
Reply FleetServer::health() {
    constexpr qint64 kAnswerMs = 2000;
    keepConnectionsOnThisThread();
    QElapsedTimer timer;
    timer.start();
    QString failure;
    const int r = runDbOperation(
        connectionText_, false,
        [](DbConnection& conn) {
            QSqlQuery q = preparedQuery(conn, "SELECT 1 FROM System WHERE 1 = 0");
            runQuery(q);
        },
        &failure);
    if (r == kDbOk && timer.elapsed() <= kAnswerMs)
        return {200, "text/plain; charset=utf-8", "ok\n", {}, {}};
    qCWarning(lcFleet).noquote() << "health: the station database"
                                 << (r == kDbOk ? QStringLiteral("answered late")
                                                : "cannot be read: " + failure);
    Reply reply{503, "text/plain; charset=utf-8", "unavailable\n", {}, {}};
    reply.headers.emplaceBack("Retry-After", "30");
    return reply;
}

Reply FleetServer::metrics() {
    keepConnectionsOnThisThread();
    std::vector<FleetRow> rows;
    std::map<int32_t, qint64> totals;
    std::map<int32_t, std::pair<qint64, qint64>> unsent;
    QString failure;
    const bool read = readFleet(connectionText_, clock(), rows, &failure) == kDbOk &&
                      readAlarmTotals(connectionText_, totals, &failure) == kDbOk &&
                      countUnsentNotifications(connectionText_, unsent, &failure) == kDbOk;
    if (!read) {
        qCWarning(lcFleet).noquote() << "metrics: the station database cannot be read:" << failure;
        rows.clear();
    }
    RequestFigures figures;
    {
        const std::lock_guard<std::mutex> hold(figuresMutex_);
        figures = figures_;
    }
    return {200,
            "text/plain; version=0.0.4; charset=utf-8",
            metricsText(read, rows, totals, unsent, figures),
            {},
            {}};
}

}  // namespace vm418::web
