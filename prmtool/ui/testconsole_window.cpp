#include "testconsole_window.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace prm {

using Button = TestConsoleController::Button;

namespace {
constexpr QSize kPictureSize(300, 162);

QString background(TestConsoleController::KeyColour c) {
    switch (c) {
        case TestConsoleController::KeyColour::White:
            return QStringLiteral("background: white;");
        case TestConsoleController::KeyColour::Green:
            return QStringLiteral("background: lime;");
        case TestConsoleController::KeyColour::Yellow:
            return QStringLiteral("background: yellow;");
        case TestConsoleController::KeyColour::Magenta:
            return QStringLiteral("background: magenta;");
        case TestConsoleController::KeyColour::None:
            break;
    }
    return {};
}
}  // namespace

PictureLabel::PictureLabel(QWidget* parent) : QLabel(parent) {
    setMouseTracking(true);
    setCursor(Qt::CrossCursor);
}

void PictureLabel::mouseMoveEvent(QMouseEvent* e) {
    emit mouseMoved(e->position().toPoint().x(), e->position().toPoint().y());
}

void PictureLabel::mousePressEvent(QMouseEvent* e) {
    emit clicked(e->position().toPoint().x(), e->position().toPoint().y());
}

void ClickableLineEdit::mousePressEvent(QMouseEvent* e) {
    QLineEdit::mousePressEvent(e);
    emit clicked();
}

