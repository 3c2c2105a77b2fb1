#include "db_setup.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSqlError>
#include <QSqlQuery>
#include <QStandardPaths>

#include "station_db.h"

namespace vm418 {

namespace {

constexpr char kSqliteDriverName[] = "SQLite3";
constexpr char kSqliteDriverLibrary[] = "libsqlite3odbc.so";
constexpr char kPostgresDriverName[] = "PostgreSQL Unicode";
constexpr char kPostgresDriverLibrary[] = "psqlodbcw.so";
// The station program logs in as this role with this password.
constexpr char kRole[] = "CREATOR";
constexpr char kRolePassword[] = "358";

QMap<QString, QString> parseConninfo(const QString& conninfo) {
    QMap<QString, QString> out;
    for (const QString& item : conninfo.split(' ', Qt::SkipEmptyParts)) {
        const qsizetype eq = item.indexOf('=');
        if (eq > 0) out[item.left(eq).toLower()] = item.mid(eq + 1);
    }
    return out;
}

bool writeText(const QString& path, const QString& text, QString& error) {
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(text.toUtf8()) < 0 || !f.commit()) {
        error = f.errorString();
        return false;
    }
    return true;
}

}  // namespace

QString odbcConfigFolder() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           "/vm418station";
}

bool useOdbcConfiguration(const QString& folder) {
    const QString ini = folder + "/odbc.ini";
    if (qEnvironmentVariableIsSet("ODBCINI") || !QFileInfo::exists(ini)) return false;
    qputenv("ODBCINI", QFile::encodeName(ini));
    qputenv("ODBCSYSINI", QFile::encodeName(folder));
    return true;
}

namespace {

// The keys and values of an ODBC connection text ("DSN=VM418;UID=CREATOR"), keys in upper
// case; a value in braces keeps its semicolons.
QMap<QString, QString> connectionItems(const QString& text) {
    static const QRegularExpression item(
        QStringLiteral(R"(\s*([^=;]+?)\s*=\s*(\{[^}]*\}|[^;]*);?)"));
    QMap<QString, QString> items;
    for (auto it = item.globalMatch(text); it.hasNext();) {
        const auto m = it.next();
        QString value = m.captured(2).trimmed();
        if (value.startsWith('{') && value.endsWith('}')) value = value.mid(1, value.size() - 2);
        items.insert(m.captured(1).toUpper(), value);
    }
    return items;
}

// The items of the data source `name` in the first ODBC file that sets it up: the user's,
// then the system's, as unixODBC looks.
QMap<QString, QString> dataSourceItems(const QString& name) {
    QStringList files;
    if (qEnvironmentVariableIsSet("ODBCINI")) files << qEnvironmentVariable("ODBCINI");
    files << QDir::homePath() + "/.odbc.ini"
          << qEnvironmentVariable("ODBCSYSINI", QStringLiteral("/etc")) + "/odbc.ini";
    for (const QString& path : files) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) continue;
        QMap<QString, QString> items;
        bool inSection = false, found = false;
        while (!f.atEnd()) {
            const QString line = QString::fromUtf8(f.readLine()).trimmed();
            if (line.startsWith('[')) {
                inSection =
                    line.mid(1).chopped(1).trimmed().compare(name, Qt::CaseInsensitive) == 0;
                found = found || inSection;
            } else if (inSection && line.contains('=') && !line.startsWith(';') &&
                       !line.startsWith('#')) {
                items.insert(line.section('=', 0, 0).trimmed().toUpper(),
                             line.section('=', 1).trimmed());
            }
        }
        if (found) return items;
    }
    return {};
}

}  // namespace

QString sqliteFileOf(const QString& connectionText) {
    QString text = connectionText.trimmed();
    if (text.startsWith(QLatin1String("ODBC;"), Qt::CaseInsensitive)) text = text.mid(5);
    QMap<QString, QString> items = connectionItems(text);
    if (!items.contains("DRIVER") && items.contains("DSN")) {
        const QMap<QString, QString> source = dataSourceItems(items.value("DSN"));
        for (auto it = source.begin(); it != source.end(); ++it)
            if (!items.contains(it.key())) items.insert(it.key(), it.value());
    }
    if (!items.value("DRIVER").contains(QLatin1String("sqlite"), Qt::CaseInsensitive)) return {};
    return items.value("DATABASE");
}

QString findOdbcDriver(const QString& libraryName) {
    for (const char* dir :
         {"/usr/lib/x86_64-linux-gnu/odbc", "/usr/lib/aarch64-linux-gnu/odbc", "/usr/lib/odbc",
          "/usr/local/lib/odbc", "/usr/lib64", "/usr/local/lib"}) {
        const QString path = QString::fromLatin1(dir) + '/' + libraryName;
        if (QFileInfo::exists(path)) return path;
    }
    return {};
}

bool reportDuplicates(const QStringList& duplicates,
                      const std::function<void(const QString&)>& tell) {
    if (duplicates.isEmpty()) return false;
    tell(
        QStringLiteral("Rows stored more than once prevent the unique keys; the data is left "
                       "as it is:"));
    for (const QString& line : duplicates)
        tell("  " + line);
    tell(
        QStringLiteral("Remove the extra rows and run init again: until then two imports at "
                       "the same time may store a record twice."));
    return true;
}

