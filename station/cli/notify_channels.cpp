#include "notify_channels.h"

#include <curl/curl.h>

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageAuthenticationCode>
#include <QPainter>
#include <QPolygonF>
#include <QProcess>
#include <QRegularExpression>
#include <QUrl>
#include <map>
#include <memory>

#include "fleet_pages.h"
#include "record_text.h"
#include "station_db.h"

namespace station::cli {

namespace {

constexpr int kWebhookLimitS = 10;
constexpr int kCommandLimitMs = 30000;
constexpr int kMailLimitS = 60;

QString ReadSecret(const QString& path, QString& error) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        error = path + ": " + f.errorString();
        return {};
    }
    return QString::fromUtf8(f.readAll()).trimmed();
}

// A channel's libcurl handle, kept by the thread for the channel's next message: libcurl
// keeps the connection to the server open in it, so that a burst of alarms costs one
// connection, one TLS handshake and one login. Its options are set anew for each message.
struct Curl {
    CURL* handle = nullptr;
    curl_slist* headers = nullptr;
    char error[CURL_ERROR_SIZE] = {};
    explicit Curl(const QString& channel) {
        thread_local std::map<QString, std::unique_ptr<CURL, void (*)(CURL*)>> kept;
        auto found = kept.find(channel);
        if (found == kept.end())
            found = kept.emplace(channel, std::unique_ptr<CURL, void (*)(CURL*)>(
                                              curl_easy_init(), &curl_easy_cleanup))
                        .first;
        handle = found->second.get();
        if (!handle) return;
        curl_easy_reset(handle);
        curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, error);
        curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L);
    }
    ~Curl() {
        if (handle) curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, nullptr);
        curl_slist_free_all(headers);
    }
    Curl(const Curl&) = delete;
    Curl& operator=(const Curl&) = delete;
    QString failure(CURLcode code) const {
        return QString::fromUtf8(error[0] ? error : curl_easy_strerror(code));
    }
};

