#pragma once

#include <QImage>
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

// One page of a PDF file as a grey picture at `dpi` dots per inch (a null image when it cannot
// be made).
inline QImage PdfPageImage(const QString& path, int page, int dpi) {
    const QString stem = path + QStringLiteral(".page");
    QProcess p;
    p.start("pdftoppm", {"-r", QString::number(dpi), "-f", QString::number(page), "-l",
                         QString::number(page), "-gray", "-singlefile", path, stem});
    if (!p.waitForFinished(30000) || p.exitCode() != 0) return {};
    return QImage(stem + ".pgm");
}
