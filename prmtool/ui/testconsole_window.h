#pragma once

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <array>

#include "settings_window.h"
#include "testconsole.h"

namespace prm {

// A line edit whose click is a command (the console's clock edit fills in the PC time).
class ClickableLineEdit : public QLineEdit {
    Q_OBJECT
  public:
    using QLineEdit::QLineEdit;

  signals:
    void clicked();

  protected:
    void mousePressEvent(QMouseEvent* e) override;
};

// The picture panel: reports the mouse over it and clicks on it.
class PictureLabel : public QLabel {
    Q_OBJECT
  public:
    explicit PictureLabel(QWidget* parent = nullptr);

  signals:
    void mouseMoved(int x, int y);
    void clicked(int x, int y);

  protected:
    void mouseMoveEvent(QMouseEvent* e) override;
    void mousePressEvent(QMouseEvent* e) override;
};

// The test console ("HW Tests"): the log, the picture panel and the "Tests" group, drawn
// from the console's controller.
class TForm2 : public QDialog {
    Q_OBJECT
  public:
    explicit TForm2(Link& link, QWidget* parent = nullptr);

    TestConsoleController& controller() { return controller_; }
    QPushButton* button(TestConsoleController::Button b) const {
        return buttons_[static_cast<int>(b)];
    }
    QPlainTextEdit* logView() const { return log_; }
    QLineEdit* temperatureEdit() const { return temperature_; }
    QLabel* keyLabel() const { return keyLabel_; }
    PictureLabel* picture() const { return picture_; }
    StepperSpinBox* ratioBox() const { return ratio_; }
    StepperSpinBox* contrastBox() const { return contrast_; }

    // Esc and the window's close button end the console as "Main Menu" does.
    void reject() override;

  protected:
    void showEvent(QShowEvent* e) override;

  private:
    void render();
    bool confirmEeprom();

    TestConsoleController controller_;
    QPlainTextEdit* log_ = nullptr;
    PictureLabel* picture_ = nullptr;
    std::array<QLabel*, 2> readouts_{};
    QLabel* yScale_ = nullptr;
    QPushButton* gamma_ = nullptr;
    QLineEdit* time_ = nullptr;
    std::array<QPushButton*, TestConsoleController::kButtonCount> buttons_{};
    QPushButton* singleRepeat_ = nullptr;
    QPushButton* dacUnit_ = nullptr;
    std::array<QLineEdit*, 2> dac_{};
    StepperSpinBox* ratio_ = nullptr;
    StepperSpinBox* contrast_ = nullptr;
    QLineEdit* lcdTemp_ = nullptr;
    QPushButton* backlite_ = nullptr;
    ClickableLineEdit* clock_ = nullptr;
    QLineEdit* temperature_ = nullptr;
    QLineEdit* battery_ = nullptr;
    std::array<QLabel*, 4> counters_{};
    QLabel* echoCount_ = nullptr;
    QLabel* keyLabel_ = nullptr;
    QLineEdit* fileName_ = nullptr;
    QPushButton* recording_ = nullptr;
    bool activated_ = false;
};

}  // namespace prm
