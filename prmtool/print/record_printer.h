#pragma once

#include <QPainter>
#include <QPrinter>
#include <memory>

#include "records.h"

namespace prm {

// Prints record lines through a QPrinter: a printer chosen in the print dialog or a PDF
// file. The page is addressed in units of 1/600 inch, so a line step of 100 is one line of
// 12-point type.
class QtRecordPrinter : public RecordPrinter {
  public:
    static constexpr int kUnitsPerInch = 600;

    // The printer the print dialog works on (font "Courier New", 12 points).
    static std::unique_ptr<QPrinter> makePrinter();
    static std::unique_ptr<QPrinter> makePdfPrinter(const QString& pdfPath);

    explicit QtRecordPrinter(std::unique_ptr<QPrinter> printer);
    ~QtRecordPrinter() override;

    void beginJob() override;
    void printLine(int y, const QString& text) override;
    void newPage() override;
    void endJob() override;

  private:
    std::unique_ptr<QPrinter> printer_;
    QPainter painter_;
};

}  // namespace prm
