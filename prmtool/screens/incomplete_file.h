#pragma once

#include <QFile>
#include <QString>

namespace prm {

// A file that a lost port or a time-out cut short must never look complete: it is kept
// under its name with ".incomplete" added (replacing an older one). Returns that name, or
// an empty text when it could not be renamed and was removed instead.
inline QString keepAsIncomplete(const QString& path) {
    const QString kept = path + QStringLiteral(".incomplete");
    QFile::remove(kept);
    if (QFile::rename(path, kept)) return kept;
    QFile::remove(path);
    return {};
}

// The log line that says what became of such a file.
inline QString incompleteFileLine(const QString& path, const QString& kept) {
    return kept.isEmpty() ? QStringLiteral("File %1 incomplete: removed").arg(path)
                          : QStringLiteral("File %1 incomplete: kept as %2").arg(path, kept);
}

}  // namespace prm
