#pragma once

#include <QDialog>
#include <QGridLayout>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <map>

#include "settings.h"

namespace prm {

// A spin box that reports every step click, also one at its limit that changes nothing.
class StepperSpinBox : public QSpinBox {
    Q_OBJECT
  public:
    using QSpinBox::QSpinBox;
    void stepBy(int steps) override;
    // Off: the value changes only with the arrows (and the arrow keys), never by typing.
    void setTypingAllowed(bool allowed) { lineEdit()->setReadOnly(!allowed); }

  signals:
    void stepped(int shownValue);
};

// The settings window ("Setting"): the editor's controller drawn as fields, groups and
// buttons. It forwards clicks and edits and draws what the controller reports.
class TForm4 : public QDialog {
    Q_OBJECT
  public:
    explicit TForm4(Link& link, QWidget* parent = nullptr);

    SettingsController& controller() { return controller_; }
    QLineEdit* field(Field f) const { return fields_.at(f); }
    QPushButton* button(SettingsController::Button b) const { return buttons_.at(b); }
    QPushButton* optionButton(SettingsController::Option o) const { return options_.at(o); }
    QRadioButton* doseUnitItem(int item) const { return doseItems_[item]; }
    StepperSpinBox* coarseStepper() const { return coarse_; }
    StepperSpinBox* fineStepper() const { return fine_; }
    QGroupBox* configurationGroup() const { return configuration_; }
    QLabel* errorLabel() const { return error_; }
    QLabel* statusPanel(int i) const { return panels_[i]; }

  protected:
    void showEvent(QShowEvent* e) override;

  private:
    void build();
    void render();
    QLineEdit* addField(QWidget* parent, QGridLayout* grid, int row, const QString& caption,
                        Field f, bool readOnly);
    QPushButton* addOption(QWidget* parent, SettingsController::Option o);
    void showValidationMessage(const QString& text);

    SettingsController controller_;
    std::map<Field, QLineEdit*> fields_;
    std::map<SettingsController::Button, QPushButton*> buttons_;
    std::map<SettingsController::Option, QPushButton*> options_;
    QRadioButton* doseItems_[3] = {};
    StepperSpinBox* coarse_ = nullptr;
    StepperSpinBox* fine_ = nullptr;
    QGroupBox* configuration_ = nullptr;
    QLabel* error_ = nullptr;
    QLabel* panels_[6] = {};
    bool activated_ = false;
};

}  // namespace prm
