#include "log_lines.h"

#include <sys/stat.h>
#include <QStringList>
#include <atomic>
#include <cstdlib>

#include "station_db.h"

namespace station::cli {

namespace {
std::atomic<bool> timedLines{false};
}  // namespace

void TimeLogLines() {
    timedLines = true;
}

bool GoesToJournal(std::FILE* out) {
    // "DEVICE:INODE", both decimal. A program started by a service with its output sent
    // elsewhere inherits the variable: only the stream it names is the journal.
    const QByteArray stream = qgetenv("JOURNAL_STREAM");
    const qsizetype colon = stream.indexOf(':');
    if (out == nullptr || colon <= 0) return false;
    bool deviceOk = false, inodeOk = false;
    const qulonglong device = stream.left(colon).toULongLong(&deviceOk);
    const qulonglong inode = stream.mid(colon + 1).toULongLong(&inodeOk);
    struct stat st {};
    return deviceOk && inodeOk && ::fstat(fileno(out), &st) == 0 && st.st_dev == device &&
           st.st_ino == inode;
}

QString LocalTimeWithOffset(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char date[32];
    std::strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &tm);
    const long offsetMin = std::labs(tm.tm_gmtoff) / 60;
    return QString::asprintf("%s%c%02ld:%02ld", date, tm.tm_gmtoff < 0 ? '-' : '+', offsetMin / 60,
                             offsetMin % 60);
}

QString LogPrefix(LogLevel level, std::FILE* out) {
    if (GoesToJournal(out)) return QStringLiteral("<%1>").arg(static_cast<int>(level));
    if (timedLines) return LocalTimeWithOffset(std::time(nullptr)) + QLatin1Char(' ');
    return {};
}

QString LogLines(LogLevel level, const QString& text, std::FILE* out) {
    const QString prefix = LogPrefix(level, out);
    // Every line of a text of several (a driver's message) is a line of the log.
    QString lines;
    for (const QString& line : text.split(QLatin1Char('\n')))
        lines += prefix + line + QLatin1Char('\n');
    return lines;
}

void Log(LogLevel level, const QString& text, std::FILE* out) {
    // One write: lines of other threads (the fleet view's workers) do not cut into it.
    const QByteArray bytes = LogLines(level, text, out).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, static_cast<size_t>(bytes.size()), out);
    std::fflush(out);
}

void LogError(const QString& text) {
    Log(LogLevel::Error, text, stderr);
}

void LogQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    LogLevel level = LogLevel::Error;
    if (type == QtDebugMsg)
        level = LogLevel::Debug;
    else if (type == QtInfoMsg)
        level = LogLevel::Info;
    else if (type == QtWarningMsg)
        level = LogLevel::Warning;
    // A driver's or Qt's own trace may repeat a connection text.
    Log(level, vm418::maskSecrets(qFormatLogMessage(type, context, text)), stderr);
}

}  // namespace station::cli
