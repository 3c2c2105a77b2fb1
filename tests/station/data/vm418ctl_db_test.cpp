// vm418ctl db end to end on SQLite: data source set-up in the user's configuration folder, a
// system added, the hand-made download imported twice and read back, exported, and the
// import's messages for a download with only a failing parameter block.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <map>
#include <tuple>

#include "db_fixture.h"

namespace {

class Vm418db : public ::testing::Test {
  protected:
    struct Result {
        int exitCode;
        QStringList lines;
        QStringList errors;  // standard error
    };

    // vm418ctl db ARGS, or without "db" for the commands of their own (call, whose lines
    // are log lines, each with its time).
    Result run(const QStringList& args, bool db = true) {
        QProcess p;
        start(p, args, db);
        return finish(p, !db);
    }
    void start(QProcess& p, const QStringList& args, bool db = true) {
        p.setProcessEnvironment(environment());
        p.setWorkingDirectory(dir_.path());
        p.start(VM418CTL_PATH, (db ? QStringList{"db"} : QStringList{}) + args);
    }
    QProcessEnvironment environment() const {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        // This PC's data source set-up only: the test run's own ODBC files stay out of it.
        for (const char* name : {"ODBCINI", "ODBCSYSINI", "VM418_DB", "VM418_PASSWORDS",
                                 "JOURNAL_STREAM", "VM418_CONFIG"})
            env.remove(name);
        env.insert("XDG_CONFIG_HOME", dir_.path() + "/config");
        for (const auto& [name, value] : env_)
            env.insert(name, value);
        return env;
    }
    Result finish(QProcess& p, bool timed = false) {
        EXPECT_TRUE(p.waitForFinished(60000));
        const QString out = QString::fromUtf8(p.readAllStandardOutput());
        const QString err = QString::fromUtf8(p.readAllStandardError());
        if (timed)  // (a usage text has no time)
            return {p.exitCode(), vm418::testing::untimedLines(out),
                    err.split('\n', Qt::SkipEmptyParts)
                        .replaceInStrings(vm418::testing::kLogTime, QString())};
        return {p.exitCode(), out.split('\n', Qt::SkipEmptyParts),
                err.split('\n', Qt::SkipEmptyParts)};
    }

    QTemporaryDir dir_;
    std::map<QString, QString> env_;  // more for the environment of the runs
};

TEST_F(Vm418db, InitAddImportTwiceListAndExport) {
    const QString db = dir_.path() + "/vm418.db";
    Result r = run({"init", "--sqlite", db});
    ASSERT_EQ(r.exitCode, 0) << r.lines.join('\n').toStdString();
    EXPECT_EQ(r.lines.last(), "Tables of VM418 are in place.");
    QFile ini(dir_.path() + "/config/vm418station/odbc.ini");
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    EXPECT_TRUE(ini.readAll().contains(("Database=" + db).toUtf8()));
    ASSERT_EQ(run({"init", "--sqlite", db}).exitCode, 0);  // again: nothing changes

    ASSERT_EQ(run({"systems", "add", "--system", "3", "--serial", "S-3", "--name", "Gate 3",
                   "--modem", "555"})
                  .exitCode,
              0);
    EXPECT_EQ(run({"systems", "add", "--system", "3"}).exitCode, 1);
    r = run({"systems", "list"});
    ASSERT_EQ(r.lines.size(), 1);
    EXPECT_TRUE(r.lines[0].contains("S-3  Gate 3  555")) << r.lines[0].toStdString();

    for (const char* stored : {"Newly stored: 1 parameter blocks, 5 history events, 3 alarms",
                               "Newly stored: 0 parameter blocks, 0 history events, 0 alarms"}) {
        r = run({"import", "--system", "3", STATION_TEST_DATA "/download"});
        ASSERT_EQ(r.exitCode, 0) << r.lines.join('\n').toStdString();
        EXPECT_EQ(r.lines,
                  QStringList({"Imported for system 3: parameters, 5 history events, 3 alarms read",
                               stored}));
    }
    r = run({"alarms", "list", "--system", "3"});
    ASSERT_EQ(r.lines.size(), 3);
    EXPECT_TRUE(r.lines[0].contains("03-04-99 10:20:30  I  50")) << r.lines[0].toStdString();
    EXPECT_TRUE(r.lines[2].contains("08-12-26 21:30:05  N 200")) << r.lines[2].toStdString();
    r = run({"alarms", "list", "--system", "3", "--from", "2026-08-12", "--to", "2026-08-12"});
    ASSERT_EQ(r.lines.size(), 1);
    EXPECT_EQ(run({"history", "list", "--system", "3"}).lines.size(), 5);
    EXPECT_EQ(run({"alarms", "list", "--system", "4"}).lines.size(), 0);

    r = run({"params", "show", "--system", "3"});
    ASSERT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.lines.contains("Serial number: 4711"));
    EXPECT_TRUE(r.lines.contains("All checks passed"));