int initDatabase(const DbSetup& setup, const Tell& tell, const Tell& fail) {
    const Tell& failed = fail ? fail : tell;
    const bool postgres = !setup.conninfo.isEmpty();
    if (postgres == !setup.sqliteFile.isEmpty()) {
        failed("Give either an SQLite file or a PostgreSQL connection, not both or neither.");
        return -4;
    }
    const QString library = postgres ? kPostgresDriverLibrary : kSqliteDriverLibrary;
    const QString driver = findOdbcDriver(library);
    if (driver.isEmpty()) {
        failed(QStringLiteral("The ODBC driver %1 is not installed (Debian package %2).")
                   .arg(library, postgres ? "odbc-postgresql" : "libsqliteodbc"));
        return kDbCannotConnect;
    }

    // The database is reached through its driver first: the ODBC files are written only
    // once it opened and holds the tables, so a wrong file or server leaves them as they were.
    QString attributes;
    QString direct;
    QString where;
    QMap<QString, QString> info;
    if (postgres) {
        info = parseConninfo(setup.conninfo);
        attributes = QStringLiteral("Servername=%1\nPort=%2\nDatabase=%3\nByteaAsLongVarBinary=1\n")
                         .arg(info.value("host", "localhost"), info.value("port", "5432"),
                              info.value("dbname", "vm418"));
        where = QStringLiteral("database %1 on %2:%3")
                    .arg(info.value("dbname", "vm418"), info.value("host", "localhost"),
                         info.value("port", "5432"));
    } else {
        attributes = QStringLiteral("Database=%1\nJournalMode=WAL\n")
                         .arg(QFileInfo(setup.sqliteFile).absoluteFilePath());
        where = QFileInfo(setup.sqliteFile).absoluteFilePath();
    }
    direct = "DRIVER=" + driver + ';' + QString(attributes).replace('\n', ';');

    if (postgres && setup.createRole) {
        const QString admin =
            direct +
            QStringLiteral("UID=%1;PWD=%2").arg(info.value("user"), info.value("password"));
        QString why;
        const int r = runDbOperation(
            admin, false,
            [&](DbConnection& conn) {
                QSqlQuery q(conn.db());
                q.prepare("SELECT 1 FROM pg_roles WHERE rolname = ?");
                q.addBindValue(QString::fromLatin1(kRole));
                if (!q.exec()) throw DbFailure{kDbException, q.lastError().text()};
                const bool exists = q.next();
                q.finish();
                // Role names and passwords cannot be bound; both are fixed texts of this program.
                const QStringList statements = {
                    QStringLiteral("CREATE ROLE \"%1\" LOGIN PASSWORD '%2'")
                        .arg(kRole, kRolePassword),
                    QStringLiteral("GRANT ALL ON SCHEMA public TO \"%1\"").arg(kRole)};
                for (qsizetype i = exists ? 1 : 0; i < statements.size(); ++i)
                    if (!q.exec(statements[i])) throw DbFailure{kDbException, q.lastError().text()};
                tell(exists ? QStringLiteral("Role \"%1\" already exists").arg(kRole)
                            : QStringLiteral("Role \"%1\" created").arg(kRole));
            },
            &why);
        if (r != kDbOk) {
            failed(
                QStringLiteral("Cannot create the role \"%1\" in %2: %3").arg(kRole, where, why));
            return r;
        }
    }

    QStringList duplicates;
    QString why;
    const QString program =
        postgres ? direct + QStringLiteral("UID=%1;PWD=%2").arg(kRole, kRolePassword) : direct;
    if (const int r = createSchema(program, &duplicates, &why); r != kDbOk) {
        failed(QStringLiteral("Cannot create the tables of VM418 in %1: %2").arg(where, why));
        failed(QStringLiteral("The ODBC configuration is left as it was."));
        return r;
    }

    const QString source = QStringLiteral("[VM418]\nDriver=%1\n")
                               .arg(postgres ? kPostgresDriverName : kSqliteDriverName) +
                           attributes;
    const QString drivers = QStringLiteral("[%1]\nDriver=%2\n\n[%3]\nDriver=%4\n")
                                .arg(kSqliteDriverName, findOdbcDriver(kSqliteDriverLibrary),
                                     kPostgresDriverName, findOdbcDriver(kPostgresDriverLibrary));
    QString error;
    if (!QDir().mkpath(setup.configFolder) ||
        !writeText(setup.configFolder + "/odbcinst.ini", drivers, error) ||
        !writeText(setup.configFolder + "/odbc.ini", source, error)) {
        failed(QStringLiteral("Cannot write the ODBC configuration in %1: %2")
                   .arg(setup.configFolder, error));
        return kDbOtherException;
    }
    qputenv("ODBCINI", QFile::encodeName(setup.configFolder + "/odbc.ini"));
    qputenv("ODBCSYSINI", QFile::encodeName(setup.configFolder));
    tell(QStringLiteral("Data source VM418 written to %1/odbc.ini").arg(setup.configFolder));
    if (reportDuplicates(duplicates, failed)) return kDbException;
    tell("Tables of VM418 are in place.");
    return kDbOk;
}

int initNamedDatabase(const QString& connectionText, const Tell& tell, const Tell& fail) {
    const Tell& failed = fail ? fail : tell;
    QStringList duplicates;
    QString why;
    if (const int r = createSchema(connectionText, &duplicates, &why); r != kDbOk) {
        failed(QStringLiteral("Cannot create the tables of VM418 in %1: %2")
                   .arg(maskSecrets(connectionText), why));
        return r;
    }
    if (reportDuplicates(duplicates, failed)) return kDbException;
    tell(QStringLiteral("Tables of VM418 are in place in %1.").arg(maskSecrets(connectionText)));
    return kDbOk;
}

}  // namespace vm418