// The alarm's count graph as a PNG, as the fleet view draws it: the trace, and the Min, Max,
// Threshold and OutBG cursors dashed. Lines only: no font is needed without a display.
QByteArray GraphPng(const vm418::alarms& a) {
    constexpr int kWidth = 400, kHeight = 160;
    const vm418::AlarmGraph g = vm418::alarmGraph(a);
    QImage image(kWidth, kHeight, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    const double span = g.yHigh > g.yLow ? g.yHigh - g.yLow : 1;
    const auto y = [&](double v) { return kHeight - 1 - (v - g.yLow) / span * (kHeight - 2); };
    p.setPen(QColor("#999"));
    p.drawRect(0, 0, kWidth - 1, kHeight - 1);
    static const char* const kColours[] = {"#2e7d32", "#c62828", "#ef6c00", "#6d4c41"};
    for (size_t i = 0; i < g.cursors.size(); ++i) {
        p.setPen(QPen(QColor(kColours[i]), 1, Qt::DashLine));
        p.drawLine(QPointF(0, y(g.cursors[i])), QPointF(kWidth, y(g.cursors[i])));
    }
    QPolygonF trace;
    const double step = g.values.size() > 1 ? double(kWidth - 1) / (g.values.size() - 1) : 0;
    for (size_t i = 0; i < g.values.size(); ++i)
        trace << QPointF(i * step, y(g.values[i]));
    p.setPen(QPen(QColor("#1565c0"), 1.5));
    p.drawPolyline(trace);
    p.end();
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    // Less compression than zlib's default: a quarter less time for a few hundred bytes more.
    image.save(&buffer, "PNG", 80);
    return png;
}

size_t Discard(char*, size_t size, size_t count, void*) {
    return size * count;
}

QString Webhook(const NotifyChannel& c, const AlarmMessage& m) {
    QString error;
    const QString secret = ReadSecret(c.secretFile, error);
    if (!error.isEmpty()) return error;
    Curl curl(c.name);
    if (!curl.handle) return QStringLiteral("libcurl cannot start");
    const QByteArray signature =
        QMessageAuthenticationCode::hash(m.json, secret.toUtf8(), QCryptographicHash::Sha256)
            .toHex();
    const QByteArray url = c.url.toUtf8();
    for (const QByteArray& header :
         {QByteArray("Content-Type: application/json"), "X-VM418-Signature: sha256=" + signature,
          "Idempotency-Key: " + m.id.toUtf8()})
        curl.headers = curl_slist_append(curl.headers, header.constData());
    curl_easy_setopt(curl.handle, CURLOPT_URL, url.constData());
    curl_easy_setopt(curl.handle, CURLOPT_HTTPHEADER, curl.headers);
    curl_easy_setopt(curl.handle, CURLOPT_POSTFIELDS, m.json.constData());
    curl_easy_setopt(curl.handle, CURLOPT_POSTFIELDSIZE, long(m.json.size()));
    curl_easy_setopt(curl.handle, CURLOPT_TIMEOUT, long(kWebhookLimitS));
    const QByteArray ca = c.caFile.toUtf8();
    if (!ca.isEmpty()) curl_easy_setopt(curl.handle, CURLOPT_CAINFO, ca.constData());
    curl_easy_setopt(curl.handle, CURLOPT_WRITEFUNCTION, &Discard);
    if (const CURLcode r = curl_easy_perform(curl.handle); r != CURLE_OK) return curl.failure(r);
    long status = 0;
    curl_easy_getinfo(curl.handle, CURLINFO_RESPONSE_CODE, &status);
    if (status < 200 || status > 299) return QStringLiteral("the receiver answered %1").arg(status);
    return {};
}

QString Command(const NotifyChannel& c, const AlarmMessage& m) {
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    const std::pair<const char*, QString> fields[] = {
        {"VM418_NOTIFY_ID", m.id},
        {"VM418_NOTIFY_CHANNEL", c.name},
        {"VM418_SYSTEM", QString::number(m.system.SysID)},
        {"VM418_STATION", m.system.SystemDescription},
        {"VM418_SERIAL", m.system.Serial},
        {"VM418_ALARM_NUMBER", QString::number(m.alarm.AlarmNumber)},
        {"VM418_ALARM_TIME", vm418::web::jsonTime(vm418::toDbDate(m.alarm.DateTime))},
        {"VM418_ALARM_LEVEL", QString::number(m.alarm.AlarmLevel)},
        {"VM418_ALARM_LEVEL_WORD", vm418::levelWord(m.alarm.AlarmLevel)},
        {"VM418_SUBJECT", m.subject},
        {"VM418_LINK", m.link},
    };
    for (const auto& [name, value] : fields)
        env.insert(QString::fromLatin1(name), value);
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.setStandardOutputFile(QProcess::nullDevice());
    p.start(c.program, c.args);  // no shell between
    if (!p.waitForStarted(kCommandLimitMs)) return c.program + ": " + p.errorString();
    p.write(m.json);
    p.closeWriteChannel();
    if (!p.waitForFinished(kCommandLimitMs)) {
        p.kill();
        p.waitForFinished(5000);
        return QStringLiteral("%1 did not end within %2 s and was killed")
            .arg(c.program)
            .arg(kCommandLimitMs / 1000);
    }
    if (p.exitStatus() != QProcess::NormalExit) return c.program + " crashed";
    if (p.exitCode() != 0)
        return QStringLiteral("%1 exited with %2").arg(c.program).arg(p.exitCode());
    return {};
}

QString Email(const NotifyChannel& c, const AlarmMessage& m) {
    QString error;
    const QString password =
        c.passwordFile.isEmpty() ? QString() : ReadSecret(c.passwordFile, error);
    if (!error.isEmpty()) return error;
    Curl curl(c.name);
    if (!curl.handle) return QStringLiteral("libcurl cannot start");
    const QByteArray url = c.url.toUtf8(), user = c.user.toUtf8(), pass = password.toUtf8();
    const QByteArray from = '<' + c.from.toUtf8() + '>';
    curl_easy_setopt(curl.handle, CURLOPT_URL, url.constData());
    if (url.startsWith("smtp://") && c.starttls)
        curl_easy_setopt(curl.handle, CURLOPT_USE_SSL, long(CURLUSESSL_ALL));
    if (!c.user.isEmpty()) {
        curl_easy_setopt(curl.handle, CURLOPT_USERNAME, user.constData());
        curl_easy_setopt(curl.handle, CURLOPT_PASSWORD, pass.constData());
    }
    curl_easy_setopt(curl.handle, CURLOPT_MAIL_FROM, from.constData());
    curl_slist* recipients = nullptr;
    std::vector<QByteArray> kept;
    for (const QString& to : c.to) {
        kept.push_back('<' + to.toUtf8() + '>');
        recipients = curl_slist_append(recipients, kept.back().constData());
    }
    curl_easy_setopt(curl.handle, CURLOPT_MAIL_RCPT, recipients);
    curl_easy_setopt(curl.handle, CURLOPT_TIMEOUT, long(kMailLimitS));
    const QByteArray ca = c.caFile.toUtf8();
    if (!ca.isEmpty()) curl_easy_setopt(curl.handle, CURLOPT_CAINFO, ca.constData());
    const QByteArray subject = m.subject.toUtf8();
    for (const QByteArray& header :
         {"Subject: =?UTF-8?B?" + subject.toBase64() + "?=", "From: " + from,
          "To: " + c.to.join(QStringLiteral(", ")).toUtf8(), "Message-ID: <" + m.id.toUtf8() + '>',
          "Date: " + QDateTime::currentDateTime().toString(Qt::RFC2822Date).toUtf8()})
        curl.headers = curl_slist_append(curl.headers, header.constData());
    curl_easy_setopt(curl.handle, CURLOPT_HTTPHEADER, curl.headers);
    curl_mime* mime = curl_mime_init(curl.handle);
    const QByteArray text = m.text.toUtf8();
    curl_mimepart* part = curl_mime_addpart(mime);
    curl_mime_data(part, text.constData(), size_t(text.size()));
    curl_mime_type(part, "text/plain; charset=utf-8");
    part = curl_mime_addpart(mime);
    curl_mime_data(part, m.n42.constData(), size_t(m.n42.size()));
    curl_mime_type(part, "application/xml");
    const QByteArray n42Name = QStringLiteral("system-%1-alarm-%2.n42")
                                   .arg(m.system.SysID)
                                   .arg(m.alarm.AlarmNumber)
                                   .toUtf8();
    curl_mime_filename(part, n42Name.constData());
    curl_mime_encoder(part, "base64");
    if (m.alarm.Len > 0) {
        const QByteArray png = GraphPng(m.alarm);
        const QByteArray pngName = QByteArray(n42Name).replace(".n42", ".png");
        part = curl_mime_addpart(mime);
        curl_mime_data(part, png.constData(), size_t(png.size()));
        curl_mime_type(part, "image/png");
        curl_mime_filename(part, pngName.constData());
        curl_mime_encoder(part, "base64");
    }
    curl_easy_setopt(curl.handle, CURLOPT_MIMEPOST, mime);
    const CURLcode r = curl_easy_perform(curl.handle);
    curl_mime_free(mime);
    curl_slist_free_all(recipients);
    return r == CURLE_OK ? QString() : curl.failure(r);
}

}  // namespace

