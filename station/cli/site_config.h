// The site's configuration of vm418ctl: one INI file, as QSettings reads it, that the services
// and an administrator's commands share. Read from the file that --config names, else from the
// one VM418_CONFIG names, else from /etc/vm418station/vm418station.conf when it exists.
//
//   [database]
//   connection = "DRIVER=SQLite3;Database=/var/lib/vm418station/vm418.db"  (quoted: it holds ;)
//   [autocall]
//   interval = 60
//   [serve]
//   listen = 0.0.0.0:8418
//
// The keys of [autocall] and [serve] are the long options of those commands ("_" for "-"):
// they are given before the options of the command line, which so override them. --db and
// VM418_DB override [database] connection.
#pragma once

#include <QMap>
#include <QString>
#include <QStringList>

namespace station::cli {

inline constexpr char kSiteConfigFile[] = "/etc/vm418station/vm418station.conf";

struct SiteConfig {
    QString path;                        // the file read; empty when there is none
    QString connection;                  // [database] connection; empty when not given
    QMap<QString, QStringList> options;  // per command ("autocall", "serve"): its options
    // [notify] and each [channel-NAME], key by key, for the sender to judge.
    QMap<QString, QMap<QString, QString>> sections;
    QMap<QString, int> lines;  // "section/key": its line in the file

    // "FILE:LINE: [section] key", for a message about a setting.
    QString where(const QString& section, const QString& key) const;
};

// The configuration read by ApplySiteConfig, for the commands that need more than options.
const SiteConfig& LoadedSiteConfig();

enum class SiteConfigResult {
    kRead,        // read, or no file to read
    kUnreadable,  // the file is not there or cannot be read (`error` says which and why)
    kWrong,       // an unknown section or key, or a value of the wrong kind (`error` says it)
};

// Reads `named` (--config), else $VM418_CONFIG, else the site's file when it exists.
SiteConfigResult LoadSiteConfig(const QString& named, SiteConfig& config, QString& error);

// Takes "--config FILE" out of argv, wherever it stands (no command has an option of that
// name), and reads the configuration. Returns the exit code when vm418ctl must stop there
// (1: unreadable file, 2: wrong content, both said on standard error), else -1; on success
// the database's connection text is the default of every command, and the options of the
// command found in argv are put in after its name.
int ApplySiteConfig(int& argc, char**& argv);

}  // namespace station::cli
