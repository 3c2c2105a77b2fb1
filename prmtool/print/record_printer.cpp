#include "record_printer.h"

namespace prm {

namespace {
constexpr int kLeftX = 10;
constexpr int kFontPoints = 12;
}  // namespace

std::unique_ptr<QPrinter> QtRecordPrinter::makePrinter() {
    auto printer = std::make_unique<QPrinter>(QPrinter::HighResolution);
    printer->setResolution(kUnitsPerInch);
    return printer;
}

std::unique_ptr<QPrinter> QtRecordPrinter::makePdfPrinter(const QString& pdfPath) {
    auto printer = makePrinter();
    printer->setOutputFormat(QPrinter::PdfFormat);
    printer->setOutputFileName(pdfPath);
    return printer;
}

QtRecordPrinter::QtRecordPrinter(std::unique_ptr<QPrinter> printer)
    : printer_(std::move(printer)) {}

QtRecordPrinter::~QtRecordPrinter() {
    endJob();
}

void QtRecordPrinter::beginJob() {
    if (!painter_.begin(printer_.get())) return;
    QFont font(QStringLiteral("Courier New"), kFontPoints);
    font.setStyleHint(QFont::TypeWriter);
    painter_.setFont(font);
}

void QtRecordPrinter::printLine(int y, const QString& text) {
    if (painter_.isActive()) painter_.drawText(kLeftX, y, text);
}

void QtRecordPrinter::newPage() {
    printer_->newPage();
}

void QtRecordPrinter::endJob() {
    if (painter_.isActive()) painter_.end();
}

}  // namespace prm