bool ReadNotifySettings(const SiteConfig& config, NotifySettings& settings, QString& error) {
    settings = NotifySettings{};
    const auto notify = config.sections.value(QStringLiteral("notify"));
    for (const auto& [key, field] : {std::pair{"retry_first", &settings.retryFirstS},
                                     {"retry_max", &settings.retryMaxS},
                                     {"give_up_after", &settings.giveUpAfterS}}) {
        if (notify.contains(key)) *field = notify.value(key).toInt();
    }
    settings.fleetUrl = notify.value(QStringLiteral("fleet_url"));
    if (!settings.fleetUrl.isEmpty()) {
        const QUrl url(settings.fleetUrl);
        if (!url.isValid() || (url.scheme() != "http" && url.scheme() != "https")) {
            error = config.where("notify", "fleet_url") +
                    ": an http:// or https:// address, not \"" + settings.fleetUrl + "\"";
            return false;
        }
        if (!settings.fleetUrl.endsWith('/')) settings.fleetUrl += '/';
    }
    for (auto it = config.sections.begin(); it != config.sections.end(); ++it) {
        if (!it.key().startsWith(QLatin1String("channel-"))) continue;
        const QString section = it.key();
        const auto& keys = it.value();
        NotifyChannel c;
        c.name = section.mid(8);
        c.type = keys.value(QStringLiteral("type"));
        const auto wrong = [&](const QString& key, const QString& why) {
            error = config.where(section, key) + ": " + why;
            if (!config.lines.contains(section + '/' + key))
                error = config.path + ": [" + section + "]: " + key + " " + why;
            return false;
        };
        const auto need = [&](const char* key) {
            return keys.value(QString::fromLatin1(key)).isEmpty()
                       ? wrong(QString::fromLatin1(key),
                               QStringLiteral("is needed by a channel of type ") + c.type)
                       : true;
        };
        if (c.type != "email" && c.type != "webhook" && c.type != "command")
            return wrong("type", "is email, webhook or command, not \"" + c.type + "\"");
        c.url = keys.value(QStringLiteral("url"));
        c.user = keys.value(QStringLiteral("user"));
        c.passwordFile = keys.value(QStringLiteral("password_file"));
        c.from = keys.value(QStringLiteral("from"));
        c.secretFile = keys.value(QStringLiteral("secret_file"));
        c.caFile = keys.value(QStringLiteral("ca_file"));
        c.program = keys.value(QStringLiteral("program"));
        c.args = QProcess::splitCommand(keys.value(QStringLiteral("args")));
        for (const QString& to : keys.value(QStringLiteral("to")).split(',', Qt::SkipEmptyParts))
            c.to << to.trimmed();
        c.minLevel = keys.value(QStringLiteral("min_level"), QStringLiteral("0")).toInt();
        const QString systems = keys.value(QStringLiteral("systems"), QStringLiteral("all"));
        static const QRegularExpression numbers(QStringLiteral("^\\s*\\d+(\\s*,\\s*\\d+)*\\s*$"));
        if (systems != QLatin1String("all") && !numbers.match(systems).hasMatch())
            return wrong("systems", "is all or system numbers, not \"" + systems + "\"");
        c.systems = QString(systems).remove(QLatin1Char(' '));
        if (c.type == "email") {
            if (!need("url") || !need("from") || !need("to")) return false;
            if (!c.url.startsWith("smtp://") && !c.url.startsWith("smtps://"))
                return wrong("url",
                             "is smtp://HOST:PORT or smtps://HOST:PORT, not \"" + c.url + "\"");
            const QString starttls = keys.value(QStringLiteral("starttls"), QStringLiteral("yes"));
            if (starttls != "yes" && starttls != "no")
                return wrong("starttls", "is yes or no, not \"" + starttls + "\"");
            c.starttls = starttls == "yes";
        } else if (c.type == "webhook") {
            if (!need("url") || !need("secret_file")) return false;
            if (!c.url.startsWith("https://") && !c.url.startsWith("http://"))
                return wrong("url", "is an https:// or http:// address, not \"" + c.url + "\"");
        } else {
            if (!need("program")) return false;
            if (!QFileInfo(c.program).isAbsolute() || !QFileInfo(c.program).isExecutable())
                return wrong("program", "is no program that can run: \"" + c.program + "\"");
        }
        for (const auto& [key, file] : {std::pair{"password_file", c.passwordFile},
                                        {"secret_file", c.secretFile},
                                        {"ca_file", c.caFile}})
            if (!file.isEmpty() && !QFileInfo(file).isReadable())
                return wrong(key, "cannot be read: \"" + file + "\"");
        settings.channels.push_back(c);
    }
    return true;
}

