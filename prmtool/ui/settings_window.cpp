#include "settings_window.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QVBoxLayout>

namespace prm {

using Button = SettingsController::Button;
using Option = SettingsController::Option;

void StepperSpinBox::stepBy(int steps) {
    QSpinBox::stepBy(steps);
    emit stepped(value());
}

TForm4::TForm4(Link& link, QWidget* parent) : QDialog(parent), controller_(link) {
    setWindowTitle(QStringLiteral("Setting"));
    setWindowState(windowState() | Qt::WindowMaximized);
    build();
    connect(&controller_, &SettingsController::changed, this, &TForm4::render);
    connect(&controller_, &SettingsController::validationMessage, this,
            &TForm4::showValidationMessage);
    connect(&controller_, &SettingsController::closeRequested, this, &QDialog::accept);
    render();
}

void TForm4::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (activated_) return;
    activated_ = true;
    controller_.activate();
}

QLineEdit* TForm4::addField(QWidget* parent, QGridLayout* grid, int row, const QString& caption,
                            Field f, bool readOnly) {
    auto* edit = new QLineEdit(parent);
    edit->setReadOnly(readOnly);
    grid->addWidget(new QLabel(caption, parent), row, 0);
    grid->addWidget(edit, row, 1);
    fields_[f] = edit;
    connect(edit, &QLineEdit::textEdited, this,
            [this, f](const QString& text) { controller_.setFieldText(f, text); });
    // Return, or the focus moving on: a field left empty takes its default.
    connect(edit, &QLineEdit::editingFinished, this, [this, f] { controller_.leaveField(f); });
    return edit;
}

QPushButton* TForm4::addOption(QWidget* parent, Option o) {
    auto* b = new QPushButton(parent);
    options_[o] = b;
    connect(b, &QPushButton::clicked, this, [this, o] { controller_.toggleOption(o); });
    return b;
}

