#include "settings.h"

#include "formats.h"

namespace prm {

namespace {
constexpr uint8_t kWriteAccepted = 0xAA;  // status byte of a write the monitor took
constexpr char kContrastCoarseCommand = 'r';
constexpr char kContrastFineCommand = 'c';
}  // namespace

SettingsController::SettingsController(Link& link, QObject* parent) : QObject(parent), link_(link) {
    at(texts_, Field::ContrastCoarse) = QString::number(kCoarseMin);
    at(texts_, Field::ContrastFine) = QString::number(kFineMin);
    at(texts_, Field::Clock) = QStringLiteral("yy/mm/dd hh:mm:ss");

    timer1_.setSingleShot(true);
    connect(&timer1_, &QTimer::timeout, this,
            [this] { link_.runReplyHandlerFromTimer(ReplyOwner::Settings); });
    timer2_.setInterval(kClockTickMs);
    connect(&timer2_, &QTimer::timeout, this, &SettingsController::clockTick);

    auto guard = link_.lock();
    link_.state().settingsLoaded = true;
    link_.setReplyHandler(ReplyOwner::Settings, [this] { replyHandler(); });
}

SettingsController::~SettingsController() {
    link_.setReplyHandler(ReplyOwner::Settings, nullptr);
}

QString SettingsController::optionCaption(Option o) const {
    const bool on = option(o);
    switch (o) {
        case Option::Vibrator:
        case Option::Buzzer:
            return on ? QStringLiteral("ON") : QStringLiteral("OFF");
        case Option::Backlight:
            return on ? QStringLiteral("BackliteON") : QStringLiteral("BackliteOFF");
        case Option::KeyBeep:
            return on ? QStringLiteral("Beep ON") : QStringLiteral("Beep OFF");
    }
    return {};
}

void SettingsController::activate(bool readUserSettings) {
    groupEnabled_ = false;
    setButton(Button::DisplayDefault, true);
    setButton(Button::DisplayUser, true);
    setButton(Button::SaveUser, false);
    setButton(Button::SaveDefaultUser, false);
    timer2_.start();
    modified_ = false;
    clockFollowsPc_ = false;
    {
        auto guard = link_.lock();
        link_.state().activeScreen = kScreenSettings;
    }
    emit changed();
    if (readUserSettings) displayUserSettings();
}

void SettingsController::startCommand(int32_t commandCode, char commandByte, int firstCheckMs) {
    clockFollowsPc_ = false;
    writeBlockSent_ = false;
    link_.beginCommand(commandCode, std::string(1, commandByte));
    timer1_.start(firstCheckMs);
    // Without a port nothing goes out: the missing echo is reported at once.
    if (!link_.writeCommand()) {
        auto guard = link_.lock();
        replyHandler();
    }
    emit changed();
}

void SettingsController::displayDefaultSettings() {
    setButton(Button::DisplayDefault, false);
    startCommand(code::kReadDefault, 'X', kReadDefaultCheckMs);
}

void SettingsController::displayUserSettings() {
    setButton(Button::DisplayUser, false);
    startCommand(code::kReadUser, 'J', kReadUserCheckMs);
}

void SettingsController::saveUserSettings() {
    judgeEmptyFields();
    setButton(Button::SaveUser, false);
    startCommand(code::kWriteUser, 'K', kWriteCheckMs);
}

void SettingsController::saveDefaultAndUser() {
    judgeEmptyFields();
    setButton(Button::SaveUser, false);
    setButton(Button::SaveDefaultUser, false);
    startCommand(code::kWriteDefaultAndUser, 'Q', kWriteCheckMs);
}

void SettingsController::showError(const QString& text) {
    errorText_ = text;
    errorVisible_ = true;
    emit changed();
    emit errorShown(text);
}

void SettingsController::replyHandler() {
    timer1_.stop();
    LinkState& s = link_.state();
    if (s.awaitingEcho) {
        setButton(Button::DisplayUser, true);
        showError(QStringLiteral("HM-210 doesn't echo"));
        return;
    }
    switch (s.replyCode) {
        case code::kWrongEcho:
        case code::kZEcho:  // a "Z" is a wrong echo here too, rather than a silent stall
            showError(QString::asprintf("Bad echo from HM-210 = %d, %c",
                                        static_cast<int8_t>(s.lastEchoByte), s.lastEchoByte));
            return;
        case code::kReadDefault:
        case code::kReadUser:
            if (s.activeScreen == kScreenTestConsole) {
                link_.addLogLine(QString());
                link_.addLogLine(QStringLiteral("Read User Settings from HM-210"));
            }
            timer1_.start(kBlockRecheckMs);
            return;
        case code::kWriteDefaultAndUser:
        case code::kWriteUser:
            if (!writeBlockSent_) {
                sendWriteBlock();
                timer1_.start(kWriteStatusCheckMs);
            } else {
                // The echo came but the status byte did not.
                setButton(
                    s.replyCode == code::kWriteUser ? Button::SaveUser : Button::SaveDefaultUser,
                    true);
                showError(QStringLiteral("ERROR Write Settings"));
            }
            return;
        // A finished exchange ends the command, so that a stray byte afterwards is not
        // taken as more of the block (and does not refill the fields over the user's edits).
        case code::kReadDefault + code::kDataOffset:
        case code::kReadUser + code::kDataOffset: {
            const bool defaults = s.replyCode == code::kReadDefault + code::kDataOffset;
            link_.endCommand();
            applyReadBlock(defaults);
            return;
        }
        case code::kWriteDefaultAndUser + code::kDataOffset:
            link_.endCommand();
            finishWrite(true);
            return;
        case code::kWriteUser + code::kDataOffset:
            link_.endCommand();
            finishWrite(false);
            return;
        default:
            return;
    }
}

void SettingsController::applyReadBlock(bool defaults) {
    LinkState& s = link_.state();
    const uint8_t* block = s.replyData.data();
    // The re-check can find a block still incomplete; the bytes past receivedCount are left
    // over from an earlier reply and must not make it pass its check.
    const bool complete = s.receivedCount == kSettingsReadBlockSize;
    if (!complete || !readBlockValid(block)) {
        s.settingsLoaded = false;
        setButton(Button::DisplayUser, true);
        showError(QStringLiteral("ERROR Read Parameters"));
        return;
    }
    decodeReadBlock(block, s.settings);
    options_[static_cast<int>(Option::Vibrator)] = s.settings.vibratorOn;
    options_[static_cast<int>(Option::Buzzer)] = s.settings.buzzerOn;
    options_[static_cast<int>(Option::Backlight)] = s.settings.backlightOn;
    options_[static_cast<int>(Option::KeyBeep)] = s.settings.keyBeepOn;
    doseItem_ = doseUnitItemOf(block[0]);
    storedCoarse_ = s.settings.contrastCoarse;

    // Filling a field runs the same validation as typing into it.
    const FieldTexts texts = fieldTextsOf(block);
    for (int i = 0; i < kFieldCount; ++i)
        setFieldText(static_cast<Field>(i), texts[i]);

    if (defaults) {
        groupCaption_ = QStringLiteral("Default Settings");
        setButton(Button::SaveUser, true);
        setButton(Button::SaveDefaultUser, false);
    } else {
        groupCaption_ = QStringLiteral("User Settings");
        setButton(Button::SaveUser, false);
        setButton(Button::SaveDefaultUser, true);
        setButton(Button::DisplayDefault, true);
    }
    groupEnabled_ = true;
    errorVisible_ = false;
    modified_ = false;
    s.settingsLoaded = true;
    setButton(Button::DisplayUser, true);
    emit changed();
    emit settingsRead(defaults);
}

uint8_t SettingsController::flagsForWrite() const {
    uint8_t flags = 0;
    if (option(Option::Vibrator)) flags |= flag::kVibrator;
    if (option(Option::Buzzer)) flags |= flag::kBuzzer;
    if (option(Option::Backlight)) flags |= flag::kBacklight;
    if (option(Option::KeyBeep)) flags |= flag::kKeyBeep;
    switch (doseItem_) {
        case kDoseItemGy:
            return flags | kDoseUnitGy;
        case kDoseItemR:
            return flags | kDoseUnitR;
        default:
            return flags | kDoseUnitSv;
    }
}

void SettingsController::sendWriteBlock() {
    WriteInputs in;
    in.flags = flagsForWrite();
    in.texts = texts_;
    in.pcTime = pcClock_();
    lastWriteBlock_ = encodeWriteBlock(in);
    statusText_ = dateTimeText(in.pcTime);
    link_.port().writeBlock(lastWriteBlock_.data(), kSettingsWriteBlockSize);
    writeBlockSent_ = true;
    emit changed();
}

void SettingsController::finishWrite(bool both) {
    const bool accepted = link_.state().replyData[0] == kWriteAccepted;
    if (!accepted) {
        setButton(both ? Button::SaveDefaultUser : Button::SaveUser, true);
        showError(QStringLiteral("ERROR Write Settings"));
        return;
    }
    if (both) {
        groupCaption_ = QStringLiteral("Default/User Settings");
        setButton(Button::SaveUser, false);
        setButton(Button::SaveDefaultUser, false);
    } else {
        groupCaption_ = QStringLiteral("User Settings");
        setButton(Button::SaveUser, false);
        setButton(Button::DisplayDefault, true);
        setButton(Button::SaveDefaultUser, true);
    }
    modified_ = false;
    errorVisible_ = false;
    emit changed();
    emit settingsWritten();
}

void SettingsController::setFieldText(Field f, const QString& text) {
    if (at(texts_, f) == text) return;
    at(texts_, f) = text;
    modified_ = true;
    // A field emptied to be retyped is judged when the user leaves it or saves.
    if (!text.trimmed().isEmpty()) judgeField(f);
    emit changed();
}

void SettingsController::leaveField(Field f) {
    if (!judgeField(f)) emit changed();
}

bool SettingsController::judgeField(Field f) {
    if (fieldAccepts(f, at(texts_, f))) return true;
    const ValidationRule* rule = validationRuleOf(f);
    // The default is in place before the box comes up: the box takes the focus, which ends
    // the edit again, and that end must find nothing left to judge.
    at(texts_, f) = QString::fromLatin1(rule->defaultText);
    emit changed();
    emit validationMessage(QString::fromLatin1(rule->message));
    return false;
}

void SettingsController::judgeEmptyFields() {
    for (int i = 0; i < kFieldCount; ++i) {
        const auto f = static_cast<Field>(i);
        if (at(texts_, f).trimmed().isEmpty() && validationRuleOf(f)) judgeField(f);
    }
}

void SettingsController::toggleOption(Option o) {
    options_[static_cast<int>(o)] = !options_[static_cast<int>(o)];
    modified_ = true;
    emit changed();
}

void SettingsController::chooseDoseUnit(int item) {
    if (item < kDoseItemGy || item > kDoseItemSv) return;
    doseItem_ = item;
    {
        auto guard = link_.lock();
        UserSettings& u = link_.state().settings;
        u.doseGy = item == kDoseItemGy;
        u.doseR = item == kDoseItemR;
        u.doseSv = item == kDoseItemSv;
    }
    modified_ = true;
    emit changed();
}

void SettingsController::stepContrastCoarse(int shown) {
    at(texts_, Field::ContrastCoarse) = QString::number(shown);
    modified_ = true;
    if (shown != storedCoarse_) {
        storedCoarse_ = static_cast<uint8_t>(shown);
        {
            auto guard = link_.lock();
            link_.state().settings.contrastCoarse = storedCoarse_;
        }
        const char bytes[2] = {kContrastCoarseCommand, static_cast<char>(shown)};
        link_.port().writeBlock(bytes, 2);
    }
    emit changed();
}

void SettingsController::stepContrastFine(int shown) {
    at(texts_, Field::ContrastFine) = QString::number(shown);
    modified_ = true;
    {
        auto guard = link_.lock();
        link_.state().settings.contrastFine = static_cast<uint8_t>(shown);
    }
    const char bytes[2] = {kContrastFineCommand, static_cast<char>(shown)};
    link_.port().writeBlock(bytes, 2);
    emit changed();
}

void SettingsController::setDateTime() {
    at(texts_, Field::Clock) = clockText(pcClock_());
    clockFollowsPc_ = true;
    modified_ = true;
    emit changed();
}

void SettingsController::clockTick() {
    const QDateTime now = pcClock_();
    statusText_ = dateTimeText(now);
    if (clockFollowsPc_) at(texts_, Field::Clock) = clockText(now);
    if (modified_) {
        groupCaption_ = QStringLiteral("Settings Modified");
        groupCaptionRed_ = true;
        setButton(Button::SaveUser, true);
        setButton(Button::SaveDefaultUser, true);
    } else {
        groupCaptionRed_ = false;
    }
    emit changed();
}

void SettingsController::mainMenu() {
    timer1_.stop();
    timer2_.stop();
    emit closeRequested();
}

}  // namespace prm