AlarmMessage MakeAlarmMessage(const vm418::CSystemRset& system, const vm418::alarms& alarm,
                              const QByteArray& n42, const QString& fleetUrl) {
    AlarmMessage m;
    m.system = system;
    m.alarm = alarm;
    m.n42 = n42;
    const QString time =
        vm418::toDbDate(alarm.DateTime).toString(QStringLiteral("yyyyMMddTHHmmss"));
    m.id = QStringLiteral("vm418-alarm-%1-%2-%3@vm418station")
               .arg(system.SysID)
               .arg(alarm.AlarmNumber)
               .arg(time);
    if (!fleetUrl.isEmpty())
        m.link = fleetUrl + QStringLiteral("system/%1?from=%2&to=%2")
                                .arg(system.SysID)
                                .arg(vm418::toDbDate(alarm.DateTime).date().toString(Qt::ISODate));
    QJsonObject json = vm418::web::alarmJsonObject(alarm);
    json.insert(QStringLiteral("system"), system.SysID);
    json.insert(QStringLiteral("station"), system.SystemDescription);
    json.insert(QStringLiteral("serial"), system.Serial);
    json.insert(QStringLiteral("id"), m.id);
    if (!m.link.isEmpty()) json.insert(QStringLiteral("link"), m.link);
    m.json = QJsonDocument(json).toJson(QJsonDocument::Compact);
    const QString station = system.SystemDescription.isEmpty()
                                ? QStringLiteral("System %1").arg(system.SysID)
                                : system.SystemDescription;
    const QString word = vm418::levelWord(alarm.AlarmLevel);
    m.subject =
        QStringLiteral("%1: alarm %2, %3level %4, detector %5, %6")
            .arg(station)
            .arg(alarm.AlarmNumber)
            .arg(word.isEmpty() ? QString() : word + ' ')
            .arg(alarm.AlarmLevel)
            .arg(alarm.Detector ? QString(QChar(uchar(alarm.Detector))) : QStringLiteral("-"),
                 vm418::formatDbDate(alarm.DateTime));
    m.text =
        vm418::alarmDetailLines(alarm).join('\n') + "\n\n" + vm418::stationTitle(system) + '\n';
    if (!m.link.isEmpty()) m.text += "\nThe alarm on the fleet view: " + m.link + '\n';
    return m;
}

QString Deliver(const NotifyChannel& channel, const AlarmMessage& message) {
    if (channel.type == QLatin1String("webhook")) return Webhook(channel, message);
    if (channel.type == QLatin1String("command")) return Command(channel, message);
    return Email(channel, message);
}

}  // namespace station::cli
