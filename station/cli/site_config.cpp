#include "site_config.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "station_db.h"

namespace station::cli {

namespace {

enum class Kind { kText, kNumber, kSwitch };

struct Key {
    const char* section;
    const char* name;
    Kind kind;
};

// Every key the file may hold. Those of a command are its long options.
constexpr Key kKeys[] = {
    {"database", "connection", Kind::kText},
    {"autocall", "interval", Kind::kNumber},
    {"autocall", "verbose", Kind::kSwitch},
    {"autocall", "retry_first", Kind::kNumber},
    {"autocall", "retry_max", Kind::kNumber},
    {"autocall", "retries", Kind::kNumber},
    {"serve", "listen", Kind::kText},
    {"serve", "tls_cert", Kind::kText},
    {"serve", "tls_key", Kind::kText},
    {"serve", "threads", Kind::kNumber},
    {"serve", "max_connections", Kind::kNumber},
    {"serve", "max_per_address", Kind::kNumber},
    {"serve", "idle_timeout", Kind::kNumber},
    {"serve", "header_timeout", Kind::kNumber},
    {"serve", "max_header_bytes", Kind::kNumber},
    {"notify", "fleet_url", Kind::kText},
    {"notify", "retry_first", Kind::kNumber},
    {"notify", "retry_max", Kind::kNumber},
    {"notify", "give_up_after", Kind::kNumber},
    // Every [channel-NAME] section; which keys a channel's type needs is the sender's to say.
    {"channel-", "type", Kind::kText},
    {"channel-", "url", Kind::kText},
    {"channel-", "starttls", Kind::kText},
    {"channel-", "user", Kind::kText},
    {"channel-", "password_file", Kind::kText},
    {"channel-", "from", Kind::kText},
    {"channel-", "to", Kind::kText},
    {"channel-", "systems", Kind::kText},
    {"channel-", "min_level", Kind::kNumber},
    {"channel-", "secret_file", Kind::kText},
    {"channel-", "program", Kind::kText},
    {"channel-", "args", Kind::kText},
    {"channel-", "ca_file", Kind::kText},
};

bool IsChannel(const QString& section) {
    static const QRegularExpression name(QStringLiteral("^channel-[A-Za-z0-9_-]+$"));
    return name.match(section).hasMatch();
}

const Key* FindKey(const QString& section, const QString& name) {
    const QString family = IsChannel(section) ? QStringLiteral("channel-") : section;
    for (const Key& key : kKeys) {
        if (family == QLatin1String(key.section) && name == QLatin1String(key.name)) return &key;
    }
    return nullptr;
}

// QSettings ends an unquoted value at ";" and reads the rest as a comment: a connection text
// without its quotes would silently lose all but its first item. "LINE: key", or "".
QString UnquotedSemicolon(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return {};
    static const QRegularExpression line(QStringLiteral("^\\s*(\\w+)\\s*=\\s*([^\"\\s][^;]*);"));
    for (int number = 1; !f.atEnd(); ++number) {
        const auto match = line.match(QString::fromUtf8(f.readLine()));
        if (match.hasMatch()) return QStringLiteral("%1: %2").arg(number).arg(match.captured(1));
    }
    return {};
}

// The line of `key` in `section` ("" outside any), counted from 1; 0 when not found.
int LineOf(const QString& path, const QString& section, const QString& key) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly | QIODevice::Text)) return 0;
    static const QRegularExpression header(QStringLiteral("^\\s*\\[([^\\]]*)\\]"));
    const QRegularExpression entry("^\\s*" + QRegularExpression::escape(key) + "\\s*=");
    QString current;
    for (int number = 1; !f.atEnd(); ++number) {
        const QString line = QString::fromUtf8(f.readLine());
        if (const auto m = header.match(line); m.hasMatch())
            current = m.captured(1).trimmed();
        else if (current == section && entry.match(line).hasMatch())
            return number;
    }
    return 0;
}

}  // namespace

SiteConfig& loaded() {
    static SiteConfig config;
    return config;
}

const SiteConfig& LoadedSiteConfig() {
    return loaded();
}

QString SiteConfig::where(const QString& section, const QString& key) const {
    const int line = lines.value(section + '/' + key);
    return path + (line > 0 ? QStringLiteral(":%1").arg(line) : QString()) + ": [" + section +
           "] " + key;
}