TForm2::TForm2(Link& link, QWidget* parent) : QDialog(parent), controller_(link) {
    setWindowTitle(QStringLiteral("HW Tests"));
    setWindowState(windowState() | Qt::WindowMaximized);
    auto* top = new QVBoxLayout(this);

    auto* upper = new QHBoxLayout;
    log_ = new QPlainTextEdit(this);
    log_->setReadOnly(true);
    log_->setMinimumSize(473, 169);
    log_->setLineWrapMode(QPlainTextEdit::NoWrap);
    QFont mono(QStringLiteral("Courier New"));
    mono.setStyleHint(QFont::TypeWriter);
    log_->setFont(mono);
    upper->addWidget(log_, 1);
    auto* pictureColumn = new QVBoxLayout;
    auto* readoutRow = new QHBoxLayout;
    for (auto& r : readouts_) {
        r = new QLabel(this);
        readoutRow->addWidget(r);
    }
    pictureColumn->addLayout(readoutRow);
    picture_ = new PictureLabel(this);
    picture_->setFixedSize(kPictureSize);
    connect(picture_, &PictureLabel::mouseMoved, &controller_,
            &TestConsoleController::mouseOverPicture);
    connect(picture_, &PictureLabel::clicked, &controller_, &TestConsoleController::clickPicture);
    pictureColumn->addWidget(picture_);
    yScale_ = new QLabel(this);
    pictureColumn->addWidget(yScale_);
    upper->addLayout(pictureColumn);
    top->addLayout(upper);

    auto* tests = new QGroupBox(QStringLiteral("Tests"), this);
    auto* grid = new QGridLayout(tests);
    for (int i = 0; i < TestConsoleController::kButtonCount; ++i) {
        buttons_[i] = new QPushButton(tests);
        connect(buttons_[i], &QPushButton::clicked, this,
                [this, i] { controller_.click(static_cast<Button>(i)); });
    }
    // Left column: the simple tests; middle: DAC, counters, clock, LCD and memories.
    const Button left[] = {Button::Uart,        Button::Buzzer,     Button::Vibrator,
                           Button::GammaLed,    Button::NeutronLed, Button::Mode,
                           Button::Temperature, Button::Battery};
    const Button middle[] = {Button::Dac,    Button::Counters, Button::ReadRtc, Button::Lcd,
                             Button::Status, Button::Ram,      Button::Eeprom};
    for (int r = 0; r < 8; ++r)
        grid->addWidget(buttons_[static_cast<int>(left[r])], r, 0);
    for (int r = 0; r < 7; ++r)
        grid->addWidget(buttons_[static_cast<int>(middle[r])], r, 1);
    for (int i = 0; i < TestConsoleController::kButtonCount; ++i) {
        buttons_[i]->setVisible(controller_.buttonVisible(static_cast<Button>(i)));
    }

    singleRepeat_ = new QPushButton(tests);
    singleRepeat_->setStyleSheet(QStringLiteral("color: red; font-weight: bold;"));
    connect(singleRepeat_, &QPushButton::clicked, &controller_,
            &TestConsoleController::toggleSingleRepeat);
    grid->addWidget(singleRepeat_, 7, 1);

    // DACs.
    grid->addWidget(new QLabel(QStringLiteral("DAC0"), tests), 0, 2);
    grid->addWidget(new QLabel(QStringLiteral("DAC1"), tests), 0, 3);
    for (int i = 0; i < 2; ++i) {
        dac_[i] = new QLineEdit(tests);
        grid->addWidget(dac_[i], 1, 2 + i);
        connect(dac_[i], &QLineEdit::textEdited, this,
                [this, i](const QString& t) { controller_.setDacText(i, t); });
    }
    dacUnit_ = new QPushButton(tests);
    connect(dacUnit_, &QPushButton::clicked, &controller_, &TestConsoleController::cycleDacUnits);
    grid->addWidget(dacUnit_, 1, 4);

    // LCD.
    grid->addWidget(new QLabel(QStringLiteral("RATIO"), tests), 2, 2);
    grid->addWidget(new QLabel(QStringLiteral("CONTRAST"), tests), 2, 3);
    grid->addWidget(new QLabel(QStringLiteral("TEMP"), tests), 2, 4);
    ratio_ = new StepperSpinBox(tests);
    ratio_->setRange(4, 6);
    contrast_ = new StepperSpinBox(tests);
    contrast_->setRange(22, 42);
    // Read-only fields with arrows: each step is sent to the monitor as it is made.
    ratio_->setTypingAllowed(false);
    contrast_->setTypingAllowed(false);
    lcdTemp_ = new QLineEdit(tests);
    lcdTemp_->setEnabled(false);
    grid->addWidget(ratio_, 3, 2);
    grid->addWidget(contrast_, 3, 3);
    grid->addWidget(lcdTemp_, 3, 4);
    connect(ratio_, &StepperSpinBox::stepped, &controller_, &TestConsoleController::stepRatio);
    connect(contrast_, &StepperSpinBox::stepped, &controller_,
            &TestConsoleController::stepContrast);
    backlite_ = new QPushButton(tests);
    connect(backlite_, &QPushButton::clicked, &controller_, &TestConsoleController::toggleBacklite);
    grid->addWidget(backlite_, 3, 5);

    // Clock, results, counters.
    clock_ = new ClickableLineEdit(tests);
    connect(clock_, &ClickableLineEdit::clicked, &controller_,
            &TestConsoleController::clickClockEdit);
    connect(clock_, &QLineEdit::textEdited, &controller_, &TestConsoleController::setClockText);
    grid->addWidget(clock_, 4, 2, 1, 2);
    grid->addWidget(buttons_[static_cast<int>(Button::SendRtc)], 4, 4);
    temperature_ = new QLineEdit(tests);
    temperature_->setReadOnly(true);
    battery_ = new QLineEdit(tests);
    battery_->setReadOnly(true);
    grid->addWidget(temperature_, 5, 2, 1, 2);
    grid->addWidget(battery_, 6, 2, 1, 2);
    auto* counterRow = new QHBoxLayout;
    for (auto& label : counters_) {
        label = new QLabel(tests);
        counterRow->addWidget(label);
    }
    grid->addLayout(counterRow, 7, 2, 1, 3);
    echoCount_ = new QLabel(tests);
    grid->addWidget(echoCount_, 5, 4);
    keyLabel_ = new QLabel(tests);
    grid->addWidget(keyLabel_, 6, 4);

    // Recording.
    fileName_ = new QLineEdit(tests);
    connect(fileName_, &QLineEdit::textEdited, &controller_, &TestConsoleController::setFileName);
    recording_ = new QPushButton(tests);
    connect(recording_, &QPushButton::clicked, &controller_,
            &TestConsoleController::toggleRecording);
    grid->addWidget(fileName_, 8, 2, 1, 2);
    grid->addWidget(recording_, 8, 4);
    grid->addWidget(buttons_[static_cast<int>(Button::Record)], 8, 5);

    // Spectra.
    grid->addWidget(buttons_[static_cast<int>(Button::Spectrum)], 0, 6);
    grid->addWidget(buttons_[static_cast<int>(Button::SpecAdc)], 1, 6);
    gamma_ = new QPushButton(tests);
    connect(gamma_, &QPushButton::clicked, &controller_, &TestConsoleController::toggleGamma);
    grid->addWidget(gamma_, 2, 6);
    grid->addWidget(new QLabel(QStringLiteral("Time [sec]"), tests), 3, 6);
    time_ = new QLineEdit(tests);
    connect(time_, &QLineEdit::textEdited, &controller_, &TestConsoleController::setTimeText);
    grid->addWidget(time_, 4, 6);
    auto* offline = new QGroupBox(QStringLiteral("OFF-LINE Utilities"), tests);
    auto* offlineGrid = new QGridLayout(offline);
    offlineGrid->addWidget(buttons_[static_cast<int>(Button::NSpectrum)], 0, 0);
    offlineGrid->addWidget(buttons_[static_cast<int>(Button::GetSpectrum)], 0, 1);
    offlineGrid->addWidget(buttons_[static_cast<int>(Button::NHistogram)], 1, 0);
    offlineGrid->addWidget(buttons_[static_cast<int>(Button::GetHistogram)], 1, 1);
    grid->addWidget(offline, 5, 6, 3, 1);

    auto* mainMenu = new QPushButton(QStringLiteral("Main Menu"), tests);
    connect(mainMenu, &QPushButton::clicked, &controller_, &TestConsoleController::mainMenu);
    grid->addWidget(mainMenu, 8, 0);
    top->addWidget(tests);
    top->addStretch(1);

    controller_.setEepromConfirmation([this] { return confirmEeprom(); });
    connect(&controller_, &TestConsoleController::changed, this, &TForm2::render);
    connect(&controller_.log(), &ScreenLog::changed, this, &TForm2::render);
    connect(&controller_, &TestConsoleController::closeRequested, this, &QDialog::accept);
    render();
}

