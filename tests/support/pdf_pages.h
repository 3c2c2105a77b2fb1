#pragma once

#include <QImage>
#include <QProcess>
#include <QRectF>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <vector>

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

// The words of one page of a PDF file with their boxes, in points from the top left, as
// `pdftotext -bbox` reads them.
struct PdfWord {
    QString text;
    QRectF box;
};
inline std::vector<PdfWord> PdfWords(const QString& path, int page) {
    QProcess p;
    p.start("pdftotext",
            {"-bbox", "-f", QString::number(page), "-l", QString::number(page), path, "-"});
    if (!p.waitForFinished(30000)) return {};
    std::vector<PdfWord> words;
    static const QRegularExpression word(
        R"re(<word xMin="([\d.]+)" yMin="([\d.]+)" xMax="([\d.]+)" yMax="([\d.]+)">([^<]*)</word>)re");
    const QString xml = QString::fromUtf8(p.readAllStandardOutput());
    for (auto it = word.globalMatch(xml); it.hasNext();) {
        const QRegularExpressionMatch m = it.next();
        words.push_back(
            {m.captured(5), QRectF(QPointF(m.captured(1).toDouble(), m.captured(2).toDouble()),
                                   QPointF(m.captured(3).toDouble(), m.captured(4).toDouble()))});
    }
    return words;
}
