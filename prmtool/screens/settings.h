#pragma once

#include <QDateTime>
#include <QObject>
#include <QTimer>
#include <functional>

#include "link.h"
#include "settings_block.h"

namespace prm {

// The settings editor without its window: reads the monitor's default or user settings,
// keeps the field texts and button states the window shows, validates every change, sends
// the live contrast and writes the user settings with the PC clock.
class SettingsController : public QObject {
    Q_OBJECT
  public:
    enum class Button { DisplayDefault, DisplayUser, SaveUser, SaveDefaultUser };
    enum class Option { Vibrator, Buzzer, Backlight, KeyBeep };

    // First check of each command (Timer1), and the re-checks after an accepted echo.
    static constexpr int kReadDefaultCheckMs = 200;
    static constexpr int kReadUserCheckMs = 500;
    static constexpr int kWriteCheckMs = 200;
    static constexpr int kBlockRecheckMs = 3000;  // read echo accepted, block not complete
    static constexpr int kWriteStatusCheckMs = 2000;
    static constexpr int kClockTickMs = 1000;  // Timer2

    // Contrast stepper limits.
    static constexpr int kCoarseMin = 4, kCoarseMax = 6;
    static constexpr int kFineMin = 22, kFineMax = 42;

    explicit SettingsController(Link& link, QObject* parent = nullptr);
    ~SettingsController() override;

    // What the window shows.
    QString fieldText(Field f) const { return at(texts_, f); }
    bool option(Option o) const { return options_[static_cast<int>(o)]; }
    QString optionCaption(Option o) const;
    int doseUnitItem() const { return doseItem_; }
    QString groupCaption() const { return groupCaption_; }
    bool groupCaptionRed() const { return groupCaptionRed_; }
    bool groupEnabled() const { return groupEnabled_; }
    bool buttonEnabled(Button b) const { return buttons_[static_cast<int>(b)]; }
    bool errorVisible() const { return errorVisible_; }
    QString errorText() const { return errorText_; }
    QString statusText() const { return statusText_; }
    bool modified() const { return modified_; }
    bool clockFollowsPc() const { return clockFollowsPc_; }
    // The bytes of the last write block sent.
    const std::array<uint8_t, kSettingsWriteBlockSize>& lastWriteBlock() const {
        return lastWriteBlock_;
    }

    // The PC clock (replaceable in tests).
    void setPcClock(std::function<QDateTime()> clock) { pcClock_ = std::move(clock); }

    // Activation: buttons reset, Timer2 started, activeScreen 3, then "Display User
    // Settings" unless the caller only wants the screen ready.
    void activate(bool readUserSettings = true);
    void displayDefaultSettings();
    void displayUserSettings();
    void saveUserSettings();
    void saveDefaultAndUser();  // the hidden "Save as Deafault/User"
    // A change of a field's text (typed or set by the program): validated on the spot,
    // except an emptied field, which the user may be retyping.
    void setFieldText(Field f, const QString& text);
    // The user leaves a field: an empty one is judged now (its default, with the message).
    void leaveField(Field f);
    void toggleOption(Option o);
    void chooseDoseUnit(int item);
    // The steppers: the value now shown after a click.
    void stepContrastCoarse(int shown);
    void stepContrastFine(int shown);
    void setDateTime();
    void mainMenu();

    // Timer1Timer: the reply handler (also called by the data-in worker).
    void replyHandler();
    // Timer2Timer: the clock tick.
    void clockTick();

  signals:
    void changed();
    // A refused entry: the window shows it in the "MESSAGE" box.
    void validationMessage(const QString& text);
    // A read block applied (defaults true after "X").
    void settingsRead(bool defaults);
    // The monitor confirmed a write ("K" or "Q").
    void settingsWritten();
    // An error text shown in the red label.
    void errorShown(const QString& text);
    void closeRequested();

  private:
    void startCommand(int32_t commandCode, char commandByte, int firstCheckMs);
    void applyReadBlock(bool defaults);
    void sendWriteBlock();
    void finishWrite(bool both);
    void showError(const QString& text);
    // Validates a field's text; a refused one gets its default after the message.
    bool judgeField(Field f);
    // Before a write: fields left empty take their defaults, each with its message.
    void judgeEmptyFields();
    void setButton(Button b, bool on) { buttons_[static_cast<int>(b)] = on; }
    uint8_t flagsForWrite() const;

    Link& link_;
    QTimer timer1_;
    QTimer timer2_;
    std::function<QDateTime()> pcClock_ = [] { return QDateTime::currentDateTime(); };

    FieldTexts texts_;
    bool options_[4] = {};
    int doseItem_ = kDoseItemSv;
    QString groupCaption_ = QStringLiteral("Configuration");
    bool groupCaptionRed_ = false;
    bool groupEnabled_ = false;
    bool buttons_[4] = {true, true, false, false};
    bool errorVisible_ = false;
    QString errorText_;
    QString statusText_;
    bool modified_ = false;
    bool clockFollowsPc_ = false;
    // The write block goes out once per accepted echo; a status byte that never comes is
    // a failed write, not a reason to send the block again.
    bool writeBlockSent_ = false;
    uint8_t storedCoarse_ = 0;
    std::array<uint8_t, kSettingsWriteBlockSize> lastWriteBlock_{};
};

}  // namespace prm
