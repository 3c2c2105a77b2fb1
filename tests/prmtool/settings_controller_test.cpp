// The settings editor's controller against a scripted monitor on a pseudo-terminal:
// what goes on the wire, and the fields, captions, buttons and texts the window shows.

#include <gtest/gtest.h>

#include "pty_peer.h"
#include "qt_wait.h"
#include "settings.h"
#include "settings_golden.h"

namespace prm {
namespace {

using Button = SettingsController::Button;

class SettingsEditor : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(peer.ok());
        link.port().setDevice(peer.device());
        ASSERT_TRUE(link.port().open());
        link.ensureWorker();
        ctl.setPcClock([] { return QDateTime(QDate(2026, 12, 8), QTime(21, 30, 5)); });
        QObject::connect(&ctl, &SettingsController::errorShown,
                         [this](const QString& t) { errors << t; });
        QObject::connect(&ctl, &SettingsController::validationMessage,
                         [this](const QString& t) { messages << t; });
        QObject::connect(&ctl, &SettingsController::settingsRead, [this] { ++reads; });
        QObject::connect(&ctl, &SettingsController::settingsWritten, [this] { ++writes; });
    }

    // Activation and a good user block.
    void readUserSettings() {
        ctl.activate();
        ASSERT_EQ(peer.take(1), "J");
        peer.send(echoed(goldenUserBlock()));
        ASSERT_TRUE(waitUntil([&] { return reads == 1; }));
    }

    std::array<bool, 4> buttons() const {
        return {ctl.buttonEnabled(Button::DisplayDefault), ctl.buttonEnabled(Button::DisplayUser),
                ctl.buttonEnabled(Button::SaveUser), ctl.buttonEnabled(Button::SaveDefaultUser)};
    }

    PtyPeer peer;
    Link link;
    SettingsController ctl{link};
    QStringList errors;
    QStringList messages;
    int reads = 0;
    int writes = 0;
};

using States = std::array<bool, 4>;  // Display Default, Display User, Save User, hidden

TEST_F(SettingsEditor, ActivationReadsAndShowsTheUserBlock) {
    ctl.activate();
    EXPECT_EQ(buttons(), (States{true, false, false, false}));
    EXPECT_FALSE(ctl.groupEnabled());
    ASSERT_EQ(peer.take(1), "J");
    peer.send(echoed(goldenUserBlock()));
    ASSERT_TRUE(waitUntil([&] { return reads == 1; }));

    EXPECT_EQ(ctl.groupCaption(), "User Settings");
    EXPECT_EQ(buttons(), (States{true, true, false, true}));
    EXPECT_TRUE(ctl.groupEnabled());
    EXPECT_FALSE(ctl.modified());
    EXPECT_FALSE(ctl.errorVisible());
    EXPECT_EQ(ctl.fieldText(Field::GammaDiscr), "1780");
    EXPECT_EQ(ctl.fieldText(Field::GammaAlarm), " 5.0");
    EXPECT_EQ(ctl.fieldText(Field::Clock), " 26-12-08  21:30:05");
    EXPECT_EQ(ctl.optionCaption(SettingsController::Option::Backlight), "BackliteOFF");
    EXPECT_EQ(ctl.optionCaption(SettingsController::Option::KeyBeep), "Beep ON");
    EXPECT_EQ(ctl.doseUnitItem(), kDoseItemSv);
    EXPECT_TRUE(messages.isEmpty());
    auto guard = link.lock();
    EXPECT_TRUE(link.state().settingsLoaded);
    EXPECT_EQ(link.state().activeScreen, kScreenSettings);
    EXPECT_EQ(link.state().settings.neutronDiscriminator, 1684);
    EXPECT_EQ(link.state().settings.serialNumber, "3200");
}

