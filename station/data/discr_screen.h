// DiscrScreen: what the discriminator screen does, without widgets. It reads the unit's
// discriminator settings, lets the user change them and write them back or load the unit's
// defaults, and meanwhile polls the unit for the counts of every channel at most once a
// second: the latest count of each channel, every 30 polls its average and relative spread,
// and the counts of the selected channel for the running graph. The window renders what it
// holds and forwards the user's actions; tests drive it directly.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <array>
#include <cstdint>
#include <functional>

#include "discriminator.h"

namespace vm418 {

// The unit's discriminator commands; each answer carries the id with bit 15 cleared.
constexpr uint16_t CMD_DISCR_READ = 0xC030;      // answered by 0x4030 with the block
constexpr uint16_t CMD_DISCR_COUNTS = 0xC040;    // answered by 0x4040 with the counts record
constexpr uint16_t CMD_DISCR_WRITE = 0xC050;     // then the block raw; answered by 0x4050
constexpr uint16_t CMD_DISCR_LEAVE = 0xC060;     // answered by 0x4060
constexpr uint16_t CMD_DISCR_DEFAULTS = 0xC070;  // answered by 0x4070 with the block
constexpr uint16_t ANS_DISCR_READ = 0x4030;
constexpr uint16_t ANS_DISCR_COUNTS = 0x4040;
constexpr uint16_t ANS_DISCR_WRITTEN = 0x4050;
constexpr uint16_t ANS_DISCR_LEFT = 0x4060;
constexpr uint16_t ANS_DISCR_DEFAULTS = 0x4070;
constexpr uint16_t kNoPendingCommand = 0xFFFF;
constexpr int kDiscrRawDelayMs = 300;            // the raw block follows 0xC050 after this pause
constexpr uint32_t kDiscrPollIntervalMs = 1000;  // at most one counts poll in this time

class DiscrScreen : public QObject {
  public:
    // How the screen reaches the unit and the clock.
    struct Link {
        std::function<int(uint16_t command)> send;      // a command awaiting its answer
        std::function<int(const QByteArray&)> sendRaw;  // the settings block after 0xC050
        // Copies the "Stop MONI" lamp to the document when the user closes the screen.
        std::function<void(bool)> setMonitoringStopped;
        std::function<uint32_t()> tick;  // milliseconds; a steady clock if empty
        std::function<void(int, std::function<void()>)> after;  // a timer of this object if empty
    };

    // What one channel's group shows.
    struct Channel {
        std::array<int, kDiscrSettings> settings{};
        bool enabled = false;
        QString count, average, spread;
    };

    DiscrScreen(Link link, bool monitoringStopped, QObject* parent = nullptr);

    // The document asks for the settings once the unit has stopped monitoring: until they
    // come the buttons wait, so that neither a second request nor a "Close" that would leave
    // that request unanswered goes out.
    void AwaitSettings();

    // The user's actions.
    void Read();
    void Update();
    void Default();
    void Close();
    void SetSetting(int channel, int which, int value);  // an edit box changed
    void SelectChannel(int index);                       // "View Xtal"; out of range: A1
    // The window's 50 ms timer.
    void OnTimer();

    // What the document hands over while the screen is open.
    void OnFrame(uint16_t command, const uint8_t* data, size_t length);
    void OnStatus(uint16_t command, uint16_t status);

    // What the screen shows.
    std::array<Channel, kDiscrChannels> channels;
    bool buttonsEnabled = true;  // "Read", "Default", "Update", "Close"; "Wait" is lit while not
    bool errorLamp = false;
    bool stopMoniLamp = false;
    std::array<bool, 4> statusLamps{};  // bits 15 and 14 of S1, then of S2
    int dial = 0;                       // the position in the 30-sample cycle
    QString message;                    // the last refused answer, or empty
    bool closed = false;
    bool UpdateVisible() const { return modified; }
    bool WaitLamp() const { return !buttonsEnabled; }

    // The window hears of changes here.
    std::function<void()> changed;
    std::function<void(double)> graphAppend;  // the selected channel's count of each poll
    std::function<void()> graphCleared;       // another channel was selected
    std::function<void()> closeNow;           // the screen is done: the window closes

    // The screen's state.
    int sampleIndex = -1;  // -1 while not polling, else the slot of the next count
    uint16_t pendingCommand = kNoPendingCommand;  // sent at the next counts answer
    bool pollDue = false;
    // Counts are polled: from the first 0xC040 after the settings until the screen is left
    // or a poll fails. A request made meanwhile waits for the next counts answer (sent at
    // once, a command could cross the poll's answer on the line).
    bool polling = false;
    uint32_t lastPollTick = 0;
    bool modified = false;
    int selectedChannel = 0;
    std::array<std::array<uint32_t, kStatisticsSamples>, kDiscrChannels> samples{};

  private:
    uint32_t Now() const;
    void Send(uint16_t command);
    void Poll();
    // A command the user asked for: at the next counts answer while polling, else at once.
    void Request(uint16_t command);
    void SendPending(uint16_t command);
    void SettingsArrived(const uint8_t* data, size_t length);
    void CountsArrived(const uint8_t* data, size_t length);
    void Statistics();
    void Finish();
    void Changed();

    Link link_;
};

}  // namespace vm418
