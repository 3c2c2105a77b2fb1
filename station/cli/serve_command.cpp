// vm418ctl [--db CONNECTION] serve [--listen ADDR:PORT] [--tls-cert FILE --tls-key FILE]
//           [--threads N] [--max-connections N] [--max-per-address N] [--idle-timeout S]
//           [--header-timeout S] [--max-header-bytes N]
// Serves the fleet view until SIGTERM or SIGINT. The default address is the machine's own,
// 127.0.0.1:8418; another one is served only when given.
#include "serve_command.h"

#include <curl/curl.h>
#include <sys/resource.h>
#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <csignal>
#include <cstdio>

#include "command_line.h"
#include "db_setup.h"
#include "fleet_server.h"
#include "log_lines.h"
#include "service_notice.h"
#include "station_db.h"

namespace {

constexpr quint16 kDefaultPort = 8418;

using namespace station::cli;

// "127.0.0.1:8418", "[::1]:8418", "0.0.0.0:80"; false when it is none of these.
bool ParseListen(const QString& text, QString& address, quint16& port) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) return false;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    else if (host.contains(QLatin1Char(':')))
        return false;  // an IPv6 address goes in brackets
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p > 65535 || host.isEmpty()) return false;
    address = host;
    port = static_cast<quint16>(p);
    return true;
}

// Each connection is a descriptor: the soft limit is raised towards the hard one so that the
// connection limit is met before it; where it cannot be, fewer connections are allowed, and
// the server never meets "too many open files" on accepting.
void FitDescriptorLimit(vm418::web::ServeLimits& limits) {
    // The listening socket, the workers' database connections, the log, the libraries.
    constexpr rlim_t kOwnDescriptors = 128;
    rlimit r{};
    if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return;
    const rlim_t wanted = limits.connections + kOwnDescriptors;
    if (r.rlim_cur < wanted) {
        r.rlim_cur = std::min(wanted, r.rlim_max);
        ::setrlimit(RLIMIT_NOFILE, &r);
        ::getrlimit(RLIMIT_NOFILE, &r);
    }
    if (r.rlim_cur >= wanted) return;
    const rlim_t room =
        r.rlim_cur > 2 * kOwnDescriptors ? r.rlim_cur - kOwnDescriptors : r.rlim_cur / 2;
    station::cli::Log(
        station::cli::LogLevel::Warning,
        QString::asprintf("vm418ctl serve: only %lu open files are allowed "
                          "(ulimit -n): at most %lu connections",
                          static_cast<unsigned long>(r.rlim_cur), static_cast<unsigned long>(room)),
        stderr);
    limits.connections = unsigned(room);
    limits.perAddress = std::min(limits.perAddress, limits.connections);
}

// True when the server at `base` answers an HTTP request within `limitMs`, whatever its
// status: the watchdog's proof that it accepts, reads and answers (a database that is away
// makes a 503, not a hung server). The certificate is not checked: it is our own.
bool Answers(const QString& base, long limitMs) {
    CURL* curl = curl_easy_init();
    if (!curl) return false;
    const QByteArray url = (base + "/healthz").toUtf8();
    curl_easy_setopt(curl, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, limitMs);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_NOPROXY, "*");
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    const CURLcode result = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return result == CURLE_OK;
}

QByteArray ReadFile(const QString& path, QString& error) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        error = path + ": " + f.errorString();
        return {};
    }
    return f.readAll();
}

}  // namespace