TEST_F(SettingsEditor, DefaultBlockOffersSaveUser) {
    readUserSettings();
    ctl.displayDefaultSettings();
    EXPECT_FALSE(ctl.buttonEnabled(Button::DisplayDefault));
    ASSERT_EQ(peer.take(1), "X");
    peer.send(echoed(goldenUserBlock()));
    ASSERT_TRUE(waitUntil([&] { return reads == 2; }));
    EXPECT_EQ(ctl.groupCaption(), "Default Settings");
    EXPECT_EQ(buttons(), (States{false, true, true, false}));
}

TEST_F(SettingsEditor, BadCheckByteChangesNoField) {
    readUserSettings();
    ctl.setFieldText(Field::GammaDiscr, "1500");
    QByteArray bad = goldenUserBlock();
    bad[4] = char(0x01);  // another discriminator, check byte not fixed
    ctl.displayUserSettings();
    ASSERT_EQ(peer.take(1), "J");
    peer.send(echoed(bad));
    ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }));
    EXPECT_EQ(errors, QStringList{"ERROR Read Parameters"});
    EXPECT_EQ(ctl.fieldText(Field::GammaDiscr), "1500");
    EXPECT_EQ(ctl.groupCaption(), "User Settings");
    EXPECT_TRUE(ctl.buttonEnabled(Button::DisplayUser));
    EXPECT_TRUE(ctl.errorVisible());
    auto guard = link.lock();
    EXPECT_FALSE(link.state().settingsLoaded);
}

TEST_F(SettingsEditor, BadBlockOnActivationLeavesTheGroupDisabled) {
    ctl.activate();
    peer.take(1);
    QByteArray bad = goldenUserBlock();
    bad[30] = char(bad[30] ^ 0x5A);
    peer.send(echoed(bad));
    ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }));
    EXPECT_FALSE(ctl.groupEnabled());
    EXPECT_EQ(ctl.fieldText(Field::GammaDiscr), "");
}

TEST_F(SettingsEditor, ShortBlockFailsItsCheckAtTheRecheck) {
    readUserSettings();  // leaves a good block in the reply area
    ctl.displayUserSettings();
    peer.take(1);
    peer.send(echoed(goldenUserBlock().left(20)));
    ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }, 6000));
    EXPECT_EQ(errors, QStringList{"ERROR Read Parameters"});
    EXPECT_EQ(reads, 1);
}

TEST_F(SettingsEditor, NoEchoEnablesDisplayUser) {
    ctl.activate();
    ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }));
    EXPECT_EQ(errors, QStringList{"HM-210 doesn't echo"});
    EXPECT_EQ(buttons(), (States{true, true, false, false}));
}

TEST_F(SettingsEditor, WrongEchoLeavesTheStartedButtonDisabled) {
    ctl.activate();
    peer.take(1);
    peer.send("?");
    ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }));
    EXPECT_EQ(errors, QStringList{"Bad echo from HM-210 = 63, ?"});
    EXPECT_FALSE(ctl.buttonEnabled(Button::DisplayUser));
}

TEST_F(SettingsEditor, WriteSendsTheBlockWithThePcClockAndConfirms) {
    readUserSettings();
    ctl.setFieldText(Field::GammaAlarm, "0.7");
    ctl.chooseDoseUnit(kDoseItemR);
    ctl.saveUserSettings();
    EXPECT_FALSE(ctl.buttonEnabled(Button::SaveUser));
    ASSERT_EQ(peer.take(1), "K");
    peer.send(QByteArray(1, char(0xAA)));
    const QByteArray block = peer.take(21);
    // R/hr, 0.7 sigma sent as 6, serial 3200 binary, the PC clock 26-12-08 21:30:05.
    const QByteArray golden = QByteArray::fromHex("2b051e19f406940606030a0a800c1a0c08151e05d0");
    EXPECT_EQ(block.toHex(), golden.toHex());
    EXPECT_EQ(ctl.statusText(), "08-12-26 21:30:05");
    peer.send(QByteArray(1, char(0xAA)));
    ASSERT_TRUE(waitUntil([&] { return writes == 1; }));
    EXPECT_EQ(ctl.groupCaption(), "User Settings");
    EXPECT_EQ(buttons(), (States{true, true, false, true}));
    EXPECT_FALSE(ctl.modified());
}

