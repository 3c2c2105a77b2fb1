// The channels of alarm notifications as the site's configuration names them, and the
// delivery of one alarm's message on each: e-mail (SMTP through libcurl), webhook (an HTTP
// POST of the alarm's JSON, signed, through libcurl) and command (a program of the site's,
// run without a shell).
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

#include "site_config.h"
#include "station_files.h"
#include "systems.h"

namespace station::cli {

struct NotifyChannel {
    QString name;  // NAME of [channel-NAME]
    QString type;  // "email", "webhook" or "command"
    QString url;
    bool starttls = true;
    QString user, passwordFile, from;
    QStringList to;
    QString systems = QStringLiteral("all");  // "all" or "1,2,3"
    int minLevel = 0;
    QString secretFile;
    QString caFile;  // the authority of the server's certificate, beside the system's
    QString program;
    QStringList args;
};

struct NotifySettings {
    QString fleetUrl;  // with a trailing "/", or empty
    int retryFirstS = 30;
    int retryMaxS = 1800;
    int giveUpAfterS = 86400;
    std::vector<NotifyChannel> channels;
};

// The [notify] and [channel-NAME] sections judged: false with `error` naming the file, the
// line and the setting.
bool ReadNotifySettings(const SiteConfig& config, NotifySettings& settings, QString& error);

// One alarm's message, the same for every channel.
struct AlarmMessage {
    vm418::CSystemRset system;
    vm418::alarms alarm;
    QString id;       // stable, made from the alarm's key: receivers drop a repeat by it
    QString link;     // the alarm on the fleet view, or empty
    QByteArray json;  // the alarm's fields, the station's name and serial number
    QByteArray n42;   // the alarm as ANSI N42.42
    QString subject;  // "Gate 3: ALARM 11 DANGER, detector B, 12-10-26 09:41:07"
    QString text;     // the detail lines as the alarm view shows them
};

AlarmMessage MakeAlarmMessage(const vm418::CSystemRset& system, const vm418::alarms& alarm,
                              const QByteArray& n42, const QString& fleetUrl);

// Delivers `message` on `channel`: "" when the receiver took it, else why not.
QString Deliver(const NotifyChannel& channel, const AlarmMessage& message);

}  // namespace station::cli
