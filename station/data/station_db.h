// Thin wrapper over Qt SQL's ODBC driver: one connection per operation, the station's
// result codes, its "Database error - " trace lines, and the schema.

#pragma once

#include <QDate>
#include <QDateTime>
#include <QLoggingCategory>
#include <QSqlDatabase>
#include <QSqlQuery>
#include <QString>
#include <QStringList>
#include <ctime>
#include <functional>
#include <optional>

Q_DECLARE_LOGGING_CATEGORY(lcStationDb)

namespace vm418 {

// Results of the database operations.
enum DbResult : int {
    kDbOk = 0,
    kDbCannotConnect = -1,
    kDbCannotOpenRecordset = -2,
    kDbException = -3,
    kDbOtherException = -4,
};

// The station program's own connection text; the site's configuration file may name another,
// and VM418_DB overrides both.
inline constexpr char kDefaultConnectionText[] = "DSN=VM418;UID=CREATOR;PWD=358";
QString defaultConnectionText();
// The connection text of the site's configuration file; empty for none.
void setSiteConnectionText(const QString& connectionText);

// The text handed to the ODBC driver for a connection text: a leading "ODBC;" goes, and so
// does a leading "DSN=" (the driver puts it back itself unless the text names a DRIVER or
// SERVER).
QString odbcConnectString(const QString& connectionText);

// `text` with every database password shown as "***": PWD= and password= in ODBC texts
// ("PWD=s3cret;", "PWD={a;b}") and PostgreSQL conninfo texts ("password=s3cret ",
// "password='a b'"), any case, and the password of a "postgresql://user:pw@host" address.
// Every message, log line and page that may hold a connection text shows it through this.
QString maskSecrets(const QString& text);

// A failure inside an operation: the result code and the driver's text.
struct DbFailure {
    DbResult code;
    QString text;
};

// From this call on, every connection the process opens refuses to write: SQLite with
// "PRAGMA query_only", PostgreSQL with read-only transactions for the whole session. A
// connection on which that cannot be set is not opened. For the fleet view's server, which
// only reads (its PostgreSQL sessions also run without JIT compilation).
// Such a connection also waits at most kReadBusyTimeoutMs for another's lock (SQLite's busy
// time-out, PostgreSQL's lock_timeout) and never creates an SQLite file that is away.
void setConnectionsReadOnly(bool readOnly);
bool connectionsReadOnly();

// From this call on, the operations of the calling thread (runDbOperation) share one
// connection per connection text, kept open until the thread ends, instead of opening
// their own. A kept connection that failed is closed, and so is an SQLite one whose file
// was removed or replaced: the next operation opens a new one. For the worker threads of
// a server.
void keepConnectionsOnThisThread();

// One open connection, closed and released when it goes.
class DbConnection {
  public:
    explicit DbConnection(const QString& connectionText);
    ~DbConnection();
    DbConnection(const DbConnection&) = delete;
    DbConnection& operator=(const DbConnection&) = delete;

    // Opens the connection; on SQLite a writer that finds the file locked by another waits
    // its turn (up to kBusyTimeoutMs) instead of failing at once.
    bool open();
    QString lastError() const;
    QSqlDatabase& db() { return db_; }
    bool isPostgres() const;
    // An SQLite connection whose file is no longer the one it opened (removed, renamed or
    // replaced); false on PostgreSQL.
    bool fileReplaced() const;
    // Whether a kept connection can serve another operation: its SQLite file is still the
    // one it opened, its PostgreSQL session still answers.
    bool stillServes();