TEST_F(SettingsEditor, RefusedWriteOffersSaveAgain) {
    readUserSettings();
    ctl.saveUserSettings();
    peer.take(1);
    peer.send(QByteArray(1, char(0xAA)));
    peer.take(21);
    peer.send(QByteArray(1, char(0x55)));
    ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }));
    EXPECT_EQ(errors, QStringList{"ERROR Write Settings"});
    EXPECT_TRUE(ctl.buttonEnabled(Button::SaveUser));
}

// Without a status byte the block is not sent a second time to a monitor that no longer
// waits for it: its bytes would be taken as commands.
TEST_F(SettingsEditor, MissingWriteStatusIsAnErrorAndTheBlockGoesOutOnce) {
    readUserSettings();
    ctl.saveUserSettings();
    peer.take(1);
    peer.send(QByteArray(1, char(0xAA)));
    ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }, 6000));
    EXPECT_EQ(errors, QStringList{"ERROR Write Settings"});
    EXPECT_EQ(peer.received().size(), 21);
    EXPECT_TRUE(ctl.buttonEnabled(Button::SaveUser));
}

TEST_F(SettingsEditor, DefaultAndUserWriteConfirmedAndRefused) {
    readUserSettings();
    ctl.saveDefaultAndUser();
    EXPECT_EQ(buttons(), (States{true, true, false, false}));
    ASSERT_EQ(peer.take(1), "Q");
    peer.send(QByteArray(1, char(0xAA)));
    peer.take(21);
    peer.send(QByteArray(1, char(0xAA)));
    ASSERT_TRUE(waitUntil([&] { return writes == 1; }));
    EXPECT_EQ(ctl.groupCaption(), "Default/User Settings");
    EXPECT_EQ(buttons(), (States{true, true, false, false}));

    ctl.saveDefaultAndUser();
    peer.take(1);
    peer.send(QByteArray(1, char(0xAA)));
    peer.take(21);
    peer.send(QByteArray(1, char(0x00)));
    ASSERT_TRUE(waitUntil([&] { return !errors.isEmpty(); }));
    EXPECT_EQ(errors, QStringList{"ERROR Write Settings"});
    EXPECT_TRUE(ctl.buttonEnabled(Button::SaveDefaultUser));
}

TEST_F(SettingsEditor, TypingPastTheRangeShowsTheMessageAtTheFourthDigit) {
    readUserSettings();
    for (const char* text : {"5", "50", "500"}) {
        ctl.setFieldText(Field::NeutronDiscr, text);
        EXPECT_TRUE(messages.isEmpty()) << text;
    }
    ctl.setFieldText(Field::NeutronDiscr, "5000");
    EXPECT_EQ(messages, QStringList{"DEFAULT: Neutron Discr"});
    EXPECT_EQ(ctl.fieldText(Field::NeutronDiscr), "1684");
    EXPECT_TRUE(ctl.modified());

    ctl.setFieldText(Field::SerialNumber, "0");
    ctl.setFieldText(Field::SerialNumber, "10000");
    EXPECT_EQ(messages, (QStringList{"DEFAULT: Neutron Discr", "DEFAULT: Serial #"}));
    EXPECT_EQ(ctl.fieldText(Field::SerialNumber), "3200");

    // The keystroke that empties a field is the user retyping it: no message until the
    // user leaves the field, which then takes its default.
    ctl.setFieldText(Field::GammaAlarm, "");
    EXPECT_EQ(messages.size(), 2);
    EXPECT_EQ(ctl.fieldText(Field::GammaAlarm), "");
    ctl.setFieldText(Field::GammaAlarm, "7.5");
    ctl.leaveField(Field::GammaAlarm);
    EXPECT_EQ(messages.size(), 2);
    ctl.setFieldText(Field::GammaAlarm, "");
    ctl.leaveField(Field::GammaAlarm);
    EXPECT_EQ(messages.last(), "DEFAULT: Gamma Alarm");
    EXPECT_EQ(ctl.fieldText(Field::GammaAlarm), "5.0");
}

