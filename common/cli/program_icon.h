// A program's own icon in every size compiled in (suite_add_program_icon in CMake).
#pragma once

#include <QDir>
#include <QIcon>

namespace suite {

inline QIcon programIcon(const QString& name) {
    QIcon icon;
    const QDir folder(QStringLiteral(":/icons/") + name);
    for (const QString& file : folder.entryList(QDir::Files))
        icon.addFile(folder.filePath(file));
    return icon;
}

}  // namespace suite
