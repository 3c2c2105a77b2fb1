// vm418ctl [--db CONNECTION] serve [--listen ADDR:PORT] [--tls-cert FILE --tls-key FILE]
// Serves the fleet view until stopped. The default address is the machine's own,
// 127.0.0.1:8418; another one is served only when given.
#include "serve_command.h"

#include <QCoreApplication>
#include <QFile>
#include <QHostAddress>
#include <QSslCertificate>
#include <QSslKey>
#include <QTcpServer>
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
                 "[--tls-cert FILE --tls-key FILE]\n",
                 qPrintable(why));
    return kExitUsage;
}

// "127.0.0.1:8418", "[::1]:8418", "0.0.0.0:80"; false when it is none of these.
bool ParseListen(const QString& text, QHostAddress& address, quint16& port) {
    const qsizetype colon = text.lastIndexOf(QLatin1Char(':'));
    if (colon <= 0) return false;
    QString host = text.left(colon);
    if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
        host = host.mid(1, host.size() - 2);
    bool ok = false;
    const uint p = text.mid(colon + 1).toUInt(&ok);
    if (!ok || p > 65535 || !address.setAddress(host)) return false;
    port = static_cast<quint16>(p);
    return true;
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
    const QStringList args = app.arguments().mid(1);
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("serve")) continue;
        if (i + 1 >= args.size()) return usage(a + " needs a value");
        const QString value = args[++i];
        if (a == QLatin1String("--db"))
            db = value;
        else if (a == QLatin1String("--listen"))
            listen = value;
        else if (a == QLatin1String("--tls-cert"))
            cert = value;
        else if (a == QLatin1String("--tls-key"))
            key = value;
        else
            return usage("unknown option " + a);
    }
    QHostAddress address(QHostAddress::LocalHost);
    quint16 port = kDefaultPort;
    if (!listen.isEmpty() && !ParseListen(listen, address, port))
        return usage("--listen takes ADDRESS:PORT, for example 127.0.0.1:8418, not \"" + listen +
                     "\"");
    if (cert.isEmpty() != key.isEmpty()) return usage("--tls-cert and --tls-key go together");

    vm418::useOdbcConfiguration();
    vm418::web::FleetServer server(db);
    if (!cert.isEmpty()) {
        QString error;
        const QByteArray certBytes = ReadFile(cert, error);
        const QByteArray keyBytes = error.isEmpty() ? ReadFile(key, error) : QByteArray();
        if (!error.isEmpty()) {
            std::fprintf(stderr, "vm418ctl serve: %s\n", qPrintable(error));
            return kExitFailure;
        }
        const QSslCertificate certificate(certBytes, QSsl::Pem);
        QSslKey privateKey(keyBytes, QSsl::Rsa, QSsl::Pem);
        if (privateKey.isNull()) privateKey = QSslKey(keyBytes, QSsl::Ec, QSsl::Pem);
        if (certificate.isNull() || privateKey.isNull()) {
            std::fprintf(stderr, "vm418ctl serve: %s is no PEM certificate or %s no PEM key\n",
                         qPrintable(cert), qPrintable(key));
            return kExitFailure;
        }
        server.sslSetup(certificate, privateKey);
    }
    // With TLS the server makes its own listening socket, which then speaks TLS; without,
    // a socket of ours says why it cannot listen.
    quint16 bound = 0;
    QString why;
    if (!cert.isEmpty()) {
        bound = server.listen(address, port);
        if (bound == 0) why = QStringLiteral("the address is in use or not this machine's");
    } else {
        auto* tcp = new QTcpServer(&server);
        if (tcp->listen(address, port)) {
            server.bind(tcp);
            bound = tcp->serverPort();
        } else {
            why = tcp->errorString();
        }
    }
    if (bound == 0) {
        std::fprintf(stderr, "vm418ctl serve: cannot listen on %s:%u: %s\n",
                     qPrintable(address.toString()), port, qPrintable(why));
        return kExitFailure;
    }
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? "[" + address.toString() + "]"
                             : address.toString();
    std::printf("The fleet view is on %s://%s:%u/ (read-only)\n", cert.isEmpty() ? "http" : "https",
                qPrintable(host), bound);
    std::fflush(stdout);
    return app.exec();
}

}  // namespace station::cli