namespace station::cli {

namespace {

int RunServe(const Invocation& call) {
    TimeLogLines();
    const QString db = call.args.value(kDbOption.name, vm418::defaultConnectionText());
    const QString listen = call.args.value("--listen");
    const QString cert = call.args.value("--tls-cert");
    const QString key = call.args.value("--tls-key");
    vm418::web::ServeLimits limits;
    // The numeric options, each with its least value.
    struct Number {
        const char* name;
        size_t* bytes;
        unsigned* count;
        unsigned least;
    };
    const Number numbers[] = {
        {"--threads", nullptr, &limits.threads, 1},
        {"--max-connections", nullptr, &limits.connections, 1},
        {"--max-per-address", nullptr, &limits.perAddress, 1},
        {"--idle-timeout", nullptr, &limits.idleSeconds, 1},
        {"--header-timeout", nullptr, &limits.headerSeconds, 1},
        {"--max-header-bytes", &limits.headerBytes, nullptr, 4096},
    };
    for (const Number& number : numbers) {
        if (!call.args.has(number.name)) continue;
        const QString value = call.args.value(number.name);
        bool ok = false;
        const uint n = value.toUInt(&ok);
        if (!ok || n < number.least || n > 1000000)
            return UsageError(call.spec,
                              QStringLiteral("%1 takes a number from %2 to 1000000, not \"%3\"")
                                  .arg(QLatin1String(number.name))
                                  .arg(number.least)
                                  .arg(value));
        if (number.bytes) *number.bytes = n;
        if (number.count) *number.count = n;
    }
    QString address = QStringLiteral("127.0.0.1");
    quint16 port = kDefaultPort;
    if (!listen.isEmpty() && !ParseListen(listen, address, port))
        return UsageError(
            call.spec,
            "--listen takes ADDRESS:PORT, for example 127.0.0.1:8418, not \"" + listen + "\"");
    if (cert.isEmpty() != key.isEmpty())
        return UsageError(call.spec, "--tls-cert and --tls-key go together");

    // Only a missing file is refused: the server reads a store that writers keep changing,
    // which an immutable view would not follow.
    if (QString checked = db; CheckDatabase(call.spec, checked, DbUse::kRead) >= 0)
        return kExitFailure;
    FitDescriptorLimit(limits);
    vm418::web::FleetServer server(db, limits);
    if (!cert.isEmpty()) {
        QString error;
        const QByteArray certBytes = ReadFile(cert, error);
        const QByteArray keyBytes = error.isEmpty() ? ReadFile(key, error) : QByteArray();
        if (!error.isEmpty()) {
            return Failure(call.spec, error);
        }
        server.useTls(certBytes, keyBytes);
    }
    // The workers inherit a mask without the stop signals, which this thread then waits for.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    QString why;
    if (!server.start(address, port, &why)) {
        if (!cert.isEmpty() && why.startsWith(QLatin1String("the certificate")))
            return Failure(
                call.spec,
                QStringLiteral("%1 is no PEM certificate or %2 no PEM key").arg(cert, key));
        return Failure(
            call.spec,
            QStringLiteral("cannot listen on %1:%2: %3").arg(address).arg(port).arg(why));
    }
    const QString host = address.contains(QLatin1Char(':')) ? "[" + address + "]" : address;
    const char* scheme = cert.isEmpty() ? "http" : "https";
    Log(LogLevel::Info,
        QStringLiteral("The fleet view is on %1://%2:%3/ (read-only)")
            .arg(QLatin1String(scheme), host)
            .arg(server.port()),
        stdout);
    NotifyReady(QStringLiteral("serving %1://%2:%3/").arg(scheme, host).arg(server.port()));

    // Under systemd's watchdog the server is alive while it answers a request of its own.
    const qint64 aliveMs = AliveIntervalMs();
    const QString self = address == QLatin1String("0.0.0.0") ? QStringLiteral("127.0.0.1")
                         : address == QLatin1String("::")    ? QStringLiteral("[::1]")
                                                             : host;
    const QString base = QStringLiteral("%1://%2:%3").arg(scheme, self).arg(server.port());
    if (aliveMs > 0) curl_global_init(CURL_GLOBAL_DEFAULT);
    const timespec pause{time_t(aliveMs / 1000), long(aliveMs % 1000) * 1000000L};
    for (;;) {
        int signal = 0;
        if (aliveMs > 0)
            signal = sigtimedwait(&stopSignals, nullptr, &pause);
        else
            sigwait(&stopSignals, &signal);
        if (signal > 0) break;
        if (aliveMs > 0 && Answers(base, long(std::max<qint64>(aliveMs / 2, 1000)))) NotifyAlive();
    }
    NotifyStopping();
    server.stop();
    return kExitOk;
}

}  // namespace

const CommandSpec kServeCommand{
    "serve",
    "[--listen ADDR:PORT] [--tls-cert FILE --tls-key FILE] [--threads N]\n"
    "         [--max-connections N] [--max-per-address N] [--idle-timeout SECONDS]\n"
    "         [--header-timeout SECONDS] [--max-header-bytes N]",
    "Serves the fleet view's read-only web pages until SIGTERM or SIGINT.",
    0,
    {{"--listen", "ADDR:PORT", "the address to serve (127.0.0.1:8418)"},
     {"--tls-cert", "FILE", "HTTPS with this PEM certificate (with --tls-key)"},
     {"--tls-key", "FILE", "the certificate's PEM key"},
     {"--threads", "N", "the worker threads"},
     {"--max-connections", "N", "connections at once"},
     {"--max-per-address", "N", "connections at once from one address"},
     {"--idle-timeout", "SECONDS", "a kept connection without a request is closed after it"},
     {"--header-timeout", "SECONDS", "a request's line and headers must be in within it (10)"},
     {"--max-header-bytes", "N", "the longest request line and headers"},
     kDbOption},
    RunServe};

}  // namespace station::cli
