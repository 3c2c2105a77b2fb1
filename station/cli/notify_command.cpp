// vm418ctl notify: the sender of alarm notifications. It registers the configuration's
// channels in the store (so that every program that stores an alarm writes its rows), then
// claims the due rows, delivers each on its channel and marks it sent, or keeps its error
// and tries again after a growing pause until it gives up.
#include "notify_command.h"

#include <curl/curl.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSysInfo>
#include <QThread>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "db_setup.h"
#include "fleet_data.h"
#include "fleet_pages.h"
#include "log_lines.h"
#include "n42_export.h"
#include "notify_channels.h"
#include "notify_outbox.h"
#include "param_form.h"
#include "service_notice.h"
#include "site_config.h"
#include "station_db.h"

namespace station::cli {

namespace {

constexpr int kLeaseS = 300;  // a claimed row is this sender's for so long
constexpr int kClaimAtOnce = 20;
constexpr int kPollMs = 1000;  // rows written by other programs and PCs are found so soon

QString Describe(const NotifyChannel& c) {
    QString what =
        c.type == "email"
            ? "e-mail to " + c.to.join(", ") + " via " + c.url +
                  (c.url.startsWith("smtp://") ? (c.starttls ? " with STARTTLS" : " without TLS")
                                               : QString())
        : c.type == "webhook" ? "POST to " + c.url + ", signed"
                              : "run " + (QStringList{c.program} + c.args).join(QLatin1Char(' '));
    return QStringLiteral("channel %1: %2; systems %3, level %4 and above")
        .arg(c.name, what, c.systems)
        .arg(c.minLevel);
}

// The message of a row: its alarm and system read from the store.
std::optional<AlarmMessage> MessageOf(const QString& db, const vm418::Notification& n,
                                      const QString& fleetUrl, QString& failure) {
    vm418::SystemPage page;
    const QDate day = n.alarmTime.date();
    if (const int r = vm418::readSystemPage(db, n.sysId, day, day, 0, page, &failure, false)) {
        if (r == 1) failure = QStringLiteral("no system %1").arg(n.sysId);
        return std::nullopt;
    }
    std::optional<vm418::alarms> alarm;
    if (const int r =
            vm418::readOneAlarm(db, n.sysId, n.alarmNumber, n.alarmTime, alarm, &failure)) {
        if (r == 1) failure = QStringLiteral("the alarm is no longer stored");
        return std::nullopt;
    }
    vm418::N42Source source;
    source.title = vm418::stationTitle(page.system);
    source.serial = page.system.Serial;
    if (page.parameters) source.softwareVersion = vm418::printValues(*page.parameters).value(1);
    vm418::AlarmMap one{{1, *alarm}};
    one[1].Index = 1;
    return MakeAlarmMessage(page.system, *alarm,
                            vm418::alarmsN42(one, source, QDateTime::currentDateTime()), fleetUrl);
}

// The pause before attempt `attempts + 1`, or none when the row has waited long enough.
std::optional<QDateTime> NextTry(const NotifySettings& s, const vm418::Notification& n) {
    qint64 pause = std::max(1, s.retryFirstS);
    for (int i = 0; i < n.attempts && pause < s.retryMaxS; ++i)
        pause *= 2;
    const QDateTime next =
        QDateTime::currentDateTime().addSecs(std::min<qint64>(pause, s.retryMaxS));
    if (n.created.secsTo(next) > s.giveUpAfterS) return std::nullopt;
    return next;
}

// Claims and delivers what is due; the count of rows delivered and of attempts that failed.
struct Round {
    int sent = 0;
    int failed = 0;
    bool read = true;  // the store answered
};

// Whether this process's loop is the one systemd's watchdog watches (vm418ctl notify).
std::atomic<bool> watchedSender{false};

Round DeliverDue(const QString& db, const NotifySettings& settings, const QString& sender) {
    Round round;
    std::vector<vm418::Notification> claimed;
    QStringList names;
    for (const NotifyChannel& c : settings.channels)
        names << c.name;
    QString failure;
    if (vm418::claimNotifications(db, names, sender, kLeaseS, kClaimAtOnce, claimed, &failure) !=
        0) {
        LogError("notify: the outbox cannot be read (" + vm418::maskSecrets(failure) + ")");
        round.read = false;
        return round;
    }
    for (const vm418::Notification& n : claimed) {
        const auto channel =
            std::find_if(settings.channels.begin(), settings.channels.end(),
                         [&](const NotifyChannel& c) { return c.name == n.channel; });
        QString why;
        const std::optional<AlarmMessage> message = MessageOf(db, n, settings.fleetUrl, why);
        if (message) why = Deliver(*channel, *message);
        const QString what = QStringLiteral("notify %1: alarm %2 of system %3")
                                 .arg(n.channel)
                                 .arg(n.alarmNumber)
                                 .arg(n.sysId);
        if (watchedSender) NotifyAlive();  // a receiver may take its whole time-out
        if (why.isEmpty()) {
            // Unmarked, the row goes out once more when its claim runs out: the stable id
            // lets the receiver drop it.
            if (vm418::markNotificationSent(db, n.seqNum, &failure) != 0)
                LogError(what + " sent, but not marked so (" + vm418::maskSecrets(failure) + ")");
            Log(LogLevel::Info, what + " sent", stdout);
            ++round.sent;
            continue;
        }
        ++round.failed;
        const std::optional<QDateTime> next = NextTry(settings, n);
        vm418::markNotificationFailed(db, n.seqNum, why, next);
        LogError(what + " failed (" + why + ")" +
                 (next ? ", next try " + next->toString(QStringLiteral("MM-dd-yy hh:mm:ss"))
                       : QStringLiteral(", given up")));
    }
    return round;
}

int Status(const QString& db, bool json) {
    std::vector<vm418::Notification> rows;
    QString failure;
    if (vm418::listNotifications(db, {}, 1000, rows, &failure) != 0) {
        LogError("vm418ctl notify: the outbox cannot be read (" + vm418::maskSecrets(failure) +
                 ")");
        return kExitFailure;
    }
    QJsonArray list;
    for (const vm418::Notification& n : rows) {
        if (json) {
            list.append(QJsonObject{
                {"channel", n.channel},
                {"system", n.sysId},
                {"alarm", n.alarmNumber},
                {"alarmTime", vm418::web::jsonTime(n.alarmTime)},
                {"state", n.state},
                {"attempts", n.attempts},
                {"created",
                 n.created.toOffsetFromUtc(n.created.offsetFromUtc()).toString(Qt::ISODateWithMs)},
                {"nextTry", n.state == vm418::kNotifyPending
                                ? QJsonValue(vm418::web::jsonTime(n.nextTry))
                                : QJsonValue()},
                {"sent",
                 n.sent.isValid() ? QJsonValue(vm418::web::jsonTime(n.sent)) : QJsonValue()},
                {"error", n.lastError},
            });
            continue;
        }
        std::printf("%-8s %-12s system %d alarm %d of %s, %d attempts%s\n", qPrintable(n.state),
                    qPrintable(n.channel), n.sysId, n.alarmNumber,
                    qPrintable(vm418::formatDbDate(vm418::fromDbDate(n.alarmTime))), n.attempts,
                    qPrintable(n.lastError.isEmpty() ? QString() : " (" + n.lastError + ")"));
    }
    if (json) std::printf("%s\n", QJsonDocument(list).toJson(QJsonDocument::Compact).constData());
    return 0;
}

QString SenderName() {
    return QStringLiteral("%1:%2").arg(QSysInfo::machineHostName()).arg(::getpid());
}

}  // namespace

int PrepareNotifySender(const QString& db, NotifySettings& settings) {
    QString error;
    if (!ReadNotifySettings(LoadedSiteConfig(), settings, error)) {
        LogError("vm418ctl: " + error);
        return kExitUsage;
    }
    // A program without channels leaves the store's as they are: another PC may send them.
    if (settings.channels.empty()) return -1;
    std::vector<vm418::NotifyChannelRow> rows;
    for (const NotifyChannel& c : settings.channels)
        rows.push_back({c.name, c.systems, c.minLevel});
    QString failure;
    if (vm418::registerNotifyChannels(db, rows, &failure) != 0) {
        LogError("vm418ctl notify: the channels cannot be registered in the store (" +
                 vm418::maskSecrets(failure) + ")");
        return kExitFailure;
    }
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return -1;
}

void RunNotifySender(const QString& db, const NotifySettings& settings,
                     const std::atomic<bool>& stop, bool watched) {
    const QString sender = SenderName();
    watchedSender = watched;
    // One thread per channel: a slow receiver delays its own messages only.
    const auto serve = [&](const NotifyChannel& channel) {
        NotifySettings one = settings;
        one.channels = {channel};
        // A connection to the store for each message would cost more than the message.
        vm418::keepConnectionsOnThisThread();
        while (!stop) {
            const quint64 seen = vm418::outboxWrites();
            const Round round = DeliverDue(db, one, sender);
            if (watched) NotifyAlive();
            if (round.sent + round.failed == 0) vm418::waitForOutbox(seen, kPollMs);
        }
    };
    std::vector<std::unique_ptr<QThread>> threads;
    for (size_t i = 1; i < settings.channels.size(); ++i) {
        threads.emplace_back(QThread::create(serve, settings.channels[i]));
        threads.back()->start();
    }
    if (!settings.channels.empty()) serve(settings.channels.front());
    for (auto& thread : threads)
        thread->wait();
}

bool DeliverAllDue(const QString& db, const NotifySettings& settings) {
    const QString sender = SenderName();
    int failed = 0;
    for (;;) {
        const Round round = DeliverDue(db, settings, sender);
        failed += round.failed;
        if (!round.read) return false;
        if (round.sent + round.failed == 0) return failed == 0;
    }
}

namespace {

int RunNotify(const Invocation& call) {
    const Arguments& args = call.args;
    const QString db = args.value(QStringLiteral("--db"), vm418::defaultConnectionText());
    const bool once = args.has("--once"), check = args.has("--check"),
               status = args.has("--status"), json = args.has("--json");
    const QString test = args.value(QStringLiteral("--test"));
    if (json && !status) return UsageError(call.spec, "--json goes with --status");
    vm418::useOdbcConfiguration();
    if (status) return Status(db, json);
    if (!once && !check && test.isEmpty()) TimeLogLines();

    const SiteConfig& config = LoadedSiteConfig();
    NotifySettings settings;
    QString error;
    if (check || !test.isEmpty()) {
        if (!ReadNotifySettings(config, settings, error)) {
            LogError("vm418ctl: " + error);
            return kExitUsage;
        }
    } else if (const int exitCode = PrepareNotifySender(db, settings); exitCode >= 0) {
        return exitCode;
    }
    if (check) {
        std::printf(
            "%s: %zu channels; a failed message is tried again after %d s, then twice as "
            "long up to %d s, for %d s%s\n",
            qPrintable(config.path.isEmpty() ? QStringLiteral("no configuration file")
                                             : config.path),
            settings.channels.size(), settings.retryFirstS, settings.retryMaxS,
            settings.giveUpAfterS,
            qPrintable(settings.fleetUrl.isEmpty() ? QString()
                                                   : "; messages link to " + settings.fleetUrl));
        for (const NotifyChannel& c : settings.channels)
            std::printf("%s\n", qPrintable(Describe(c)));
        return 0;
    }
    if (!test.isEmpty()) {
        curl_global_init(CURL_GLOBAL_DEFAULT);
        const auto channel = std::find_if(settings.channels.begin(), settings.channels.end(),
                                          [&](const NotifyChannel& c) { return c.name == test; });
        if (channel == settings.channels.end()) return UsageError(call.spec, "no channel " + test);
        vm418::CSystemRset system;
        system.SystemDescription = QStringLiteral("Test of channel ") + test;
        vm418::alarms alarm;
        alarm.AlarmNumber = 0;
        alarm.DateTime = std::time(nullptr);
        const AlarmMessage m = MakeAlarmMessage(system, alarm, {}, settings.fleetUrl);
        const QString why = Deliver(*channel, m);
        if (!why.isEmpty()) {
            LogError("notify " + test + ": the test message failed (" + why + ")");
            return kExitFailure;
        }
        Log(LogLevel::Info, "notify " + test + ": the test message was taken", stdout);
        return 0;
    }

    if (once) return DeliverAllDue(db, settings) ? 0 : kExitFailure;
    NotifyReady(QStringLiteral("sending on %1 channels").arg(settings.channels.size()));
    const std::atomic<bool> never{false};
    RunNotifySender(db, settings, never, true);
    return 0;
}

}  // namespace

const CommandSpec kNotifyCommand{
    "notify",
    "[--once] [--check] [--test CHANNEL] [--status [--json]]",
    "Sends each newly stored alarm, once, on the configuration's channels (e-mail, webhook,\n"
    "command); without --once it runs until stopped.",
    0,
    {{"--once", nullptr, "deliver what is due, then end (exit 1 when a delivery failed)"},
     {"--check", nullptr, "print the channels as the configuration gives them"},
     {"--test", "CHANNEL", "send one test message on the channel"},
     {"--status", nullptr, "list the messages pending, sent and failed"},
     kJsonOption,
     kDbOption},
    RunNotify};

}  // namespace station::cli
