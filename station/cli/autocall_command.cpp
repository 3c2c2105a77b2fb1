// vm418ctl autocall: unattended collection. Every system whose AutoCallPeriod has passed
// since its LastContactTime is called through the station document, all its files are
// downloaded and stored, and LastContactTime is set on success. Systems on different ports
// are called at the same time, one call per port at a time. Several station PCs may collect
// from one shared PostgreSQL store: each due system is claimed by exactly one of them with
// an advisory lock held for the call (on SQLite lock files do the same on one PC).
#include "autocall_command.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSqlQuery>
#include <QThread>
#include <QTimer>
#include <QVariant>
#include <cstdio>
#include <deque>
#include <limits>
#include <map>
#include <optional>

#include "call_attempts.h"
#include "console_ui.h"
#include "db_setup.h"
#include "notify_command.h"
#include "port_settings_text.h"
#include "service_notice.h"
#include "simulator_process.h"
#include "station_db.h"
#include "systems.h"
#include "vm418_doc.h"

namespace station::cli {

namespace {

constexpr int kConnectLimitMs = 180000;  // dialling, on-connect downloads and the first poll
constexpr int kCollectLimitMs = 600000;  // the downloads of one system
constexpr int kTickMs = 50;              // the monitoring view's poll timer
constexpr int kClaimKey = 418;           // first key of the advisory locks of this program

struct Options : SharedOptions {
    bool once = false;
    bool notify = true;  // the configuration's notifications sent from this process too
    int intervalS = 60;
    vm418::RetryRule retry;
};

std::optional<Options> Parse(const Arguments& args, QString& error) {
    Options o;
    o.Take(args);
    o.once = args.has("--once");
    o.notify = !args.has("--no-notify");
    for (const char* a : {"--interval", "--retry-first", "--retry-max", "--retries"}) {
        if (!args.has(a)) continue;
        // Seconds (a count for --retries); all but --interval may be 0 (--retry-first 0:
        // again at the next round; --retry-max 0: up to the system's period).
        const QString v = args.value(a);
        bool ok = false;
        const int n = v.toInt(&ok);
        const int least = a == QLatin1String("--interval") ? 1 : 0;
        if (!ok || n < least) {
            error = a +
                    QString(a == QLatin1String("--retries") ? " takes a count"
                                                            : " takes whole seconds") +
                    QString(" from %1, not \"").arg(least) + v + "\"";
            return std::nullopt;
        }
        (a == QLatin1String("--interval")      ? o.intervalS
         : a == QLatin1String("--retry-first") ? o.retry.firstS
         : a == QLatin1String("--retry-max")   ? o.retry.maxS
                                               : o.retry.retries) = n;
    }
    return o;
}

// The lock file of this PC for a store (its connection text), per system or for the store.
QString LockFilePath(const QString& db, const QString& what) {
    const QString folder = QDir::tempPath() + "/vm418-autocall";
    QDir().mkpath(folder);
    const QByteArray store =
        QCryptographicHash::hash(db.toUtf8(), QCryptographicHash::Sha1).toHex().left(12);
    return QString("%1/%2-%3.lock").arg(folder, QString::fromLatin1(store), what);
}

// SQLite keeps one writer at a time badly across programs: on such a store the rounds of
// the autocalls of this PC take turns (a second one waits, then finds nothing due).
// PostgreSQL serves any number of them at once.
class StoreTurn {
  public:
    explicit StoreTurn(const QString& db) {
        vm418::DbConnection conn(db);
        if (conn.open() && conn.isPostgres()) return;
        fd_ = ::open(QFile::encodeName(LockFilePath(db, "store")).constData(),
                     O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ >= 0) flock(fd_, LOCK_EX);
    }
    ~StoreTurn() {
        if (fd_ >= 0) ::close(fd_);
    }
    StoreTurn(const StoreTurn&) = delete;
    StoreTurn& operator=(const StoreTurn&) = delete;

