#pragma once

#include <QDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <array>

#include "records.h"

namespace prm {

// The records screen ("History and Alarms"): the log of record lines, the ALARMS and DOSE
// groups with their buttons and file names, and the print dialog.
class TForm5 : public QDialog {
    Q_OBJECT
  public:
    explicit TForm5(Link& link, QWidget* parent = nullptr);

    RecordsController& controller() { return controller_; }
    QPushButton* button(RecordsController::Button b) const { return buttons_[static_cast<int>(b)]; }
    QLineEdit* fileNameBox(RecordKind k) const { return fileNames_[static_cast<int>(k)]; }
    QPlainTextEdit* logView() const { return log_; }

  protected:
    void showEvent(QShowEvent* e) override;

  private:
    void render();
    std::unique_ptr<RecordPrinter> choosePrinter(RecordKind kind);

    RecordsController controller_;
    QPlainTextEdit* log_ = nullptr;
    std::array<QPushButton*, RecordsController::kButtonCount> buttons_{};
    std::array<QLineEdit*, 2> fileNames_{};
    bool activated_ = false;
};

}  // namespace prm
