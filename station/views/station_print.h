// Station printouts: pages on a printer or an A4 PDF file, each starting with the same page
// header (the document's title and what is printed at the top left, the time of printing
// and the page number at the top right, a rule underneath).
#pragma once

#include <QDateTime>
#include <QFont>
#include <QRect>
#include <QString>
#include <functional>
#include <memory>

class QPainter;
class QPagedPaintDevice;
class QPaintDevice;
class QPdfWriter;

namespace station {

// The pages of a printout that go on paper: `from` to `to`, both included, counted from 1;
// `to` 0 means up to the last.
struct PageRange {
    int from = 1;
    int to = 0;
    bool Has(int page) const { return page >= from && (to == 0 || page <= to); }
    bool Past(int page) const { return to != 0 && page > to; }
};

// Starts page `page` of a printout on `painter`. A page in `range` is drawn (on a new sheet
// of the device after the first drawn one); a page outside it is laid out as usual but
// draws nothing, so that the pages in the range look as in the whole printout. `drawn`
// counts the pages drawn.
void BeginPage(QPainter& painter, const PageRange& range, int page, int& drawn);

// Millimetres in the device units of `device`.
int MmToDevice(const QPaintDevice& device, double mm);

// The header font: "Times New Roman", weight 600, 5 mm high on `device`.
QFont HeaderFont(const QPaintDevice& device);
// The font of a page's body text, 10 point.
QFont BodyFont();

// Draws the page header into `area` (the printable area in device units) and moves its top
// below the header. `heading` is the title and kind, e.g. "Unit 7  - ALARMS ". The pen and
// font of `painter` are left as they were.
void DrawPageHeader(QPainter& painter, QRect& area, const QString& heading, int page,
                    const QDateTime& printed);

// "Printed %s  page %d " with the time of printing as "%H:%M:%S, %b %d,%Y".
QString PrintedText(const QDateTime& printed, int page);

// An A4 portrait PDF writer at 300 dots per inch with 10 mm margins; `title` is the
// document's title in the file's information.
std::unique_ptr<QPdfWriter> NewA4Pdf(const QString& path, const QString& title);

// The pages `paint` draws, as an A4 PDF file at `path` (see NewA4Pdf). They are written beside
// it and replace it in one rename once every page is out: a print that fails leaves an
// earlier file at `path` as it was. Returns the pages, or 0 with `error` saying why.
int PrintPdfFile(const QString& path, const QString& title,
                 const std::function<int(QPagedPaintDevice&)>& paint, QString& error);

}  // namespace station
