#include "station_print.h"

#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QLocale>
#include <QPageLayout>
#include <QPageSize>
#include <QPagedPaintDevice>
#include <QPaintDevice>
#include <QPainter>
#include <QPdfWriter>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace station {

int MmToDevice(const QPaintDevice& device, double mm) {
    return static_cast<int>(mm * device.logicalDpiY() / 25.4 + 0.5);
}

QFont HeaderFont(const QPaintDevice& device) {
    // Where Times New Roman itself is not installed, its metric-compatible twin keeps the
    // header's widths (another serif face can be much wider).
    static const bool substituted = [] {
        QFont::insertSubstitution(QStringLiteral("Times New Roman"),
                                  QStringLiteral("Liberation Serif"));
        return true;
    }();
    (void)substituted;
    QFont font(QStringLiteral("Times New Roman"));
    font.setStyleHint(QFont::Serif);
    font.setWeight(static_cast<QFont::Weight>(600));
    font.setPixelSize(MmToDevice(device, 5.0));
    return font;
}

QFont BodyFont() {
    QFont font(QStringLiteral("Helvetica"));
    font.setStyleHint(QFont::SansSerif);
    font.setPointSize(10);
    return font;
}

QString PrintedText(const QDateTime& printed, int page) {
    // Month names in English whatever the user's locale, as the rest of the printout.
    const QString when = QLocale::c().toString(printed, QStringLiteral("HH:mm:ss, MMM dd,yyyy"));
    return QStringLiteral("Printed %1  page %2 ").arg(when).arg(page);
}

void DrawPageHeader(QPainter& painter, QRect& area, const QString& heading, int page,
                    const QDateTime& printed) {
    painter.save();
    const QPaintDevice& device = *painter.device();
    painter.setPen(QPen(Qt::black, MmToDevice(device, 0.5), Qt::SolidLine));
    painter.setFont(HeaderFont(device));
    const QFontMetrics metrics(painter.font(), painter.device());
    const int t = metrics.height();
    const int g = t + t / 3;
    // The time and page keep their place at the right; a heading too long for the room left
    // of them (with a gap of one letter) is cut short there rather than run into them.
    const QString when = PrintedText(printed, page);
    const int room = area.width() - metrics.horizontalAdvance(when) -
                     metrics.horizontalAdvance(QLatin1Char('M'));
    const QString shown = metrics.horizontalAdvance(heading) <= room
                              ? heading
                              : metrics.elidedText(heading, Qt::ElideRight, std::max(0, room));
    painter.drawText(QRect(area.left(), area.top(), area.width(), t), Qt::AlignLeft | Qt::AlignTop,
                     shown);
    painter.drawText(QRect(area.left(), area.top(), area.width(), t), Qt::AlignRight | Qt::AlignTop,
                     when);
    painter.drawLine(area.left(), area.top() + g, area.right(), area.top() + g);
    area.setTop(area.top() + 2 * g);
    painter.restore();
}

void BeginPage(QPainter& painter, const PageRange& range, int page, int& drawn) {
    if (!range.Has(page)) {
        // An empty clip draws nothing.
        painter.setClipRect(QRect(), Qt::ReplaceClip);
        painter.setClipping(true);
        return;
    }
    painter.setClipping(false);
    if (drawn > 0) static_cast<QPagedPaintDevice*>(painter.device())->newPage();
    ++drawn;
}

std::unique_ptr<QPdfWriter> NewA4Pdf(const QString& path, const QString& title) {
    auto pdf = std::make_unique<QPdfWriter>(path);
    pdf->setResolution(300);
    pdf->setPageLayout(QPageLayout(QPageSize(QPageSize::A4), QPageLayout::Portrait,
                                   QMarginsF(10, 10, 10, 10), QPageLayout::Millimeter));
    pdf->setTitle(title);
    pdf->setCreator(QStringLiteral("418vLINK"));
    return pdf;
}

int PrintPdfFile(const QString& path, const QString& title,
                 const std::function<int(QPagedPaintDevice&)>& paint, QString& error) {
    const QString partial = path + QStringLiteral(".part");
    {
        // The writer does not say why it cannot start; opening the file first does.
        QFile probe(partial);
        if (!probe.open(QIODevice::WriteOnly)) {
            error = QStringLiteral("cannot write %1: %2").arg(partial, probe.errorString());
            return 0;
        }
    }
    int pages = 0;
    {
        std::unique_ptr<QPdfWriter> pdf = NewA4Pdf(partial, title);
        pages = paint(*pdf);
    }  // the file is complete once its writer is gone
    if (pages == 0 || QFileInfo(partial).size() == 0) {
        error = QStringLiteral("cannot write %1: no page was printed").arg(partial);
        QFile::remove(partial);
        return 0;
    }
    // rename() replaces the target in one step: there is always either the old file or the new.
    if (std::rename(QFile::encodeName(partial).constData(), QFile::encodeName(path).constData()) !=
        0) {
        const int why = errno;
        error = QStringLiteral("cannot replace %1: %2")
                    .arg(path, QString::fromLocal8Bit(std::strerror(why)));
        QFile::remove(partial);
        return 0;
    }
    return pages;
}

}  // namespace station
