#include "station_db.h"

#include <sys/stat.h>
#include <QAtomicInt>
#include <QDateTime>
#include <QFile>
#include <QRegularExpression>
#include <algorithm>
#include <QSqlDriver>
#include <QSqlError>
#include <QSqlQuery>
#include <QStringList>
#include <atomic>
#include <cstdlib>
#include <exception>
#include <memory>

Q_LOGGING_CATEGORY(lcStationDb, "station.db")

namespace vm418 {

extern const char* const kSchemaTemplate;

namespace {
QString& siteConnectionText() {
    static QString text;
    return text;
}
}  // namespace

void setSiteConnectionText(const QString& connectionText) {
    siteConnectionText() = connectionText;
}

QString defaultConnectionText() {
    const QString env = qEnvironmentVariable("VM418_DB");
    if (!env.isEmpty()) return env;
    if (!siteConnectionText().isEmpty()) return siteConnectionText();
    return QString::fromLatin1(kDefaultConnectionText);
}

QString odbcConnectString(const QString& connectionText) {
    QString s = connectionText.trimmed();
    if (s.startsWith("ODBC;", Qt::CaseInsensitive)) s.remove(0, 5);
    if (s.startsWith("DSN=", Qt::CaseInsensitive) && !s.contains("DRIVER=", Qt::CaseInsensitive) &&
        !s.contains("SERVER=", Qt::CaseInsensitive))
        s.remove(0, 4);
    return s;
}

QString maskSecrets(const QString& text) {
    // The key, not part of a longer word, with its "=". A value in braces (ODBC, "}}" for a
    // brace inside) or in single quotes (conninfo, a backslash before a quote inside) is
    // taken whole, even when left open.
    static const QString key = QStringLiteral(R"((?<!\w)((?:pwd|password)\s*=\s*))");
    static const QString enclosed = QStringLiteral(R"(\{(?:[^}]|\}\})*\}?|'(?:[^'\\]|\\.)*'?)");
    // A bare value ends at the next ";" in an ODBC text (it may hold blanks there), at the
    // next blank in a conninfo text.
    static const QRegularExpression odbc(key + "(?:" + enclosed + R"(|[^;\r\n]*))",
                                         QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression conninfo(key + "(?:" + enclosed + R"(|\S*))",
                                             QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression address(R"((\w+://[^:/@\s]*:)[^@\s]*@)");
    QString masked = text;
    masked.replace(text.contains(QLatin1Char(';')) ? odbc : conninfo, QStringLiteral("\\1***"));
    masked.replace(address, QStringLiteral("\\1***@"));
    return masked;
}

DbConnection::DbConnection(const QString& connectionText) {
    static QAtomicInt counter;
    name_ = QStringLiteral("vm418-db-%1").arg(counter.fetchAndAddRelaxed(1));
    db_ = QSqlDatabase::addDatabase("QODBC", name_);
    db_.setDatabaseName(odbcConnectString(connectionText));
}

DbConnection::~DbConnection() {
    db_.close();
    db_ = QSqlDatabase();
    QSqlDatabase::removeDatabase(name_);
}

namespace {
std::atomic<bool> readOnlyConnections{false};
}  // namespace

void setConnectionsReadOnly(bool readOnly) {
    readOnlyConnections = readOnly;
}

bool connectionsReadOnly() {
    return readOnlyConnections;
}

namespace {
// The connection a thread keeps (keepConnectionsOnThisThread), with its connection text.
struct KeptConnection {
    bool keep = false;
    QString text;
    std::unique_ptr<DbConnection> conn;
};
thread_local KeptConnection kept;
}  // namespace

void keepConnectionsOnThisThread() {
    kept.keep = true;
}

bool DbConnection::open() {
    if (!db_.isValid()) return false;
    const bool readOnly = readOnlyConnections;
    if (readOnly) {
        // The SQLite driver's own: no new file where the store is away, and its busy time-out
        // from the start (setting the journal mode at connect may meet a writer's lock).
        // Other drivers pass over names they do not know.
        db_.setDatabaseName(db_.databaseName() +
                            QStringLiteral(";NoCreat=1;Timeout=%1").arg(kReadBusyTimeoutMs));
    }
    if (!db_.open()) return false;
    QSqlQuery q(db_);
    if (!isPostgres()) {
        // SQLite: wait for another writer's lock instead of "database is locked".
        q.exec(QStringLiteral("PRAGMA busy_timeout = %1")
                   .arg(readOnly ? kReadBusyTimeoutMs : kBusyTimeoutMs));
        // The file, to tell later whether it is still the store (this first read of the
        // schema also meets a writer's exclusive lock, and then gives up after the busy
        // time-out).
        if (q.exec(QStringLiteral("PRAGMA database_list")) && q.next()) {
            file_ = q.value(2).toString();
            struct stat st {};
            if (!file_.isEmpty() && ::stat(QFile::encodeName(file_).constData(), &st) == 0) {
                device_ = st.st_dev;
                inode_ = st.st_ino;
            }
        } else if (readOnly) {
            error_ = q.lastError().text();
            db_.close();
            return false;
        }
        q.finish();
    }
    if (readOnly) {
        const bool set = q.exec(isPostgres() ? QStringLiteral("SET SESSION CHARACTERISTICS AS "
                                                              "TRANSACTION READ ONLY")
                                             : QStringLiteral("PRAGMA query_only = 1"));
        if (!set) {
            qCWarning(lcStationDb).noquote()
                << "Database error - the connection cannot be made read-only:"
                << q.lastError().text();
            db_.close();
            return false;
        }
        if (isPostgres()) {
            // The reader's statements are short lookups over many stations, which PostgreSQL's
            // planner may cost high enough to compile first: 150 ms of JIT for 25 ms of work.
            // (A server without JIT refuses the setting; that is no matter.)
            q.exec(QStringLiteral("SET jit = off"));
            q.exec(QStringLiteral("SET lock_timeout = %1").arg(kReadBusyTimeoutMs));
        }
    }
    return true;
}

bool DbConnection::stillServes() {
    if (isPostgres()) {
        // A session that the server ended (a restart) fails only when used.
        QSqlQuery q(db_);
        return q.exec(QStringLiteral("SELECT 1"));
    }
    return !fileReplaced();
}

bool DbConnection::fileReplaced() const {
    if (file_.isEmpty()) return false;
    struct stat st {};
    return ::stat(QFile::encodeName(file_).constData(), &st) != 0 || st.st_dev != device_ ||
           st.st_ino != inode_;
}

QString DbConnection::lastError() const {
    if (!error_.isEmpty()) return error_;
    return db_.isValid() ? db_.lastError().text()
                         : QStringLiteral("the ODBC driver of Qt is missing");
}

bool DbConnection::isPostgres() const {
    return db_.driver() && db_.driver()->dbmsType() == QSqlDriver::PostgreSQL;
}

QSqlQuery preparedQuery(DbConnection& conn, const QString& sql) {
    QSqlQuery q(conn.db());
    q.setForwardOnly(true);
    if (!q.prepare(sql)) throw DbFailure{kDbCannotOpenRecordset, q.lastError().text()};
    return q;
}

void runQuery(QSqlQuery& q) {
    if (!q.exec()) throw DbFailure{kDbException, q.lastError().text()};
}

namespace {

void logFailure(const QString& text) {
    qCWarning(lcStationDb).noquote() << "Database error - " + text;
}

void execOrThrow(QSqlQuery& q, const QString& sql) {
    if (!q.exec(sql)) throw DbFailure{kDbException, q.lastError().text()};
}

// A transaction of a writer. SQLite: "BEGIN IMMEDIATE" takes the write lock at the start
// (waiting for it with the busy timeout); a deferred transaction that read first would be
// refused with "database is locked" once another writer committed. The SQLite driver runs
// these statements as given while the connection commits by itself.
class WriteTransaction {
  public:
    explicit WriteTransaction(DbConnection& conn) : conn_(conn), sqlite_(!conn.isPostgres()) {
        if (sqlite_) {
            QSqlQuery q(conn_.db());
            execOrThrow(q, QStringLiteral("BEGIN IMMEDIATE"));
        } else if (!conn_.db().transaction()) {
            throw DbFailure{kDbException, conn_.db().lastError().text()};
        }
        open_ = true;
    }
    ~WriteTransaction() {
        if (!open_) return;
        // Rolled back explicitly: a driver may otherwise commit what the batch left.
        if (sqlite_) {
            QSqlQuery q(conn_.db());
            q.exec(QStringLiteral("ROLLBACK"));
        } else {
            conn_.db().rollback();
        }
    }
    WriteTransaction(const WriteTransaction&) = delete;
    WriteTransaction& operator=(const WriteTransaction&) = delete;

    void commit() {
        if (sqlite_) {
            QSqlQuery q(conn_.db());
            execOrThrow(q, QStringLiteral("COMMIT"));
        } else if (!conn_.db().commit()) {
            throw DbFailure{kDbException, conn_.db().lastError().text()};
        }
        open_ = false;
    }

  private:
    DbConnection& conn_;
    bool sqlite_;
    bool open_ = false;
};

}  // namespace

int runDbOperation(const QString& connectionText, bool transaction,
                   const std::function<void(DbConnection&)>& body, QString* failure) {
    // A driver may repeat what it was given, the password included.
    auto failed = [failure](const QString& driverText, int code) {
        const QString text = maskSecrets(driverText);
        logFailure(text);
        if (failure) *failure = text;
        return code;
    };
    std::unique_ptr<DbConnection> own;
    DbConnection* conn = nullptr;
    if (kept.keep && kept.conn && kept.text == connectionText && kept.conn->stillServes()) {
        conn = kept.conn.get();
    } else {
        kept.conn.reset();
        own = std::make_unique<DbConnection>(connectionText);
        if (!own->open()) return failed(own->lastError(), kDbCannotConnect);
        conn = own.get();
        if (kept.keep) {
            kept.text = connectionText;
            kept.conn = std::move(own);
        }
    }
    // A connection that failed may be broken (a server restarted): it is not kept.
    const auto drop = [&] {
        if (conn == kept.conn.get()) kept.conn.reset();
    };
    try {
        if (!transaction) {
            body(*conn);
            return kDbOk;
        }
        WriteTransaction t(*conn);
        body(*conn);
        t.commit();
        return kDbOk;
    } catch (const DbFailure& f) {
        const int r = failed(f.text, f.code);
        drop();
        return r;
    } catch (const std::exception& e) {
        const int r = failed(QString::fromLocal8Bit(e.what()), kDbOtherException);
        drop();
        return r;
    }
}

void lockStationForWriting(DbConnection& conn, int32_t sysId) {
    if (!conn.isPostgres()) return;
    // The first key names the kind of lock (autocall claims a system with 418), the second
    // the station.
    constexpr int kStationLockClass = 4181;
    QSqlQuery q(conn.db());
    q.prepare(QStringLiteral("SELECT pg_advisory_xact_lock(?, ?)"));
    q.addBindValue(kStationLockClass);
    q.addBindValue(int(sysId));
    if (!q.exec()) throw DbFailure{kDbException, q.lastError().text()};
}

namespace {

QStringList schemaStatements(bool postgres) {
    QStringList lines;
    for (const QString& line : schemaFor(postgres).split('\n')) {
        if (!line.trimmed().startsWith("--")) lines << line;
    }
    QStringList statements;
    for (const QString& statement : lines.join('\n').split(';', Qt::SkipEmptyParts))
        if (!statement.trimmed().isEmpty()) statements << statement.trimmed();
    return statements;
}

bool runs(DbConnection& conn, const QString& sql) {
    QSqlQuery q(conn.db());
    return q.exec(sql);
}

// Parameters rows of an older database have no key: SQLite cannot add a key column to a
// table, so the table is copied in its stored order into one with the key; PostgreSQL
// numbers the rows itself when the column is added.
void addParametersKey(DbConnection& conn, const QStringList& statements) {
    if (!runs(conn, "SELECT 1 FROM Parameters WHERE 1 = 0") ||
        runs(conn, "SELECT SeqNum FROM Parameters WHERE 1 = 0"))
        return;
    QSqlQuery q(conn.db());
    if (conn.isPostgres()) {
        execOrThrow(q,
                    "ALTER TABLE Parameters ADD COLUMN SeqNum "
                    "INTEGER GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY");
        return;
    }
    const QString create =
        statements.filter(QRegularExpression("^CREATE TABLE IF NOT EXISTS Parameters\\b")).value(0);
    if (create.isEmpty()) throw DbFailure{kDbException, "no Parameters table in the schema"};
    WriteTransaction t(conn);
    execOrThrow(q, QString(create).replace("Parameters", "ParametersKeyed"));
    execOrThrow(q,
                "INSERT INTO ParametersKeyed (SysID, DateTime, ParamBuf) "
                "SELECT SysID, DateTime, ParamBuf FROM Parameters ORDER BY rowid");
    execOrThrow(q, "DROP TABLE Parameters");
    execOrThrow(q, "ALTER TABLE ParametersKeyed RENAME TO Parameters");
    t.commit();
}

QString cellText(const QVariant& v) {
    if (v.metaType().id() == QMetaType::QDateTime)
        return v.toDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    return v.toString();
}

// The keys of `table` stored more than once, one line each: "Alarms SysID 7, AlarmNumber
// 50, DateTime 1999-03-04 10:20:30: 2 rows".
QStringList duplicatedKeys(DbConnection& conn, const QString& table, const QString& columns) {
    QSqlQuery q(conn.db());
    q.setForwardOnly(true);
    execOrThrow(q, QStringLiteral("SELECT %1, COUNT(*) FROM %2 GROUP BY %1 HAVING COUNT(*) > 1 "
                                  "ORDER BY %1")
                       .arg(columns, table));
    const QStringList names = columns.split(',');
    QStringList found;
    while (q.next()) {
        QStringList values;
        for (int i = 0; i < names.size(); ++i)
            values << names[i].trimmed().remove('"') + ' ' + cellText(q.value(i));
        found << QStringLiteral("%1 %2: %3 rows")
                     .arg(table, values.join(", "))
                     .arg(q.value(int(names.size())).toInt());
    }
    return found;
}

}  // namespace

QString schemaFor(bool postgres) {
    QString sql = QString::fromUtf8(kSchemaTemplate);
    sql.replace("{{SEQNUM_KEY}}", postgres ? "INTEGER GENERATED BY DEFAULT AS IDENTITY PRIMARY KEY"
                                           : "INTEGER PRIMARY KEY AUTOINCREMENT");
    sql.replace("{{BLOB}}", postgres ? "BYTEA" : "BLOB");
    return sql;
}

QStringList tableStatements(const QString& table, bool postgres) {
    const QRegularExpression makes(
        QStringLiteral(
            "^CREATE (TABLE IF NOT EXISTS %1 |(UNIQUE )?INDEX IF NOT EXISTS \\w+ ON %1 )")
            .arg(table));
    return schemaStatements(postgres).filter(makes);
}

bool hasTableOn(DbConnection& conn, const QString& table) {
    const QStringList tables = conn.db().tables();
    return std::any_of(tables.begin(), tables.end(), [&](const QString& t) {
        return t.compare(table, Qt::CaseInsensitive) == 0;
    });
}

bool readableTableOn(DbConnection& conn, const QString& table) {
    QSqlQuery q(conn.db());
    return q.exec(QStringLiteral("SELECT 1 FROM %1 WHERE 1 = 0").arg(table));
}

void addTableOn(DbConnection& conn, const QString& table) {
    if (hasTableOn(conn, table)) return;
    for (const QString& statement : tableStatements(table, conn.isPostgres())) {
        QSqlQuery q(conn.db());
        execOrThrow(q, statement);
    }
}

int createSchema(const QString& connectionText, QStringList* duplicates, QString* failure) {
    return runDbOperation(
        connectionText, false,
        [duplicates](DbConnection& conn) {
            const QStringList statements = schemaStatements(conn.isPostgres());
            addParametersKey(conn, statements);
            static const QRegularExpression uniqueIndex(
                "^CREATE UNIQUE INDEX IF NOT EXISTS \\w+ ON (\\w+) \\(([^)]*)\\)");
            for (const QString& statement : statements) {
                QSqlQuery q(conn.db());
                if (q.exec(statement)) continue;
                const QString error = q.lastError().text();
                // A unique index that rows stored twice prevent: list them, change nothing.
                const QRegularExpressionMatch m = uniqueIndex.match(statement);
                const QStringList found = m.hasMatch()
                                              ? duplicatedKeys(conn, m.captured(1), m.captured(2))
                                              : QStringList();
                if (found.isEmpty()) throw DbFailure{kDbException, error};
                if (duplicates) *duplicates << found;
            }
        },
        failure);
}

void keepLocalTimeZoneRead() {
    setenv("TZ", ":/etc/localtime", 0);
}

QDateTime toDbDate(std::time_t t) {
    return QDateTime::fromSecsSinceEpoch(t);
}

std::time_t fromDbDate(const QDateTime& dt) {
    return dt.toSecsSinceEpoch();
}

QString formatDbDate(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%m-%d-%y %H:%M:%S", &tm);
    return QString::fromLatin1(buf);
}

RecordCondition RecordCondition::days(const QDate& first, const QDate& last) {
    return period(fromDbDate(first.startOfDay()), fromDbDate(last.endOfDay()));
}

QString RecordCondition::sql() const {
    QString s;
    if (at) s += " AND DateTime = ?";
    if (from) s += " AND DateTime >= ?";
    if (to) s += " AND DateTime <= ?";
    return s;
}

void RecordCondition::bindValues(QSqlQuery& q) const {
    if (at) q.addBindValue(toDbDate(*at));
    if (from) q.addBindValue(toDbDate(*from));
    if (to) q.addBindValue(toDbDate(*to));
}

}  // namespace vm418