// A field still empty when the user saves takes its default, with its message, before the
// block is built: the monitor never gets a 0 the user did not type.
TEST_F(SettingsEditor, FieldLeftEmptyIsJudgedWhenSaved) {
    readUserSettings();
    ctl.setFieldText(Field::DangerGamma, "");
    ctl.setFieldText(Field::NeutronDiscr, " ");
    EXPECT_TRUE(messages.isEmpty());
    ctl.saveUserSettings();
    EXPECT_EQ(messages, (QStringList{"DEFAULT: Neutron Discr", "DEFAULT: Danger Gamma"}));
    ASSERT_EQ(peer.take(1), "K");
    peer.send(QByteArray(1, char(0xAA)));
    const QByteArray block = peer.take(21);
    ASSERT_EQ(block.size(), 21);
    EXPECT_EQ(uint8_t(block[6]) | (uint8_t(block[7]) << 8), 1684);
    EXPECT_EQ(uint8_t(block[10]), 10);
}

TEST_F(SettingsEditor, ClockTickShowsModifiedAndOffersBothSaves) {
    readUserSettings();
    ctl.clockTick();
    EXPECT_FALSE(ctl.groupCaptionRed());
    EXPECT_EQ(ctl.statusText(), "08-12-26 21:30:05");
    ctl.toggleOption(SettingsController::Option::Vibrator);
    EXPECT_EQ(ctl.optionCaption(SettingsController::Option::Vibrator), "OFF");
    ctl.clockTick();
    EXPECT_EQ(ctl.groupCaption(), "Settings Modified");
    EXPECT_TRUE(ctl.groupCaptionRed());
    EXPECT_EQ(buttons(), (States{true, true, true, true}));
}

TEST_F(SettingsEditor, ContrastSteppersSendLive) {
    readUserSettings();  // coarse 5 stored
    ctl.stepContrastCoarse(5);
    ctl.stepContrastCoarse(6);
    ctl.stepContrastFine(30);
    ctl.stepContrastFine(30);
    EXPECT_EQ(peer.take(6), QByteArray("r\x06"
                                       "c\x1e"
                                       "c\x1e",
                                       6));
    EXPECT_TRUE(ctl.modified());
    auto guard = link.lock();
    EXPECT_EQ(link.state().awaitingEcho, 0);  // live bytes expect no answer
}

TEST_F(SettingsEditor, SetDateTimeFollowsThePcClock) {
    readUserSettings();
    ctl.setDateTime();
    EXPECT_EQ(ctl.fieldText(Field::Clock), " 26-12-08  21:30:05");
    EXPECT_TRUE(ctl.clockFollowsPc());
    EXPECT_TRUE(ctl.modified());
    ctl.saveUserSettings();  // starting a command stops following the PC
    EXPECT_FALSE(ctl.clockFollowsPc());
}

TEST_F(SettingsEditor, ReadForTheTestConsoleLogsInItsLog) {
    ScreenLog consoleLog;
    {
        auto guard = link.lock();
        link.state().activeScreen = kScreenTestConsole;
        link.state().logBudget = kTestConsoleLogLines;
    }
    link.setActiveLog(&consoleLog);
    ctl.displayUserSettings();
    peer.take(1);
    peer.send(echoed(goldenUserBlock()));
    ASSERT_TRUE(waitUntil([&] { return reads == 1; }));
    EXPECT_EQ(consoleLog.lines(), (QStringList{"", "Read User Settings from HM-210"}));
}

TEST_F(SettingsEditor, StrayByteAfterTheBlockKeepsTheUsersEdits) {
    readUserSettings();
    ctl.setFieldText(Field::DangerGamma, "50");
    peer.send(QByteArray(1, char(0x33)));
    peer.send(QByteArray(1, char(0xAA)));
    QCoreApplication::processEvents();
    waitUntil([] { return false; }, 200);
    EXPECT_EQ(ctl.fieldText(Field::DangerGamma), "50");
    EXPECT_EQ(reads, 1);
}

}  // namespace
}  // namespace prm