    const QString csv = dir_.path() + "/alarms.csv";
    ASSERT_EQ(run({"export", "alarms", "--system", "3", "--csv", csv}).exitCode, 0);
    QFile f(csv);
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QStringList rows = QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(rows.size(), 4);
    EXPECT_TRUE(rows[0].startsWith("DateTime,AlarmNumber,Direction,"));
    EXPECT_EQ(rows[1],
              "1999-03-04 10:20:30,50,I,3,45,120,7,150,2500,3,8800,400,C,"
              "ABCDEFGHIJKLMNOPQRSTUVWU,00:12:30,100 200 -1");
}

// An import that could not read a file of the download names it, says what was and was not
// imported and fails; so does one from a folder that is not there or for an unknown system.
TEST_F(Vm418db, ImportTellsEveryProblemOfTheDownload) {
    ASSERT_EQ(run({"init", "--sqlite", dir_.path() + "/vm418.db"}).exitCode, 0);
    ASSERT_EQ(run({"systems", "add", "--system", "1"}).exitCode, 0);
    QDir(dir_.path()).mkpath("TEMP");
    ASSERT_TRUE(
        QFile::copy(STATION_TEST_DATA "/sys_par_invalid.418", dir_.path() + "/TEMP/sys_par.418"));
    Result r = run({"import", "--system", "1"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.errors,
              QStringList({" Password, Contrast Settings,  TLC Output",
                           "Can't read history file TEMP/history.418 (No such file or directory)",
                           "Can't read alarms file TEMP/alarmfi.418 (No such file or directory)"}));
    EXPECT_EQ(r.lines,
              QStringList({"Imported for system 1: parameters; not imported: history, alarms",
                           "Newly stored: 1 parameter blocks, 0 history events, 0 alarms"}));

    r = run({"import", "--system", "1", dir_.path() + "/nowhere"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.lines.isEmpty()) << r.lines.join('\n').toStdString();

    r = run({"import", "--system", "2", STATION_TEST_DATA "/download"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.errors, QStringList{"vm418ctl import: no system 2"});
    EXPECT_TRUE(r.lines.isEmpty()) << r.lines.join('\n').toStdString();
    EXPECT_EQ(run({"alarms", "list", "--system", "2"}).lines.size(), 0);
    EXPECT_EQ(run({"history", "list", "--system", "2"}).lines.size(), 0);
}

// Two imports of one download started together on one SQLite file: the second waits for
// the first, both succeed, and each record is stored once.
TEST_F(Vm418db, TwoImportsAtOnceStoreEachRecordOnce) {
    ASSERT_EQ(run({"init", "--sqlite", dir_.path() + "/vm418.db"}).exitCode, 0);
    ASSERT_EQ(run({"systems", "add", "--system", "3"}).exitCode, 0);
    QProcess first, second;
    for (QProcess* p : {&first, &second})
        start(*p, {"import", "--system", "3", STATION_TEST_DATA "/download"});
    QStringList stored;
    for (QProcess* p : {&first, &second}) {
        const Result r = finish(*p);
        EXPECT_EQ(r.exitCode, 0) << (r.lines + r.errors).join('\n').toStdString();
        stored += r.lines.filter("Newly stored: ");
    }
    stored.sort();
    EXPECT_EQ(stored,
              QStringList({"Newly stored: 0 parameter blocks, 0 history events, 0 alarms",
                           "Newly stored: 1 parameter blocks, 5 history events, 3 alarms"}));
    EXPECT_EQ(run({"alarms", "list", "--system", "3"}).lines.size(), 3);
    EXPECT_EQ(run({"history", "list", "--system", "3"}).lines.size(), 5);
}

// A store the database refuses is shown with its reason, and nothing of the download stays.
TEST_F(Vm418db, RefusedStoreIsShownAndLeavesNothing) {
    const QString db = dir_.path() + "/vm418.db";
    ASSERT_EQ(run({"init", "--sqlite", db}).exitCode, 0);
    ASSERT_EQ(run({"systems", "add", "--system", "3"}).exitCode, 0);
    // The alarms table made read-only by a trigger: the last store of the import fails.
    ASSERT_TRUE(vm418::testing::execSql("DRIVER=SQLite3;Database=" + db,
                                        "CREATE TRIGGER NoAlarms BEFORE INSERT ON Alarms "
                                        "BEGIN SELECT RAISE(ABORT, 'alarms are read-only'); END"));
    const Result r = run({"import", "--system", "3", STATION_TEST_DATA "/download"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(
        r.errors.filter(QRegularExpression("^Database error - .*alarms are read-only")).isEmpty())
        << r.errors.join('\n').toStdString();
    EXPECT_EQ(r.errors.last(), "Nothing of the download was stored for system 3");
    EXPECT_TRUE(run({"history", "list", "--system", "3"}).lines.isEmpty());
    EXPECT_EQ(run({"params", "show", "--system", "3"}).exitCode, 1);
}

// init opens the database it is given before it touches the ODBC files: a file that is no
// database leaves the data source where it was. Without --sqlite or --postgres it works on
// the database --db names.
TEST_F(Vm418db, InitChangesTheDataSourceOnlyForADatabaseThatOpened) {
    const QString good = dir_.path() + "/vm418.db";
    ASSERT_EQ(run({"init", "--sqlite", good}).exitCode, 0);
    const QString bad = dir_.path() + "/notadb.db";
    {
        QFile f(bad);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(QByteArray(4096, 'x'));
    }
    Result r = run({"init", "--sqlite", bad});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.errors.contains("The ODBC configuration is left as it was."))
        << r.errors.join('\n').toStdString();
    QFile ini(dir_.path() + "/config/vm418station/odbc.ini");
    ASSERT_TRUE(ini.open(QIODevice::ReadOnly));
    EXPECT_TRUE(ini.readAll().contains(("Database=" + good).toUtf8()));
    ASSERT_EQ(run({"systems", "add", "--system", "3"}).exitCode, 0);  // still the good one

    const QString other = "DRIVER=SQLite3;Database=" + dir_.path() + "/other.db";
    r = run({"--db", other, "init"});
    ASSERT_EQ(r.exitCode, 0) << r.lines.join('\n').toStdString();
    EXPECT_EQ(r.lines.last(), "Tables of VM418 are in place in " + other + ".");
    ASSERT_EQ(run({"--db", other, "systems", "add", "--system", "4"}).exitCode, 0);
    EXPECT_EQ(run({"--db", other, "systems", "list"}).lines.size(), 1);
    EXPECT_EQ(run({"systems", "list"}).lines.size(), 1);
    EXPECT_EQ(run({"--db", other, "init", "--sqlite", good}).exitCode, 2);
}

// init on a database that already holds an event twice (stored before the unique keys):
// it lists the duplicate, keeps the rows and fails; once the copy is gone it adds the key.
TEST_F(Vm418db, InitListsStoredDuplicatesAndKeepsThem) {
    const QString db = dir_.path() + "/vm418.db";
    ASSERT_EQ(run({"init", "--sqlite", db}).exitCode, 0);
    const QString direct = "DRIVER=SQLite3;Database=" + db;
    ASSERT_TRUE(vm418::testing::execSql(direct, "DROP INDEX HistoryOnce"));
    for (int copy = 0; copy < 2; ++copy)
        ASSERT_TRUE(vm418::testing::execSql(
            direct, "INSERT INTO History (SysID, DateTime, Event) VALUES (3, ?, 'DOOR')",
            {QDateTime(QDate(2008, 12, 1), QTime(10, 0, 0))}));
    Result r = run({"init", "--sqlite", db});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(
        r.errors.contains("  History SysID 3, Event DOOR, DateTime 2008-12-01 10:00:00: 2 rows"))
        << r.errors.join('\n').toStdString();
    ASSERT_EQ(run({"systems", "add", "--system", "3"}).exitCode, 0);
    EXPECT_EQ(run({"history", "list", "--system", "3"}).lines.size(), 2);
    ASSERT_TRUE(vm418::testing::execSql(direct, "DELETE FROM History WHERE SeqNum = 2"));
    r = run({"init", "--sqlite", db});
    EXPECT_EQ(r.exitCode, 0) << r.lines.join('\n').toStdString();
    vm418::DbConnection conn(direct);
    ASSERT_TRUE(conn.open());
    QSqlQuery q(conn.db());
    EXPECT_FALSE(
        q.exec("INSERT INTO History (SysID, DateTime, Event) "
               "SELECT SysID, DateTime, Event FROM History"))
        << "the key refuses a second copy";
}

TEST_F(Vm418db, MissingDataSourceAndBadUsageFail) {
    EXPECT_EQ(run({"alarms", "list", "--system", "1"}).exitCode, 1);
    EXPECT_EQ(run({"alarms", "list"}).exitCode, 2);
    EXPECT_EQ(run({"init"}).exitCode, 1);
    EXPECT_EQ(run({"frobnicate", "--system", "1"}).exitCode, 2);
}

// One convention for every command: a wrong option or word is refused by name (exit 2,
// usage on standard error), --help answers at each level on standard output, a system that
// is not stored is an error, and a database file that is not there is never made.
TEST_F(Vm418db, EveryCommandKeepsTheCommandLineConvention) {
    ASSERT_EQ(run({"init", "--sqlite", dir_.path() + "/vm418.db"}).exitCode, 0);
    ASSERT_EQ(run({"systems", "add", "--system", "3"}).exitCode, 0);
    ASSERT_EQ(run({"import", "--system", "3", STATION_TEST_DATA "/download"}).exitCode, 0);
    const QString none = dir_.path() + "/none.db";
    const QString pdf = dir_.path() + "/p.pdf";
    const std::tuple<QStringList, int, QString, QString> cases[] = {
        // arguments, exit code, on standard output, on standard error
        {{"alarms", "list", "--system", "3", "--form", "2026-01-01"},
         2,
         "",
         "unknown option --form"},
        {{"systems", "list", "--foo", "bar"}, 2, "", "unknown option --foo"},
        {{"history", "list", "--system", "3", "extra"}, 2, "", "unexpected word \"extra\""},
        {{"alarms", "list", "--system"}, 2, "", "--system needs a value"},
        {{"alarms", "frob"}, 2, "", "vm418ctl alarms: unknown command \"frob\""},
        {{"--help"}, 0, "vm418ctl --help | --version", ""},
        {{"alarms", "--help"}, 0, "usage: vm418ctl [--db CONNECTION] alarms list --system N", ""},
        {{"call", "--help"}, 0, "  --monitor SECONDS", ""},
        {{"link", "send", "--help"}, 0, "  --outbox DIR", ""},
        // Help texts start in one column, on the next line after an option too long for it.
        {{"systems", "add", "--help"}, 0, "  --port-settings TEXT \"COM1", ""},
        {{"systems", "add", "--help"}, 0, "MINUTES\n                       call it", ""},
        {{"alarms", "list", "--version"}, 0, "vm418ctl ", ""},
        {{"alarms", "list", "--system", "9"}, 1, "", "vm418ctl alarms list: no system 9"},
        {{"history", "list", "--system", "9"}, 1, "", ": no system 9"},
        {{"params", "show", "--system", "9"}, 1, "", ": no system 9"},
        {{"params", "list", "--system", "9"}, 1, "", ": no system 9"},
        {{"params", "diff", "--system", "9", "--at", "2026-01-01", "--at", "2026-01-02"},
         1,
         "",
         ": no system 9"},
        {{"export", "alarms", "--system", "9", "--csv", dir_.path() + "/x.csv"},
         1,
         "",
         ": no system 9"},
        {{"export", "alarms", "--system", "9", "--n42", dir_.path() + "/x.n42"},
         1,
         "",
         ": no system 9"},
        {{"print", "alarms", "--system", "9", "--pdf", pdf}, 1, "", ": no system 9"},
        {{"systems", "set", "--system", "9", "--name", "x"}, 1, "", ": no system 9"},
        {{"call", "--system", "9", "--simulate"}, 1, "", "vm418ctl call: no system 9"},
        {{"params", "list", "--system", "3"}, 0, "     1  ", ""},  // its key and date
        {{"--db", "DRIVER=SQLite3;Database=" + none, "alarms", "list", "--system", "3"},
         1,
         "",
         none + " does not exist: run `vm418ctl db init` first (see vm418ctl(1))"},
        {{"--db", "DRIVER=SQLite3;Database=" + none, "autocall", "--once"},
         1,
         "",
         " does not exist"},
    };
    for (const auto& [args, exitCode, out, err] : cases) {
        QProcess p;
        start(p, args, false);
        const Result r = finish(p);
        const std::string what = args.join(' ').toStdString() + "\n" +
                                 (r.lines + QStringList("--") + r.errors).join('\n').toStdString();
        EXPECT_EQ(r.exitCode, exitCode) << what;
        EXPECT_EQ(r.lines.isEmpty(), out.isEmpty()) << what;
        EXPECT_TRUE(r.lines.join('\n').contains(out)) << what;
        EXPECT_EQ(r.errors.isEmpty(), err.isEmpty()) << what;
        EXPECT_TRUE(r.errors.join('\n').contains(err)) << what;
    }
    EXPECT_FALSE(QFile::exists(none));
    EXPECT_FALSE(QFile::exists(pdf));

    // The lists as JSON: an array, dates in ISO 8601 with the offset.
    env_["TZ"] = "CET-1";
    const Result r = run({"alarms", "list", "--system", "3", "--json"});
    const QJsonArray alarms = QJsonDocument::fromJson(r.lines.join('\n').toUtf8()).array();
    ASSERT_EQ(alarms.size(), 3) << r.lines.join('\n').toStdString();
    EXPECT_EQ(alarms[0].toObject()["time"].toString(), "1999-03-04T10:20:30+01:00");
    const QJsonArray systems =
        QJsonDocument::fromJson(run({"systems", "list", "--json"}).lines.join('\n').toUtf8())
            .array();
    EXPECT_EQ(systems[0].toObject()["id"].toInt(), 3);
    // The port names as this machine resolves them.
    env_["VM418_COM2"] = "/dev/ttyUSB7";
    QProcess listing;
    start(listing, {"ports", "--json"}, false);
    const QJsonObject ports =
        QJsonDocument::fromJson(finish(listing).lines.join('\n').toUtf8()).object();
    EXPECT_EQ(ports["names"].toArray()[1].toObject()["device"].toString(), "/dev/ttyUSB7");
}

// A store in a folder its reader may not write, where SQLite cannot make its journal files:
// the lists read it, a writing command says why it cannot write, and nothing is changed.
TEST_F(Vm418db, StoreInAFolderThatCannotBeWrittenIsReadOnly) {
    if (getuid() != 0) GTEST_SKIP() << "runs vm418ctl as another user";
    const QString file = dir_.path() + "/store/vm418.db";
    const QString db = "DRIVER=SQLite3;Database=" + file + ";JournalMode=WAL";
    ASSERT_TRUE(QDir(dir_.path()).mkpath("store"));
    ASSERT_EQ(run({"--db", db, "init"}).exitCode, 0);
    ASSERT_EQ(run({"--db", db, "systems", "add", "--system", "3", "--name", "Gate 3"}).exitCode, 0);
    // That user may not reach the build folder: it runs a copy from a folder open to all.
    const QString program = dir_.path() + "/vm418ctl";
    ASSERT_TRUE(QFile::copy(VM418CTL_PATH, program));
    ::chmod(QFile::encodeName(dir_.path()).constData(), 0755);
    const auto asNobody = [&](const QStringList& args) {
        QProcess p;
        p.setProcessEnvironment(environment());
        p.setWorkingDirectory("/");
        p.setChildProcessModifier([] {
            constexpr uid_t kNobody = 65534;
            if (setgid(kNobody) != 0 || setuid(kNobody) != 0) _exit(126);
        });
        p.start(program, QStringList{"--db", db} + args);
        return finish(p);
    };
    Result r = asNobody({"systems", "list"});
    EXPECT_EQ(r.exitCode, 0) << r.errors.join('\n').toStdString();
    EXPECT_TRUE(r.lines.value(0).contains("Gate 3")) << r.lines.join('\n').toStdString();
    r = asNobody({"systems", "set", "--system", "3", "--name", "Gate 4"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.errors, QStringList{"vm418ctl systems set: cannot write to the database " + file +
                                    ": permission denied"});
    EXPECT_TRUE(run({"--db", db, "systems", "list"}).lines.value(0).contains("Gate 3"));
}

// The site's configuration names the database of every command (--db overrides it) and gives
// its options to serve before those of the command line; a wrong file stops vm418ctl naming
// the file and the key.
TEST_F(Vm418db, SiteConfigurationIsUsedAndAWrongOneRefused) {
    const QString conf = dir_.path() + "/site.conf";
    const auto configure = [&](const QByteArray& text) {
        QFile f(conf);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
        f.write(text);
    };
    const QByteArray database =
        "[database]\n; the site's store\nconnection = \"DRIVER=SQLite3;"
        "Database=" +
        dir_.path().toUtf8() + "/site.db\"\n";
    configure(database + "[serve]\nlisten = nowhere\nthreads = 4\n");
    ASSERT_EQ(run({"--config", conf, "init"}).exitCode, 0);
    ASSERT_EQ(run({"--config", conf, "systems", "add", "--system", "4", "--name", "Site"}).exitCode,
              0);
    EXPECT_TRUE(run({"--config", conf, "systems", "list"}).lines.value(0).contains("Site"));
    EXPECT_EQ(run({"--config", conf, "systems", "list", "--db", "DSN=VM418"}).exitCode, 1);
    Result r = run({"--config", conf, "serve"}, false);
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_TRUE(r.errors.join('\n').contains("not \"nowhere\""))
        << r.errors.join('\n').toStdString();
    QProcess server;
    start(server, {"--config", conf, "serve", "--listen", "127.0.0.1:0"}, false);
    ASSERT_TRUE(server.waitForReadyRead(10000));
    EXPECT_TRUE(server.readLine().contains(" The fleet view is on http://127.0.0.1:"));
    server.terminate();
    EXPECT_TRUE(server.waitForFinished(10000));

    for (const auto& [text, said] :
         {std::pair<QByteArray, QString>{"[serve]\nlistn = 1\n", "[serve] has no key listn"},
          {"[database]\nconnection = DSN=X;UID=Y\n", "connection holds \";\""},
          {"[autocall]\n#interval = 5\n", "comments start with \";\""},
          {"[autocall]\nverbose = yes\n", "is true or false, not \"yes\""}}) {
        configure(text);
        r = run({"--config", conf, "systems", "list"});
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.errors.join('\n').contains(
                        QRegularExpression(QRegularExpression::escape(conf) + ":\\d+: ")) &&
                    r.errors.join('\n').contains(said))
            << r.errors.join('\n').toStdString();
    }
    EXPECT_EQ(run({"--config", dir_.path() + "/none.conf", "systems", "list"}).exitCode, 1);
}

// As systemd services, serve and autocall say READY=1 once they work and WATCHDOG=1 within
// half the watchdog's time while they do.
TEST_F(Vm418db, ServicesTellSystemdTheyAreReadyAndAlive) {
    ASSERT_EQ(run({"init", "--sqlite", dir_.path() + "/vm418.db"}).exitCode, 0);
    const QString socketPath = dir_.path() + "/notify";
    const int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, socketPath.toUtf8().constData(), sizeof address.sun_path - 1);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const timeval wait{10, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    for (const QStringList& command : {QStringList{"serve", "--listen", "127.0.0.1:0"},
                                       QStringList{"autocall", "--interval", "1"}}) {
        QProcess service;
        env_["NOTIFY_SOCKET"] = socketPath;
        env_["WATCHDOG_USEC"] = "4000000";  // a loaded machine answers the probe late
        start(service, command, false);
        QStringList notices;
        while (notices.filter("WATCHDOG=1").size() < 2) {
            char text[512];
            const ssize_t n = ::recv(fd, text, sizeof text, 0);
            if (n <= 0) break;
            notices << QString::fromUtf8(text, int(n));
        }
        EXPECT_TRUE(notices.value(0).startsWith("READY=1\nSTATUS=")) << command[0].toStdString();
        EXPECT_EQ(notices.filter("WATCHDOG=1").size(), 2) << notices.join('|').toStdString();
        service.terminate();
        service.waitForFinished(10000);
        char late[512];
        while (::recv(fd, late, sizeof late, MSG_DONTWAIT) > 0) {
        }
    }
    ::close(fd);
}

// Every path that names the connection or passes on the driver's reason shows a database
// password as "***" and the rest of its message as it was.
TEST_F(Vm418db, DatabasePasswordIsNeverShown) {
    const QString away = "DRIVER=PostgreSQL Unicode;Server=127.0.0.1;Port=1;UID=x;PWD=";
    const QString file = "DRIVER=SQLite3;Database=" + dir_.path() + "/vm418.db;PWD=";
    const std::tuple<QStringList, bool, QString> cases[] = {
        {{"--db", away + "s3cret", "autocall", "--once"},
         false,
         "vm418ctl autocall: the System table cannot be read (" + away + "***)"},
        {{"--db", away + "s3cret", "call", "--system", "1"},
         false,
         "vm418ctl call: the database cannot be read (" + away + "***)"},
        {{"--db", away + "s3cret", "init"},
         true,
         "Cannot create the tables of VM418 in " + away + "***: connection to server at"},
        {{"--db", "DSN=VM418_NOWHERE;PWD=s3cret", "alarms", "list", "--system", "1"},
         true,
         "Database error - [unixODBC][Driver Manager]Data source name not found"},
        {{"--db", file + "{s3;cret}", "init"},
         true,
         "Tables of VM418 are in place in " + file + "***."},
    };
    for (const auto& [args, db, shown] : cases) {
        const Result r = run(args, db);
        const std::string all = (r.lines + r.errors).join('\n').toStdString();
        EXPECT_EQ(all.find("cret"), std::string::npos) << all;
        EXPECT_NE(all.find(shown.toStdString()), std::string::npos) << shown.toStdString() << all;
    }
    env_["VM418_DB"] = "DSN=VM418;UID=CREATOR;PWD=s3cret";
    EXPECT_EQ(run({"init", "--sqlite", dir_.path() + "/vm418.db"}).errors.value(0),
              "Note: VM418_DB is set; the programs use DSN=VM418;UID=CREATOR;PWD=***, not the data "
              "source VM418 set up here.");
}

// On the journal's stream (JOURNAL_STREAM names its device and inode) log lines carry their
// priority and no time; elsewhere, also with the variable naming another stream, autocall's
// carry their local time. A command's results stay as they are; its errors get a priority.
TEST_F(Vm418db, LogLinesCarryTheirPriorityOnTheJournalAndTheirTimeElsewhere) {
    const QString db = "DRIVER=SQLite3;Database=" + dir_.path() + "/vm418.db";
    const QString away = "DRIVER=PostgreSQL Unicode;Server=127.0.0.1;Port=1;UID=x;PWD=x";
    ASSERT_EQ(run({"--db", db, "init"}).exitCode, 0);
    ASSERT_EQ(run({"--db", db, "systems", "add", "--system", "3", "--serial", "S-3"}).exitCode, 0);
    // Standard output and error into one file, as systemd gives both its one stream.
    const QString log = dir_.path() + "/journal";
    const auto runInto = [&](const QStringList& args) {
        QFile(log).open(QIODevice::WriteOnly | QIODevice::Truncate);  // the same inode
        QProcess p;
        p.setProcessEnvironment(environment());
        p.setStandardOutputFile(log, QIODevice::Append);
        p.setStandardErrorFile(log, QIODevice::Append);
        p.start(VM418CTL_PATH, args);
        EXPECT_TRUE(p.waitForFinished(60000));
        QFile f(log);
        f.open(QIODevice::ReadOnly);
        return QString::fromUtf8(f.readAll()).split('\n', Qt::SkipEmptyParts);
    };
    QFile(log).open(QIODevice::WriteOnly);
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(log).constData(), &st), 0);
    env_["JOURNAL_STREAM"] = QStringLiteral("%1:%2").arg(st.st_dev).arg(st.st_ino);
    EXPECT_EQ(runInto({"--db", db, "autocall", "--once"}), QStringList{"<6>No system is due"});
    QStringList lines = runInto({"--db", away, "autocall", "--once"});
    EXPECT_TRUE(lines.value(0).startsWith("<4>station.db: Database error - connection to"));
    EXPECT_TRUE(lines.value(lines.size() - 1).startsWith("<3>vm418ctl autocall: the System table"));
    EXPECT_TRUE(runInto({"--db", db, "systems", "list"}).value(0).startsWith("     3  S-3  "));
    EXPECT_EQ(runInto({"--db", db, "alarms", "list"}).value(0),
              "<3>vm418ctl alarms list: --system N is required");
    EXPECT_EQ(runInto({"--db", db, "params", "show", "--system", "3"}).value(0),
              "<3>No parameters stored");

    env_["JOURNAL_STREAM"] = "1:1";
    env_["TZ"] = "CET-1";  // an hour east of UTC, all the year
    const QRegularExpression timed(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\+01:00 )");
    lines = runInto({"--db", away, "autocall", "--once"});
    EXPECT_EQ(lines.filter(timed).size(), lines.size()) << lines.join('\n').toStdString();
}

}  // namespace

// vm418ctl call against a simulated unit: the on-connect sequence, every file downloaded
// and stored, live monitoring lines, then the hang-up; a system that is not in the table
// and a unit that is busy end with exit code 1.
TEST_F(Vm418db, CallDownloadsEverythingStoresItAndMonitors) {
    ASSERT_EQ(run({"init", "--sqlite", dir_.path() + "/vm418.db"}).exitCode, 0);
    ASSERT_EQ(run({"systems", "add", "--system", "3", "--serial", "S-3", "--name", "Gate 3",
                   "--modem", "555", "--password", "1418", "--port-settings", "COM1 9600 0 0 8 3"})
                  .exitCode,
              0);
    Result r =
        run({"call", "--system", "3", "--simulate", "--download", "all", "--monitor", "1"}, false);
    const std::string out = r.lines.join('\n').toStdString();
    ASSERT_EQ(r.exitCode, 0) << out;
    EXPECT_TRUE(r.lines.contains("Calling Gate 3  555")) << out;
    EXPECT_EQ(r.lines.filter("Connected").size(), 1) << out;
    for (const char* step : {"Downloading parameters file: done", "Downloading history file: done",
                             "Downloading last alarm: done", "Downloading alarm file: done"})
        EXPECT_TRUE(r.lines.contains(step)) << step << "\n" << out;
    EXPECT_FALSE(r.lines
                     .filter(QRegularExpression(
                         R"(^\d\d-\d\d-\d\d \d\d:\d\d:\d\d  A \d+ .* SUM \d+  BG A \d+ .*)"))
                     .isEmpty())
        << out;
    EXPECT_EQ(r.lines.filter("Command 0x").size(), 0) << out;  // frames only with --verbose
    // Into an empty store everything the call stored is new.
    EXPECT_TRUE(r.lines.last().contains(QRegularExpression(
        R"(^Stored for system 3: 1 parameter blocks, (\d+) history events, (\d+) alarms )"
        R"(\(1, \1 and \2 new\)$)")))
        << out;
    EXPECT_GT(run({"alarms", "list", "--system", "3"}).lines.size(), 1);

    EXPECT_TRUE(run({"systems", "list"})
                    .lines[0]
                    .contains(QRegularExpression(R"(last contact \d\d-\d\d-\d\d )")))
        << out;

    // A parameter write and defaults: each answered, then the parameters read back.
    r = run({"call", "--system", "3", "--simulate", "--write-params", "--defaults"}, false);
    EXPECT_EQ(r.exitCode, 0) << r.lines.join('\n').toStdString();
    EXPECT_EQ(r.lines.filter("Downloading parameters file: done").size(), 3)
        << r.lines.join('\n').toStdString();
    EXPECT_TRUE(r.lines.last().contains(QRegularExpression(R"(\(\d+, 0 and 0 new\)$)")))
        << r.lines.join('\n').toStdString();

    // A unit whose parameter block fails validation: --write-params ends at once.
    r = run({"call", "--system", "3", "--simulate", "--write-params", "--sim-arg",
             "--invalid-parameters"},
            false);
    EXPECT_EQ(r.exitCode, 1) << r.lines.join('\n').toStdString();
    EXPECT_TRUE(r.errors.contains("Parameters validation failed"))
        << r.errors.join('\n').toStdString();
    EXPECT_TRUE(r.errors.contains("The parameters were not written"));

    // A history file that cannot be written where it is received: named with its reason,
    // in the on-connect downloads and in "all"; exit 1, and the call is no last contact.
    QFile::remove(dir_.path() + "/TEMP/history.418");  // the last call's
    ASSERT_TRUE(QDir(dir_.path()).mkpath("TEMP/history.418/in-the-way"));
    const auto contact = [&] {
        return run({"systems", "list"}).lines.value(0).section("  last call ", 0, 0);
    };
    const QString contactBefore = contact();
    r = run({"call", "--system", "3", "--simulate", "--download", "all"}, false);
    const std::string failedOut = (r.lines + r.errors).join('\n').toStdString();
    EXPECT_EQ(r.exitCode, 1) << failedOut;
    EXPECT_EQ(r.errors
                  .filter(QRegularExpression("^Downloading history file: failed - cannot save "
                                             ".*TEMP/history.418: .+"))
                  .size(),
              2)
        << failedOut;
    EXPECT_TRUE(r.lines.contains("Downloading alarm file: done")) << failedOut;
    EXPECT_TRUE(r.errors.contains("2 of the downloads failed")) << failedOut;
    EXPECT_EQ(contact(), contactBefore);  // a call takes seconds
    ASSERT_TRUE(QDir(dir_.path() + "/TEMP/history.418").removeRecursively());

    // A transfer that fails on the line is asked once more in the call, which then collects.
    r = run({"call", "--system", "3", "--simulate", "--download", "history", "--sim-arg",
             "--bad-crc", "--sim-arg", "8"},
            false);
    EXPECT_EQ(r.exitCode, 0) << r.lines.join('\n').toStdString();
    EXPECT_EQ(r.errors
                  .filter(QRegularExpression("^Downloading parameters file: failed - "
                                             "XLNK_ERR_\\w+; asked once more$"))
                  .size(),
              1)
        << r.lines.join('\n').toStdString();

    r = run({"call", "--system", "9", "--simulate"}, false);
    EXPECT_EQ(r.exitCode, 1);
    r = run(
        {"call", "--system", "3", "--simulate", "--sim-arg", "--dial-result", "--sim-arg", "busy"},
        false);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.lines.contains("Disconnected BUSY")) << r.lines.join('\n').toStdString();
    EXPECT_EQ(run({"call", "--system", "x"}, false).exitCode, 2);

    // Every call is among the system's attempts, newest first, with its result and reason.
    r = run({"systems", "show", "--system", "3"});
    const std::string shown = r.lines.join('\n').toStdString();
    ASSERT_GE(r.lines.size(), 9) << shown;
    EXPECT_TRUE(
        r.lines[3].contains(QRegularExpression("  failed \\(The unit could not be reached "
                                               "\\(.*BUSY.*\\)\\)  by ")))
        << shown;
    EXPECT_TRUE(r.lines[4].contains("  collected  by ")) << shown;
    EXPECT_TRUE(r.lines[5].contains("  partial (Downloading history file: failed - cannot save"))
        << shown;
    EXPECT_TRUE(
        run({"systems", "list"})
            .lines.value(0)
            .contains(QRegularExpression(
                "  last call failed \\d\\d-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d \\(The unit")));
    EXPECT_EQ(run({"systems", "show", "--system", "9"}).exitCode, 1);
}
