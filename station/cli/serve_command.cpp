// vm418ctl [--db CONNECTION] serve [--listen ADDR:PORT] [--tls-cert FILE --tls-key FILE]
//           [--threads N] [--max-connections N] [--max-per-address N] [--idle-timeout S]
//           [--header-timeout S] [--max-header-bytes N]
// Serves the fleet view until SIGTERM or SIGINT. The default address is the machine's own,
// 127.0.0.1:8418; another one is served only when given.
#include "serve_command.h"

#include <sys/resource.h>
#include <QCoreApplication>
#include <QFile>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "db_setup.h"
#include "fleet_server.h"
#include "station_db.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr quint16 kDefaultPort = 8418;

int usage(const QString& why) {
    std::fprintf(stderr,
                 "vm418ctl serve: %s\n"
                 "usage: vm418ctl [--db CONNECTION] serve [--listen ADDR:PORT] "
                 "[--tls-cert FILE --tls-key FILE]\n"
                 "         [--threads N] [--max-connections N] [--max-per-address N] "
                 "[--idle-timeout SECONDS]\n"
                 "         [--header-timeout SECONDS] [--max-header-bytes N]\n",
                 qPrintable(why));
    return kExitUsage;
}

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
    std::fprintf(stderr,
                 "vm418ctl serve: only %lu open files are allowed (ulimit -n): at most %lu "
                 "connections\n",
                 static_cast<unsigned long>(r.rlim_cur), static_cast<unsigned long>(room));
    limits.connections = unsigned(room);
    limits.perAddress = std::min(limits.perAddress, limits.connections);
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

bool IsServeCommand(int argc, char** argv) {
    const int at = argc >= 3 && std::strcmp(argv[1], "--db") == 0 ? 3 : 1;
    return argc > at && std::strcmp(argv[at], "serve") == 0;
}

int RunServeCommand(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QString db = vm418::defaultConnectionText();
    QString listen, cert, key;
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
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("serve")) continue;
        if (i + 1 >= args.size()) return usage(a + " needs a value");
        const QString value = args[++i];
        const auto number = std::find_if(std::begin(numbers), std::end(numbers),
                                         [&](const Number& n) { return a == n.name; });
        if (number != std::end(numbers)) {
            bool ok = false;
            const uint n = value.toUInt(&ok);
            if (!ok || n < number->least || n > 1000000)
                return usage(QStringLiteral("%1 takes a number from %2 to 1000000, not \"%3\"")
                                 .arg(a)
                                 .arg(number->least)
                                 .arg(value));
            if (number->bytes) *number->bytes = n;
            if (number->count) *number->count = n;
        } else if (a == QLatin1String("--db")) {
            db = value;
        } else if (a == QLatin1String("--listen")) {
            listen = value;
        } else if (a == QLatin1String("--tls-cert")) {
            cert = value;
        } else if (a == QLatin1String("--tls-key")) {
            key = value;
        } else {
            return usage("unknown option " + a);
        }
    }
    QString address = QStringLiteral("127.0.0.1");
    quint16 port = kDefaultPort;
    if (!listen.isEmpty() && !ParseListen(listen, address, port))
        return usage("--listen takes ADDRESS:PORT, for example 127.0.0.1:8418, not \"" + listen +
                     "\"");
    if (cert.isEmpty() != key.isEmpty()) return usage("--tls-cert and --tls-key go together");

    vm418::useOdbcConfiguration();
    FitDescriptorLimit(limits);
    vm418::web::FleetServer server(db, limits);
    if (!cert.isEmpty()) {
        QString error;
        const QByteArray certBytes = ReadFile(cert, error);
        const QByteArray keyBytes = error.isEmpty() ? ReadFile(key, error) : QByteArray();
        if (!error.isEmpty()) {
            std::fprintf(stderr, "vm418ctl serve: %s\n", qPrintable(error));
            return kExitFailure;
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
            std::fprintf(stderr, "vm418ctl serve: %s is no PEM certificate or %s no PEM key\n",
                         qPrintable(cert), qPrintable(key));
        else
            std::fprintf(stderr, "vm418ctl serve: cannot listen on %s:%u: %s\n",
                         qPrintable(address), port, qPrintable(why));
        return kExitFailure;
    }
    const QString host = address.contains(QLatin1Char(':')) ? "[" + address + "]" : address;
    std::printf("The fleet view is on %s://%s:%u/ (read-only)\n", cert.isEmpty() ? "http" : "https",
                qPrintable(host), server.port());
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
    return 0;
}

}  // namespace station::cli
