#pragma once

#include <QProcess>
#include <QString>
#include <QStringList>

// The text of each page of a PDF file, as pdftotext lays it out (pages end with a form feed).
inline QStringList PdfPages(const QString& path) {
    QProcess p;
    p.start("pdftotext", {"-layout", path, "-"});
    if (!p.waitForFinished(30000)) return {};
    QStringList pages = QString::fromUtf8(p.readAllStandardOutput()).split('\f');
    if (!pages.isEmpty() && pages.last().trimmed().isEmpty()) pages.removeLast();
    return pages;
}