  private:
    QString name_;
    QSqlDatabase db_;
    QString error_;  // why open() gave up after the driver had connected
    QString file_;   // SQLite: the file opened, and its device and inode
    quint64 device_ = 0, inode_ = 0;
};

// How long a writer waits for another PC or process that is storing into the same SQLite
// file.
inline constexpr int kBusyTimeoutMs = 60000;
// How long a read-only connection waits for a writer's lock before its page says that the
// store cannot be read just now. The SQLite driver may wait this long once when it connects
// and once more at the first statement: a new connection gives up within twice this.
inline constexpr int kReadBusyTimeoutMs = 1000;

// Runs `body` on a fresh connection. A store runs in one transaction: any failure rolls
// it back, so nothing of the batch stays. On SQLite the transaction takes the write lock at
// once, so two writers store one after the other and each sees what the other stored.
// Failures are logged as "Database error - ..." and returned as -1 (no connection), -2, -3
// or -4, their text also in `failure` when given; `body` reports its own with DbFailure.
int runDbOperation(const QString& connectionText, bool transaction,
                   const std::function<void(DbConnection&)>& body, QString* failure = nullptr);

// Inside an operation's body: a forward-only statement prepared on `conn`, and its run; a
// failure is thrown as DbFailure (the codes of a recordset that cannot be opened and of a
// statement that fails).
QSqlQuery preparedQuery(DbConnection& conn, const QString& sql);
void runQuery(QSqlQuery& q);

// Inside a store's transaction: no other writer stores rows of this station until the
// transaction ends. On PostgreSQL an advisory lock of the transaction (readers go on); on
// SQLite the transaction already holds the file's write lock.
void lockStationForWriting(DbConnection& conn, int32_t sysId);

// Creates the tables and indexes that are missing (docs/sql/vm418.sql) and brings an older
// database up to date: the Parameters rows get their key, and the unique indexes that make
// the engine refuse a second copy of an alarm or a history event are added. Where rows
// already stored twice prevent such an index, it is left out and the data stays as it is;
// `duplicates` then receives one line per duplicated key. Returns 0 when the tables are in
// place (even with an index left out).
int createSchema(const QString& connectionText, QStringList* duplicates = nullptr,
                 QString* failure = nullptr);
QString schemaFor(bool postgres);
// The schema's statements that make `table` and its indexes, for a database made before it.
QStringList tableStatements(const QString& table, bool postgres);
// Whether `table` is in the database, asked of the driver's catalogue: inside a transaction a
// statement that fails would end it on PostgreSQL.
bool hasTableOn(DbConnection& conn, const QString& table);
// Whether this connection may read `table` (a role may have been granted the older tables
// only); by a statement, so outside a transaction.
bool readableTableOn(DbConnection& conn, const QString& table);
// Inside an operation: `table` and its indexes made from the schema where it is missing.
void addTableOn(DbConnection& conn, const QString& table);

// A text for a NOT NULL column: the driver writes a null QString as NULL, an empty one as ''.
inline QString dbText(const QString& s) {
    return s.isNull() ? QStringLiteral("") : s;
}

// Dates in the database: whole seconds of local time.
//
// Without TZ in the environment the C library looks at /etc/localtime again on every local
// time conversion (a stat call each time), and lists convert several dates a row. A program
// calls this once at its start: TZ then names that same file, and the zone is read once.
// A TZ given by the user is kept.
void keepLocalTimeZoneRead();
QDateTime toDbDate(std::time_t t);
std::time_t fromDbDate(const QDateTime& dt);
// "%m-%d-%y %H:%M:%S", as the lists and views show stored dates.
QString formatDbDate(std::time_t t);

// The extra condition of a load: a period (inclusive) or one exact date; empty for all the
// rows of the station.
struct RecordCondition {
    std::optional<std::time_t> from;
    std::optional<std::time_t> to;
    std::optional<std::time_t> at;

    static RecordCondition period(std::time_t first, std::time_t last) {
        return {first, last, std::nullopt};
    }
    static RecordCondition exactly(std::time_t t) { return {std::nullopt, std::nullopt, t}; }
    // The whole days from `first` to `last`, both included: from 00:00:00 of the first to
    // 23:59:59 of the last, local time (an alarm at midnight or a second before is in).
    static RecordCondition days(const QDate& first, const QDate& last);

    // " AND DateTime >= ? ..." for the bound values that bindValues() adds.
    QString sql() const;
    void bindValues(class QSqlQuery& q) const;
};

}  // namespace vm418