  private:
    int fd_ = -1;
};

// A system held by this station PC for one call: a PostgreSQL advisory lock on a connection
// of its own, or elsewhere an exclusive lock on a file of this PC. Released when it goes.
class SystemClaim {
  public:
    ~SystemClaim() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Take(const QString& db, int32_t sysId) {
        auto conn = std::make_unique<vm418::DbConnection>(db);
        if (conn->open() && conn->isPostgres()) {
            QSqlQuery q(conn->db());
            q.prepare("SELECT pg_try_advisory_lock(?, ?)");
            q.addBindValue(kClaimKey);
            q.addBindValue(int(sysId));
            if (!q.exec() || !q.next() || !q.value(0).toBool()) return false;
            lockConnection_ = std::move(conn);  // the lock lives as long as the connection
            return true;
        }
        fd_ = ::open(QFile::encodeName(LockFilePath(db, QString::number(sysId))).constData(),
                     O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        return fd_ >= 0 && flock(fd_, LOCK_EX | LOCK_NB) == 0;
    }

  private:
    std::unique_ptr<vm418::DbConnection> lockConnection_;
    int fd_ = -1;
};

// Whether the system is to be called at `now`: its period passed since its last contact, or,
// after calls that did not collect everything, the retry rule's pause.
std::optional<QDateTime> NextCall(const Options& o, const vm418::CSystemRset& row) {
    std::vector<vm418::CallAttempt> newest;
    if (row.AutoCallPeriod > 0)
        vm418::listCallAttempts(o.db, row.SysID, o.retry.retries + 1, newest);
    return vm418::nextAutoCall(row, newest, o.retry);
}

bool Due(const Options& o, const vm418::CSystemRset& row, const QDateTime& now) {
    const std::optional<QDateTime> next = NextCall(o, row);
    return next && *next <= now;
}

// One system called and collected, driven by a timer so that calls on other ports run at
// the same time on the one event loop.
class CallJob : public QObject {
  public:
    CallJob(const Options& o, vm418::CSystemRset row, QString device,
            std::function<void(bool)> done)
        : options_(o), row_(std::move(row)), device_(std::move(device)), done_(std::move(done)) {}

    void Start() {
        timer_.start();
        claim_ = std::make_unique<SystemClaim>();
        if (!claim_->Take(options_.db, row_.SysID))
            return Finish(true, "skipped, another station is calling it");
        // Another station may have just collected it.
        std::optional<vm418::CSystemRset> now;
        if (vm418::readSystem(options_.db, row_.SysID, now) != 0 || !now)
            return Finish(false, "failed, the System table cannot be read");
        if (!Due(options_, *now, QDateTime::currentDateTime()))
            return Finish(true, "skipped, called a moment ago");
        row_ = *now;
        started_ = QDateTime::currentDateTime();
        alarmsBefore_ = StoredRows(options_.db, "Alarms", row_.SysID);
        eventsBefore_ = StoredRows(options_.db, "History", row_.SysID);

        const QString prefix = QString("system %1: ").arg(row_.SysID);
        ui_ = std::make_unique<ConsoleUi>(row_, ConsoleOptions{options_.verbose, true, prefix});
        // Each call downloads into a folder of its own: calls run side by side.
        const QString folder = QString("TEMP/sys%1/").arg(row_.SysID);
        QDir().mkpath(folder);
        doc_ = std::make_unique<CVM418Doc>(*ui_, folder);
        ui_->doc = doc_.get();
        doc_->records.connectionText = options_.db;
        doc_->downloadRepeats = 1;
        doc_->SelectSystem();
        if (!device_.isEmpty()) doc_->serial.port = device_.toStdString();
        doc_->OnCommand(ID_CALL);
        tick_.callOnTimeout(this, [this] { Tick(); });
        tick_.start(kTickMs);
    }

  private:
    void Tick() {
        doc_->PollIfReady();
        if (collecting_) {
            if (result_ != 0 && doc_->storeFailures > 0)
                Finish(false, "failed, the database did not take everything" + StoreReason());
            else if (result_ != 0 && !doc_->downloadFailures.isEmpty())
                Finish(false, "failed (" + doc_->downloadFailures.join("; ") + ")");
            else if (result_ != 0)
                Finish(result_ == IDOK, result_ == IDOK ? "collected" : "failed");
            else if (timer_.elapsed() > kCollectLimitMs)
                Finish(false, "failed, downloads hung");
            return;
        }
        if (doc_->linkState == LINK_MONITORING) {
            collecting_ = true;
            // The call hangs up once it has everything: monitoring does not start again, and
            // the call ends at once rather than at the next tick.
            doc_->DownloadAll(
                [this](int r) {
                    result_ = r;
                    QTimer::singleShot(0, this, [this] {
                        if (tick_.isActive()) Tick();
                    });
                },
                false);
        } else if (doc_->OffLine()) {
            // (A call on the port another system just used waits a moment to dial.)
            Finish(false, "failed" + Reason());
        } else if (timer_.elapsed() > kConnectLimitMs) {
            Finish(false, "failed, the unit was not reached");
        }
    }