void TForm4::build() {
    auto* top = new QVBoxLayout(this);
    configuration_ = new QGroupBox(QStringLiteral("Configuration"), this);
    auto* config = new QGridLayout(configuration_);

    auto* vibrator = new QGroupBox(QStringLiteral("Vibrator"), configuration_);
    (new QVBoxLayout(vibrator))->addWidget(addOption(vibrator, Option::Vibrator));
    auto* buzzer = new QGroupBox(QStringLiteral("Buzzer"), configuration_);
    auto* buzzerLayout = new QVBoxLayout(buzzer);
    buzzerLayout->addWidget(addOption(buzzer, Option::Buzzer));
    buzzerLayout->addWidget(addOption(buzzer, Option::KeyBeep));

    auto* lcd = new QGroupBox(QStringLiteral("LCD"), configuration_);
    auto* lcdGrid = new QGridLayout(lcd);
    coarse_ = new StepperSpinBox(lcd);
    coarse_->setRange(SettingsController::kCoarseMin, SettingsController::kCoarseMax);
    fine_ = new StepperSpinBox(lcd);
    fine_->setRange(SettingsController::kFineMin, SettingsController::kFineMax);
    lcdGrid->addWidget(new QLabel(QStringLiteral("Contrast Coarse"), lcd), 0, 0);
    lcdGrid->addWidget(coarse_, 0, 1);
    lcdGrid->addWidget(new QLabel(QStringLiteral("Contrast Fine"), lcd), 1, 0);
    lcdGrid->addWidget(fine_, 1, 1);
    auto* lcdTemp = new QLineEdit(lcd);
    lcdTemp->setReadOnly(true);
    fields_[Field::LcdTemperature] = lcdTemp;
    lcdGrid->addWidget(lcdTemp, 2, 0);
    lcdGrid->addWidget(new QLabel(QStringLiteral("grad C"), lcd), 2, 1);
    lcdGrid->addWidget(addOption(lcd, Option::Backlight), 3, 0, 1, 2);
    connect(coarse_, &StepperSpinBox::stepped, &controller_,
            &SettingsController::stepContrastCoarse);
    connect(fine_, &StepperSpinBox::stepped, &controller_, &SettingsController::stepContrastFine);

    auto* discr = new QGroupBox(QStringLiteral("Discriminator"), configuration_);
    auto* discrGrid = new QGridLayout(discr);
    addField(discr, discrGrid, 0, QStringLiteral("Gamma  [ 1 - 4095 step ]"), Field::GammaDiscr,
             false);
    addField(discr, discrGrid, 1, QStringLiteral("Neutron  [ 1 - 4095 step ] 4095 => DIS.DET"),
             Field::NeutronDiscr, false);

    auto* alarm = new QGroupBox(QStringLiteral("Alarm Threshold"), configuration_);
    auto* alarmGrid = new QGridLayout(alarm);
    addField(alarm, alarmGrid, 0, QStringLiteral("Gamma  [ 0.0 - 9.9  sigma ]  0 => DIS.ALARM"),
             Field::GammaAlarm, false);
    addField(alarm, alarmGrid, 1, QStringLiteral("Neutron  [ 1 - 10 cnt/6 sec ]"),
             Field::NeutronAlarm, false);
    addField(alarm, alarmGrid, 2, QStringLiteral("DANGER Gamma  [ 1 - 100 uSv/h ]"),
             Field::DangerGamma, false);
    addField(alarm, alarmGrid, 3, QStringLiteral("DANGER Neutron [ 1 - 20 cnt/6 sec ]"),
             Field::DangerNeutron, false);

    auto* info = new QGroupBox(QStringLiteral("Info"), configuration_);
    auto* infoGrid = new QGridLayout(info);
    addField(info, infoGrid, 0, QStringLiteral("Serial  Number [ 1 - 9999 ]"), Field::SerialNumber,
             true);
    addField(info, infoGrid, 1, QStringLiteral("Software Version"), Field::SoftwareVersion, true);
    addField(info, infoGrid, 2, QStringLiteral("Temperature [ grad C ]"), Field::Temperature, true);
    addField(info, infoGrid, 3, QStringLiteral("Battery [ V ]"), Field::Battery, true);
    auto* clock = new QLineEdit(info);
    clock->setReadOnly(true);
    fields_[Field::Clock] = clock;
    infoGrid->addWidget(clock, 4, 0);
    auto* setClock = new QPushButton(QStringLiteral("Set Date/Time"), info);
    infoGrid->addWidget(setClock, 4, 1);
    connect(setClock, &QPushButton::clicked, &controller_, &SettingsController::setDateTime);

    auto* dose = new QGroupBox(QStringLiteral("Dose Units"), configuration_);
    auto* doseLayout = new QHBoxLayout(dose);
    const char* const doseNames[] = {"Gy/hr", "R/hr", "Sv/hr"};
    for (int i = 0; i < 3; ++i) {
        doseItems_[i] = new QRadioButton(QString::fromLatin1(doseNames[i]), dose);
        doseLayout->addWidget(doseItems_[i]);
        connect(doseItems_[i], &QRadioButton::clicked, this,
                [this, i] { controller_.chooseDoseUnit(i); });
    }

    config->addWidget(vibrator, 0, 0);
    config->addWidget(buzzer, 1, 0);
    config->addWidget(lcd, 0, 1, 2, 1);
    config->addWidget(discr, 2, 0, 1, 2);
    config->addWidget(alarm, 3, 0, 1, 2);
    config->addWidget(info, 0, 2, 3, 1);
    config->addWidget(dose, 3, 2);
    top->addWidget(configuration_);

    auto* buttonRow = new QHBoxLayout;
    const std::pair<Button, const char*> buttonNames[] = {
        {Button::DisplayDefault, "Display Default Settings"},
        {Button::DisplayUser, "Display User Settings"},
        {Button::SaveUser, "Save User Settings"},
        {Button::SaveDefaultUser, "Save as Deafault/User"},
    };
    for (const auto& [b, name] : buttonNames) {
        buttons_[b] = new QPushButton(QString::fromLatin1(name), this);
        buttonRow->addWidget(buttons_[b]);
    }
    // The default-and-user write stays a protocol command: its button is never shown.
    buttons_[Button::SaveDefaultUser]->hide();
    connect(buttons_[Button::DisplayDefault], &QPushButton::clicked, &controller_,
            &SettingsController::displayDefaultSettings);
    connect(buttons_[Button::DisplayUser], &QPushButton::clicked, &controller_,
            &SettingsController::displayUserSettings);
    connect(buttons_[Button::SaveUser], &QPushButton::clicked, &controller_,
            &SettingsController::saveUserSettings);
    connect(buttons_[Button::SaveDefaultUser], &QPushButton::clicked, &controller_,
            &SettingsController::saveDefaultAndUser);
    auto* mainMenu = new QPushButton(QStringLiteral("Main Menu"), this);
    buttonRow->addWidget(mainMenu);
    connect(mainMenu, &QPushButton::clicked, &controller_, &SettingsController::mainMenu);
    top->addLayout(buttonRow);

    top->addStretch(1);
    error_ = new QLabel(this);
    error_->setStyleSheet(
        QStringLiteral("QLabel { background: red; color: white; padding: 4px; }"));
    error_->hide();
    top->addWidget(error_);

    auto* status = new QStatusBar(this);
    status->setSizeGripEnabled(false);
    const int widths[6] = {120, 100, 100, 100, 100, 100};
    for (int i = 0; i < 6; ++i) {
        panels_[i] = new QLabel(status);
        panels_[i]->setMinimumWidth(widths[i]);
        status->addWidget(panels_[i]);
    }
    top->addWidget(status);
}

void TForm4::render() {
    const SettingsController& c = controller_;
    for (auto& [f, edit] : fields_) {
        if (edit->text() != c.fieldText(f)) {
            const QSignalBlocker block(edit);
            edit->setText(c.fieldText(f));
        }
    }
    auto showStepper = [](StepperSpinBox* box, const QString& text, int lo, int hi) {
        const QSignalBlocker block(box);
        const int v = text.trimmed().toInt();
        // A value outside the stepper's range is shown as it is, not clamped.
        box->setRange(std::min(lo, v), std::max(hi, v));
        box->setValue(v);
    };
    showStepper(coarse_, c.fieldText(Field::ContrastCoarse), SettingsController::kCoarseMin,
                SettingsController::kCoarseMax);
    showStepper(fine_, c.fieldText(Field::ContrastFine), SettingsController::kFineMin,
                SettingsController::kFineMax);
    for (auto& [o, b] : options_)
        b->setText(c.optionCaption(o));
    for (int i = 0; i < 3; ++i) {
        const QSignalBlocker block(doseItems_[i]);
        doseItems_[i]->setChecked(c.doseUnitItem() == i);
    }
    configuration_->setTitle(c.groupCaption());
    configuration_->setStyleSheet(c.groupCaptionRed()
                                      ? QStringLiteral("QGroupBox::title { color: red; }")
                                      : QStringLiteral("QGroupBox::title { color: black; }"));
    configuration_->setEnabled(c.groupEnabled());
    for (auto& [b, button] : buttons_)
        button->setEnabled(c.buttonEnabled(b));
    error_->setText(c.errorText());
    error_->setVisible(c.errorVisible());
    panels_[0]->setText(c.statusText());
}

void TForm4::showValidationMessage(const QString& text) {
    QMessageBox::information(this, QStringLiteral("MESSAGE"), text);
}

}  // namespace prm
