#include "command_dates.h"

#include <QDateTime>

namespace station::cli {

std::optional<std::time_t> ParseCommandTime(const QString& text, bool endOfDay) {
    QDateTime dt = QDateTime::fromString(text, "yyyy-MM-dd HH:mm:ss");
    if (!dt.isValid()) {
        const QDate d = QDate::fromString(text, "yyyy-MM-dd");
        if (!d.isValid()) return std::nullopt;
        dt = QDateTime(d, endOfDay ? QTime(23, 59, 59) : QTime(0, 0));
    }
    return dt.toSecsSinceEpoch();
}

bool ParseDays(const QString& from, const QString& to, vm418::RecordCondition& out,
               QString& error) {
    const QDate first = QDate::fromString(from, "yyyy-MM-dd");
    const QDate last = QDate::fromString(to, "yyyy-MM-dd");
    for (const auto& [name, text, day] : {std::tuple{"--from", from, first}, {"--to", to, last}})
        if (!text.isEmpty() && !day.isValid()) {
            error = QString("%1 \"%2\" is not a date like 2026-03-03").arg(name, text);
            return false;
        }
    if (first.isValid() && last.isValid() && first > last) {
        error = "--from lies after --to";
        return false;
    }
    out = {};
    if (first.isValid() || last.isValid()) {
        out = vm418::RecordCondition::days(first.isValid() ? first : last,
                                           last.isValid() ? last : first);
        if (!first.isValid()) out.from.reset();
        if (!last.isValid()) out.to.reset();
    }
    return true;
}

}  // namespace station::cli
