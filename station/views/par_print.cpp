#include "par_print.h"

#include <QFontMetrics>
#include <QPagedPaintDevice>
#include <QPainter>

#include "param_form.h"
#include "station_print.h"

namespace station {

int PrintParameterPages(QPagedPaintDevice& device, const QString& title,
                        const vm418::PARA_418& block, const QDateTime& printed) {
    QPainter painter;
    if (!painter.begin(&device)) return 0;
    QRect area(0, 0, device.width(), device.height());
    DrawPageHeader(painter, area, title + "  - PARAMETERS ", 1, printed);

    painter.setFont(BodyFont());
    const int t = QFontMetrics(painter.font(), &device).height();
    const int w = area.width();
    const int s = w / 6;  // the table's left margin and its distance below the header
    const int valueX = w / 2 + s;
    const int lineEnd = s + 2 * w / 3;
    const int left = area.left();
    const int top = area.top();
    auto text = [&](int x, int y, const QString& s_) {
        painter.drawText(QRect(left + x, top + y, lineEnd - x, t), Qt::AlignLeft | Qt::AlignTop,
                         s_);
    };

    text(valueX, s, QStringLiteral("Value"));
    const QStringList values = vm418::printValues(block);
    for (int i = 0; i < values.size(); ++i)
        text(valueX, s + (i + 1) * t, values[i]);

    // Each label row starts with a rule; the last, empty row closes the table.
    const QStringList& labels = vm418::printLabels();
    int y = s;
    for (const QString& label : labels) {
        painter.drawLine(left + s, top + y, left + lineEnd, top + y);
        text(s, y, label);
        y += t;
    }
    const int lastRowTop = s + (static_cast<int>(labels.size()) - 1) * t;
    for (int x : {s, lineEnd, w / 2 + s - t})
        painter.drawLine(left + x, top + s, left + x, top + lastRowTop);
    painter.end();
    return 1;
}

}  // namespace station