SiteConfigResult LoadSiteConfig(const QString& named, SiteConfig& config, QString& error) {
    QString path = named;
    if (path.isEmpty()) path = qEnvironmentVariable("VM418_CONFIG");
    const bool siteFile = path.isEmpty();
    if (siteFile) {
        path = QString::fromLatin1(kSiteConfigFile);
        if (!QFileInfo::exists(path)) return SiteConfigResult::kRead;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        // The site's file is kept from users who may not read its passwords: they run
        // without it, on their own data source.
        if (siteFile && !QFileInfo(path).isReadable()) return SiteConfigResult::kRead;
        error = path + ": " + file.errorString();
        return SiteConfigResult::kUnreadable;
    }
    file.close();
    const QString wrong = path + ": ";
    if (const QString key = UnquotedSemicolon(path); !key.isEmpty()) {
        error = path + ':' + key + " holds \";\": put its value in double quotes";
        return SiteConfigResult::kWrong;
    }
    QSettings settings(path, QSettings::IniFormat);
    if (settings.status() != QSettings::NoError) {
        error = wrong + "not an INI file";
        return SiteConfigResult::kWrong;
    }
    config = SiteConfig{};
    config.path = path;
    for (const QString& fullName : settings.allKeys()) {
        const qsizetype slash = fullName.indexOf(QLatin1Char('/'));
        const QString section = slash < 0 ? QString() : fullName.left(slash);
        const QString name = fullName.mid(slash + 1);
        const Key* key = FindKey(section, name);
        const int line = LineOf(path, section, name);
        config.lines[section + '/' + name] = line;
        const QString at = line > 0 ? path + QStringLiteral(":%1: ").arg(line) : wrong;
        if (name.startsWith(QLatin1Char('#'))) {
            error = at + "comments start with \";\", not \"#\"";
            return SiteConfigResult::kWrong;
        }
        if (!key) {
            error = at +
                    (section.isEmpty() ? QStringLiteral("a key outside a section, ")
                                       : "[" + section + "] has no key ") +
                    name;
            return SiteConfigResult::kWrong;
        }
        // An unquoted value with a comma is read as a list: it stands as written.
        const QVariant raw = settings.value(fullName);
        const QString value = raw.typeId() == QMetaType::QStringList
                                  ? raw.toStringList().join(QLatin1Char(','))
                                  : raw.toString().trimmed();
        const QString option = "--" + name.toLower().replace(QLatin1Char('_'), QLatin1Char('-'));
        const QString where = config.where(section, name);
        // The sender's sections are kept as they are; it judges them.
        if (section == QLatin1String("notify") || IsChannel(section))
            config.sections[section][name] = value;
        switch (key->kind) {
            case Kind::kText:
                if (value.isEmpty()) break;  // an example's empty key stands for "not given"
                if (section == QLatin1String("database"))
                    config.connection = value;
                else if (!config.sections.contains(section))
                    config.options[section] << option << value;
                break;
            case Kind::kNumber: {
                bool ok = false;
                value.toUInt(&ok);
                if (!ok) {
                    error = where + " takes a whole number, not \"" + value + "\"";
                    return SiteConfigResult::kWrong;
                }
                if (!config.sections.contains(section)) config.options[section] << option << value;
                break;
            }
            case Kind::kSwitch:
                if (value == QLatin1String("true")) {
                    config.options[section] << option;
                } else if (value != QLatin1String("false")) {
                    error = where + " is true or false, not \"" + value + "\"";
                    return SiteConfigResult::kWrong;
                }
                break;
        }
    }
    return SiteConfigResult::kRead;
}

int ApplySiteConfig(int& argc, char**& argv) {
    // The arguments as they go on: without --config, with the file's options put in.
    static std::vector<std::string> kept;
    static std::vector<char*> pointers;
    QString named;
    kept.assign(argv, argv + argc);
    for (size_t i = 1; i < kept.size(); ++i) {
        if (kept[i] != "--config") continue;
        if (i + 1 >= kept.size()) {
            std::fputs("vm418ctl: --config needs a FILE\n", stderr);
            return 2;
        }
        named = QString::fromStdString(kept[i + 1]);
        kept.erase(kept.begin() + long(i), kept.begin() + long(i) + 2);
        break;
    }
    SiteConfig& config = loaded();
    QString error;
    switch (LoadSiteConfig(named, config, error)) {
        case SiteConfigResult::kRead:
            break;
        case SiteConfigResult::kUnreadable:
            std::fprintf(stderr, "vm418ctl: cannot read the configuration %s\n", qPrintable(error));
            return 1;
        case SiteConfigResult::kWrong:
            std::fprintf(stderr, "vm418ctl: %s\n", qPrintable(error));
            return 2;
    }
    vm418::setSiteConnectionText(config.connection);
    // The command stands first, or after "--db CONNECTION".
    const size_t at = kept.size() > 3 && kept[1] == "--db" ? 3 : 1;
    if (at < kept.size()) {
        const QStringList options = config.options.value(QString::fromStdString(kept[at]));
        std::vector<std::string> given;
        for (const QString& o : options)
            given.push_back(o.toStdString());
        kept.insert(kept.begin() + long(at) + 1, given.begin(), given.end());
    }
    pointers.clear();
    for (std::string& s : kept)
        pointers.push_back(s.data());
    pointers.push_back(nullptr);
    argc = int(kept.size());
    argv = pointers.data();
    return -1;
}

}  // namespace station::cli
