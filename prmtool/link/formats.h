#pragma once

#include <QDateTime>
#include <QString>

namespace prm {

// The tool's date and time formats, set once for the whole program: short date
// "dd-mm-yy" and long time "hh:nn:ss" (two-digit year, 24-hour clock).
inline const QString kShortDateFormat = QStringLiteral("dd-MM-yy");
inline const QString kLongTimeFormat = QStringLiteral("hh:mm:ss");

inline QString dateText(const QDateTime& t) {
    return t.toString(kShortDateFormat);
}
inline QString timeText(const QDateTime& t) {
    return t.toString(kLongTimeFormat);
}
inline QString dateTimeText(const QDateTime& t) {
    return dateText(t) + ' ' + timeText(t);
}

}  // namespace prm