    QString Reason() const {
        if (!ui_) return {};
        if (!ui_->messages.isEmpty()) {
            QString text = ui_->messages.last().simplified();
            // The port's device and reason are in the status bar, beside the box.
            if (text == "Can't open COM port" && !ui_->lastStatus.isEmpty())
                text += ": " + ui_->lastStatus;
            return " (" + text + ")";
        }
        return ui_->lastStatus.isEmpty() ? QString() : " (" + ui_->lastStatus + ")";
    }

    // The document shows a store the database refused as a status text.
    QString StoreReason() const {
        return ui_ && ui_->lastStatus.startsWith("Database error - ")
                   ? " (" + ui_->lastStatus.simplified() + ")"
                   : QString();
    }

    void Finish(bool ok, const QString& outcome) {
        tick_.stop();
        QString line =
            QString("system %1 %2: %3").arg(row_.SysID).arg(row_.SystemDescription, outcome);
        if (doc_) {
            doc_->HangUp();
            const bool collected = ok && collecting_;
            if (collected) vm418::setLastContactTime(options_.db, row_.SysID, std::time(nullptr));
            // "failed (reason)" or "failed, reason": the reason alone.
            QString reason = outcome;
            reason.remove(QRegularExpression(QStringLiteral("^failed(, | \\()?")));
            if (reason.endsWith(QLatin1Char(')')) && outcome.startsWith(QLatin1String("failed (")))
                reason.chop(1);
            RecordCall(options_.db, row_.SysID, started_, collected, doc_->downloadsStored > 0,
                       reason);
            line += QString(", %1 alarms and %2 events stored, %3 s")
                        .arg(StoredRows(options_.db, "Alarms", row_.SysID) - alarmsBefore_)
                        .arg(StoredRows(options_.db, "History", row_.SysID) - eventsBefore_)
                        .arg(timer_.elapsed() / 1000.0, 0, 'f', 1);
            if (const auto next = NextCall(options_, row_); next && !collected)
                line += ", next call " + next->toString(QStringLiteral("MM-dd-yy hh:mm:ss"));
        }
        Say(line, ok ? LogLevel::Info : LogLevel::Error);
        claim_.reset();
        // The document goes from the event loop, not from inside one of its own callbacks.
        QTimer::singleShot(0, this, [this, ok] {
            doc_.reset();
            ui_.reset();
            done_(ok);
        });
    }