void TForm2::reject() {
    controller_.closeConsole();
    QDialog::reject();
}

void TForm2::showEvent(QShowEvent* e) {
    QDialog::showEvent(e);
    if (activated_) return;
    activated_ = true;
    controller_.activate();
    buttons_[static_cast<int>(Button::Uart)]->setFocus();
}

bool TForm2::confirmEeprom() {
    render();  // the caption turns red while the question is asked
    return QMessageBox::question(
               this, QStringLiteral("This test will DELETE Alarm/Dose records from EEPROM"),
               QStringLiteral("Want you really execute this test ?"),
               QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes;
}

void TForm2::render() {
    const TestConsoleController& c = controller_;
    for (int i = 0; i < TestConsoleController::kButtonCount; ++i) {
        const auto b = static_cast<Button>(i);
        buttons_[i]->setText(c.buttonCaption(b));
        buttons_[i]->setEnabled(c.buttonEnabled(b));
        buttons_[i]->setStyleSheet(c.buttonCaptionRed(b) ? QStringLiteral("color: red;")
                                                         : QString());
    }
    picture_->setPixmap(QPixmap::fromImage(c.plot().image()));
    for (int i = 0; i < 2; ++i) {
        readouts_[i]->setText(c.readout(i));
        readouts_[i]->setStyleSheet(
            QStringLiteral("background: %1;").arg(c.plot().background().name()));
    }
    yScale_->setText(c.yScaleLabel());
    yScale_->setStyleSheet(c.yScaleLabelWhite() ? QStringLiteral("background: white;") : QString());
    gamma_->setText(c.gammaCaption());
    if (time_->text() != c.timeText()) time_->setText(c.timeText());
    singleRepeat_->setText(c.singleRepeatCaption());
    singleRepeat_->setEnabled(c.singleRepeatEnabled());
    for (int i = 0; i < 2; ++i) {
        if (dac_[i]->text() != c.dacText(i)) dac_[i]->setText(c.dacText(i));
        dac_[i]->setEnabled(c.dacEditsEnabled());
    }
    dacUnit_->setText(c.dacUnitCaption());
    {
        const QSignalBlocker a(ratio_);
        const QSignalBlocker b(contrast_);
        ratio_->setValue(c.ratioText().toInt());
        contrast_->setValue(c.contrastText().toInt());
    }
    ratio_->setEnabled(c.lcdControlsEnabled());
    contrast_->setEnabled(c.lcdControlsEnabled());
    backlite_->setEnabled(c.lcdControlsEnabled());
    backlite_->setText(c.backliteCaption());
    lcdTemp_->setText(c.lcdTemperatureText());
    if (clock_->text() != c.clockText()) clock_->setText(c.clockText());
    temperature_->setText(c.temperatureText());
    battery_->setText(c.batteryText());
    for (int i = 0; i < 4; ++i)
        counters_[i]->setText(c.counterLabel(i));
    echoCount_->setText(c.echoCountText());
    echoCount_->setStyleSheet(c.echoCountHighlighted() ? QStringLiteral("background: white;")
                                                       : QString());
    keyLabel_->setText(c.keyLabel());
    keyLabel_->setStyleSheet(background(c.keyColour()));
    if (fileName_->text() != c.fileName()) fileName_->setText(c.fileName());
    recording_->setText(c.recordingCaption());
    recording_->setEnabled(c.recordingSwitchEnabled());
    const QString text = c.log().lines().join('\n');
    if (log_->toPlainText() != text) {
        log_->setPlainText(text);
        log_->moveCursor(QTextCursor::End);
    }
}

}  // namespace prm
