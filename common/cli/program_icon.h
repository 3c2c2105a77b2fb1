// A program's own icon in every size compiled in (suite_add_program_icon in CMake).
#pragma once

#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <algorithm>

namespace suite {

inline QIcon programIcon(const QString& name) {
    QIcon icon;
    const QDir folder(QStringLiteral(":/icons/") + name);
    // The files are named by their size; the smallest first.
    QStringList files = folder.entryList(QDir::Files);
    std::sort(files.begin(), files.end(), [](const QString& a, const QString& b) {
        return QFileInfo(a).baseName().toInt() < QFileInfo(b).baseName().toInt();
    });
    for (const QString& file : files)
        icon.addFile(folder.filePath(file));
    return icon;
}

}  // namespace suite
