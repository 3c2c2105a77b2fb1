#include "command_line.h"

#include <algorithm>
#include <cstdio>

#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include "db_setup.h"
#include "log_lines.h"
#include "station_db.h"

namespace station::cli {

const Option kDbOption{"--db", "CONNECTION",
                       "the database's ODBC connection text (default: VM418_DB, else the "
                       "configuration's, else the data source VM418)"};
const Option kSystemOption{"--system", "N", "the system's number (SysID)"};
const Option kJsonOption{"--json", nullptr, "a JSON array instead of lines"};

namespace {

const Option kHelpOption{"--help", nullptr, "print this help"};
const Option kVersionOption{"--version", nullptr, "print the version"};
constexpr char kExitCodes[] =
    "Exit codes: 0 success, 1 failure (unit, line, database, file), 2 wrong usage.\n"
    "See vm418ctl(1).\n";

const Option* FindOption(const CommandSpec& spec, const QString& name) {
    const auto it = std::find_if(spec.options.begin(), spec.options.end(),
                                 [&](const Option& o) { return name == QLatin1String(o.name); });
    return it == spec.options.end() ? nullptr : &*it;
}

}  // namespace

QString Arguments::value(const QString& option, const QString& otherwise) const {
    const auto it = values_.find(option);
    return it == values_.end() || it->second.isEmpty() ? otherwise : it->second.last();
}

QStringList Arguments::values(const QString& option) const {
    const auto it = values_.find(option);
    return it == values_.end() ? QStringList() : it->second;
}

QString CommandUsage(const CommandSpec& spec) {
    const bool db = std::any_of(spec.options.begin(), spec.options.end(),
                                [](const Option& o) { return o.name == kDbOption.name; });
    return QStringLiteral("usage: vm418ctl %1%2 %3\n")
        .arg(db ? QStringLiteral("[--db CONNECTION] ") : QString(), QLatin1String(spec.words),
             QString::fromUtf8(spec.synopsis).trimmed());
}

QString CommandHelp(const CommandSpec& spec) {
    QString text = CommandUsage(spec) + QString::fromUtf8(spec.summary) + "\n\n";
    std::vector<const Option*> all;
    for (const Option& o : spec.options)
        all.push_back(&o);
    all.push_back(&kHelpOption);
    all.push_back(&kVersionOption);
    for (const Option* o : all) {
        QString left = QLatin1String(o->name);
        if (o->value) left += ' ' + QLatin1String(o->value);
        constexpr int kColumn = 23;  // where the help texts start
        const int width = kColumn - 3;  // of the option, between its indent and a space
        text += "  " + left.leftJustified(width) +
                (left.size() > width ? "\n" + QString(kColumn, ' ') : QString(" ")) +
                QString::fromUtf8(o->help) + "\n";
    }
    return text + kExitCodes;
}

int ParseArguments(const CommandSpec& spec, const QStringList& args, Arguments& out) {
    out = Arguments();
    for (qsizetype i = 0; i < args.size(); ++i) {
        const QString& a = args[i];
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            std::fputs(qPrintable(CommandHelp(spec)), stdout);
            return kExitOk;
        }
        if (!a.startsWith(QLatin1String("--")) || a == QLatin1String("--")) {
            if (out.operands.size() >= spec.maxOperands)
                return UsageError(spec, "unexpected word \"" + a + "\"");
            out.operands << a;
            continue;
        }
        const Option* option = FindOption(spec, a);
        if (!option) return UsageError(spec, "unknown option " + a);
        QStringList& values = out.values_[a];
        if (!option->value) {
            values = QStringList{QString()};
            continue;
        }
        // The next option of the command is no value: "--system --json" lacks the number.
        if (i + 1 >= args.size() || args[i + 1] == QLatin1String("--help") ||
            FindOption(spec, args[i + 1]))
            return UsageError(spec, a + " needs a value (" + QLatin1String(option->value) + ")");
        if (!option->repeatable) values.clear();
        values << args[++i];
    }
    return -1;
}

int UsageError(const CommandSpec& spec, const QString& why) {
    LogError("vm418ctl " + QLatin1String(spec.words) + ": " + why);
    std::fputs(qPrintable(CommandUsage(spec)), stderr);
    std::fprintf(stderr, "Try 'vm418ctl %s --help' for its options.\n", spec.words);
    return kExitUsage;
}

int Failure(const CommandSpec& spec, const QString& why) {
    LogError("vm418ctl " + QLatin1String(spec.words) + ": " + why);
    return kExitFailure;
}

QString DatabaseHint() {
    return QStringLiteral("run `vm418ctl db init` first if it is not set up (see vm418ctl(1))");
}

int CheckDatabase(const CommandSpec& spec, QString& db, DbUse use) {
    vm418::useOdbcConfiguration();
    const QString file = vm418::sqliteFileOf(db);
    if (file.isEmpty()) return -1;
    const QFileInfo info(file);
    if (!info.exists())
        return Failure(spec, "the database " + file +
                                 " does not exist: run `vm418ctl db init` first (see vm418ctl(1))");
    // SQLite makes its journal files beside the database while it reads and writes.
    const QString folder = info.absolutePath();
    const bool journal = QFileInfo(folder).isWritable();
    if (use == DbUse::kWrite) {
        if (!info.isWritable())
            return Failure(spec, "cannot write to the database " + file + ": permission denied");
        if (!journal)
            return Failure(spec, "cannot write to the database " + file +
                                     ": permission denied in its folder " + folder +
                                     " (SQLite makes its journal files there)");
        return -1;
    }
    if (journal && info.isWritable()) return -1;
    vm418::setConnectionsReadOnly(true);
    if (journal) return -1;
    // Without its journal files SQLite reads the file only as read-only or immutable: the
    // first while a writer keeps its journal there (it shares that writer's index), the
    // second while none does.
    const bool writerThere =
        QFileInfo::exists(file + "-wal") && QFileInfo(file + "-shm").isReadable();
    const QString uri = QUrl::fromLocalFile(info.absoluteFilePath()).toString(QUrl::FullyEncoded) +
                        (writerThere ? "?mode=ro" : "?immutable=1");
    static const QRegularExpression database(QStringLiteral("(^|;)\\s*Database\\s*=[^;]*"),
                                             QRegularExpression::CaseInsensitiveOption);
    if (db.contains(database))
        db.replace(database, "\\1Database=" + uri);
    else
        db += ";Database=" + uri;
    return -1;
}

bool SystemArgument(const Invocation& call, int32_t& id, int& exitCode) {
    if (!call.args.has(kSystemOption.name)) {
        exitCode = UsageError(call.spec, "--system N is required");
        return false;
    }
    bool ok = false;
    id = call.args.value(kSystemOption.name).toInt(&ok);
    if (!ok || id < 0) {
        exitCode = UsageError(call.spec, "--system takes a system's number, not \"" +
                                             call.args.value(kSystemOption.name) + "\"");
        return false;
    }
    return true;
}

}  // namespace station::cli