    const Options& options_;
    vm418::CSystemRset row_;
    QString device_;
    std::function<void(bool)> done_;
    std::unique_ptr<SystemClaim> claim_;
    std::unique_ptr<ConsoleUi> ui_;
    std::unique_ptr<CVM418Doc> doc_;
    QTimer tick_;
    QElapsedTimer timer_;
    QDateTime started_;
    bool collecting_ = false;
    int result_ = 0;
    int alarmsBefore_ = 0;
    int eventsBefore_ = 0;
};

// The systems of one port, called one after the other.
struct PortQueue {
    QString device;  // "" to use each system's own port
    std::deque<vm418::CSystemRset> systems;
    std::unique_ptr<CallJob> running;
};

// One round: every due system called once. False when a call failed.
bool RunRound(const Options& o, const char* argv0) {
    const StoreTurn turn(o.db);
    std::vector<vm418::CSystemRset> rows;
    if (vm418::listSystems(o.db, rows) != 0) {
        LogError("vm418ctl autocall: the System table cannot be read (" + vm418::maskSecrets(o.db) +
                 ")");
        return false;
    }
    const QDateTime now = QDateTime::currentDateTime();
    std::map<std::string, PortQueue> ports;
    for (const auto& row : rows) {
        if (!Due(o, row, now)) continue;
        const std::string port = ParsePortSettingsText(row.COMportSettings.toStdString()).port;
        ports[o.simulate ? port : ResolvePortName(port)].systems.push_back(row);
    }
    // A simulated unit behind each port; its modem takes any password line.
    std::vector<std::unique_ptr<SimulatorProcess>> sims;
    for (auto& [port, queue] : ports) {
        if (!o.simulate) continue;
        sims.push_back(std::make_unique<SimulatorProcess>());
        if (!sims.back()->Start(FindSimulator(argv0), o.simArgs)) {
            LogError("vm418ctl autocall: the simulator did not start");
            return false;
        }
        queue.device = QString::fromStdString(sims.back()->path());
    }
    if (ports.empty()) Say("No system is due");
    bool allOk = true;
    int running = 0;
    std::function<void(PortQueue&)> next = [&](PortQueue& queue) {
        queue.running.reset();
        if (queue.systems.empty()) return;
        ++running;
        queue.running = std::make_unique<CallJob>(o, queue.systems.front(), queue.device,
                                                  [&, q = &queue](bool ok) {
                                                      allOk &= ok;
                                                      --running;
                                                      QTimer::singleShot(0, [&, q] { next(*q); });
                                                  });
        queue.systems.pop_front();
        queue.running->Start();
    };
    for (auto& [port, queue] : ports)
        next(queue);
    // Every call ends by itself (each has its own limits).
    RunEventsUntil(
        [&] {
            return running == 0 && std::none_of(ports.begin(), ports.end(), [](const auto& p) {
                       return !p.second.systems.empty() || p.second.running;
                   });
        },
        std::numeric_limits<qint64>::max());
    return allOk;
}

int RunAutocall(const Invocation& call) {
    TimeLogLines();
    QString error;
    const auto parsed = Parse(call.args, error);
    if (!parsed) return UsageError(call.spec, error);
    const Options& o = *parsed;
    QString db = o.db;
    if (const int r = CheckDatabase(call.spec, db, DbUse::kWrite); r >= 0) return r;
    char** argv = call.argv;
    vm418::useOdbcConfiguration();
    // The alarms of the calls go out on the configuration's channels from a thread of their
    // own, woken by each store: a slow receiver never holds up a call.
    NotifySettings notify;
    if (o.notify)
        if (const int exitCode = PrepareNotifySender(o.db, notify); exitCode >= 0) return exitCode;
    std::atomic<bool> stopSender{false};
    std::unique_ptr<QThread> sender;
    if (!notify.channels.empty() && !o.once) {
        sender.reset(QThread::create([&] { RunNotifySender(o.db, notify, stopSender, false); }));
        sender->start();
    }
    // Under systemd's watchdog the event loop says it is alive: calls and pauses run on it,
    // so a loop that stops (a hung driver) gets the service restarted.
    QTimer alive;
    alive.callOnTimeout(&NotifyAlive);
    if (const qint64 ms = AliveIntervalMs()) alive.start(int(std::min<qint64>(ms, 3600000)));
    NotifyReady(QStringLiteral("collecting every %1 s").arg(o.intervalS));
    for (;;) {
        const bool ok = RunRound(o, argv[0]);
        if (o.once) {
            if (!notify.channels.empty()) DeliverAllDue(o.db, notify);
            return ok ? 0 : kExitFailure;
        }
        NotifyStatus(
            QString("last round %1: %2, next in %3 s")
                .arg(QDateTime::currentDateTime().toString(Qt::ISODate),
                     ok ? QStringLiteral("no call failed") : QStringLiteral("a call failed"))
                .arg(o.intervalS));
        RunEventsUntil([] { return false; }, o.intervalS * 1000LL);
    }
}

}  // namespace

const CommandSpec kAutocallCommand{
    "autocall",
    "[--once] [--interval SECONDS] [--retry-first SECONDS] [--retry-max SECONDS]\n"
    "         [--retries N] [--no-notify] [--simulate [--sim-arg ARG]...] [--verbose]",
    "Calls every system that is due, every SECONDS, and stores all it downloads; a call that\n"
    "fails is tried again after --retry-first seconds, doubling up to --retry-max (0: the\n"
    "system's period), at most --retries times a period. The new alarms go out on the\n"
    "configuration's notification channels.",
    0,
    WithSharedOptions(
        {{"--once", nullptr, "one round, then the exit code says whether all collected"},
         {"--interval", "SECONDS", "the time between rounds (60)"},
         {"--retry-first", "SECONDS", "the first wait after a failed call (60)"},
         {"--retry-max", "SECONDS", "the longest wait (0: the system's period)"},
         {"--retries", "N", "calls again at most N times a period (3)"},
         {"--no-notify", nullptr, "no notifications sent from this process"}}),
    RunAutocall};

}  // namespace station::cli
