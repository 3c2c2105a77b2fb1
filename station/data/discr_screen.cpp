#include "discr_screen.h"

#include <QTimer>
#include <algorithm>
#include <chrono>

namespace vm418 {

DiscrScreen::DiscrScreen(Link link, bool monitoringStopped, QObject* parent)
    : QObject(parent), stopMoniLamp(monitoringStopped), link_(std::move(link)) {
    if (!link_.after)
        link_.after = [this](int ms, std::function<void()> fn) {
            QTimer::singleShot(ms, this, std::move(fn));
        };
}

uint32_t DiscrScreen::Now() const {
    if (link_.tick) return link_.tick();
    using namespace std::chrono;
    return static_cast<uint32_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void DiscrScreen::Send(uint16_t command) {
    if (link_.send) link_.send(command);
}

void DiscrScreen::Poll() {
    polling = true;
    Send(CMD_DISCR_COUNTS);
    lastPollTick = Now();
}

void DiscrScreen::Changed() {
    if (changed) changed();
}

// ---- the user's actions ----

void DiscrScreen::Request(uint16_t command) {
    buttonsEnabled = false;
    if (polling)
        pendingCommand = command;
    else
        SendPending(command);
    Changed();
}

void DiscrScreen::AwaitSettings() {
    buttonsEnabled = false;
    Changed();
}

void DiscrScreen::Read() {
    if (closed || !buttonsEnabled) return;
    Request(CMD_DISCR_READ);
}

void DiscrScreen::Update() {
    if (closed || !buttonsEnabled) return;
    Request(CMD_DISCR_WRITE);
}

// Not polling, the unit still answers 0xC070 with its defaults, so the buttons never stay
// disabled waiting for a counts answer that does not come.
void DiscrScreen::Default() {
    if (closed || !buttonsEnabled) return;
    Request(CMD_DISCR_DEFAULTS);
}

void DiscrScreen::Close() {
    if (closed || !buttonsEnabled) return;
    buttonsEnabled = false;
    if (link_.setMonitoringStopped) link_.setMonitoringStopped(stopMoniLamp);
    if (polling) {
        // The unit leaves the screen at the next counts answer; 0x4060 closes.
        pendingCommand = CMD_DISCR_LEAVE;
        Changed();
    } else {
        Finish();
    }
}

void DiscrScreen::SetSetting(int channel, int which, int value) {
    if (channel < 0 || channel >= kDiscrChannels || which < 0 || which >= kDiscrSettings) return;
    if (channels[channel].settings[which] == value) return;
    channels[channel].settings[which] = value;
    modified = true;
    Changed();
}

void DiscrScreen::SelectChannel(int index) {
    const int chosen = index >= 0 && index < kDiscrChannels ? index : 0;
    if (chosen != selectedChannel && graphCleared) graphCleared();
    selectedChannel = chosen;
    Changed();
}

void DiscrScreen::OnTimer() {
    if (closed || !pollDue) return;
    // Either direction: a clock that went back does not stop the polls.
    const auto since = static_cast<int32_t>(Now() - lastPollTick);
    if (since > static_cast<int32_t>(kDiscrPollIntervalMs) ||
        since < -static_cast<int32_t>(kDiscrPollIntervalMs)) {
        pollDue = false;
        Poll();
    }
}

// ---- the unit's answers ----

void DiscrScreen::OnFrame(uint16_t command, const uint8_t* data, size_t length) {
    if (closed) return;
    switch (command) {
        case ANS_DISCR_READ:
        case ANS_DISCR_DEFAULTS:
            SettingsArrived(data, length);
            break;
        case ANS_DISCR_COUNTS:
            CountsArrived(data, length);
            break;
        case ANS_DISCR_WRITTEN:
            stopMoniLamp = true;
            modified = false;
            Poll();
            buttonsEnabled = true;
            errorLamp = false;
            message.clear();
            break;
        case ANS_DISCR_LEFT:
            Finish();
            return;
        default:
            return;  // monitoring answers and raw text are not the screen's
    }
    Changed();
}

void DiscrScreen::SettingsArrived(const uint8_t* data, size_t length) {
    const auto settings = decodeDiscrBlock(data, length, &message);
    if (!settings) {
        // Nothing is shown of a short block and no counts are polled; "Read" asks again.
        errorLamp = true;
        sampleIndex = -1;
        pollDue = false;
        polling = false;
        buttonsEnabled = true;
        return;
    }
    for (int i = 0; i < kDiscrChannels; ++i) {
        channels[i].enabled = true;
        channels[i].settings = (*settings)[i];
    }
    modified = false;
    Poll();
    buttonsEnabled = true;
    errorLamp = false;
    message.clear();
}

void DiscrScreen::CountsArrived(const uint8_t* data, size_t length) {
    const auto record = parseCountsRecord(data, length, &message);
    if (record) {
        sampleIndex = std::clamp(sampleIndex, 0, kStatisticsSamples - 1);
        for (int i = 0; i < kDiscrChannels; ++i) {
            samples[i][sampleIndex] = record->counts[i];
            channels[i].count = QString::asprintf("%d", record->counts[i]);
        }
        statusLamps = {(record->S1 & 0x8000) != 0, (record->S1 & 0x4000) != 0,
                       (record->S2 & 0x8000) != 0, (record->S2 & 0x4000) != 0};
        if (graphAppend) graphAppend(record->counts[selectedChannel]);
        ++sampleIndex;
        dial = sampleIndex;
        if (sampleIndex == kStatisticsSamples) {
            Statistics();
            sampleIndex = 0;
        }
    } else {
        // A short record counts nothing; the polls go on.
        errorLamp = true;
    }
    if (pendingCommand != kNoPendingCommand) {
        const uint16_t command = pendingCommand;
        pendingCommand = kNoPendingCommand;
        SendPending(command);
    } else {
        pollDue = true;
    }
}

void DiscrScreen::SendPending(uint16_t command) {
    Send(command);
    if (command != CMD_DISCR_WRITE) return;
    // The unit takes the block as raw bytes once it has taken the command.
    DiscrSettings settings{};
    for (int i = 0; i < kDiscrChannels; ++i)
        settings[i] = channels[i].settings;
    const auto block = encodeDiscrBlock(settings);
    const QByteArray raw(reinterpret_cast<const char*>(block.data()), block.size());
    link_.after(kDiscrRawDelayMs, [this, raw] {
        if (!closed && link_.sendRaw) link_.sendRaw(raw);
    });
}

void DiscrScreen::Statistics() {
    for (int i = 0; i < kDiscrChannels; ++i) {
        const ChannelStatistics st = channelStatistics(samples[i]);
        channels[i].average = QString::asprintf("%.0f", st.mean);
        channels[i].spread = QString::asprintf("%.2f", st.relativeSpread);
        samples[i].fill(0);
    }
}

void DiscrScreen::OnStatus(uint16_t command, uint16_t /*status*/) {
    if (closed) return;
    pendingCommand = kNoPendingCommand;
    pollDue = false;
    polling = false;
    if (command == ANS_DISCR_COUNTS || command == CMD_DISCR_COUNTS) {
        // A counts poll failed: start again with the settings; the samples stay.
        buttonsEnabled = false;
        Send(CMD_DISCR_READ);
        Changed();
        return;
    }
    errorLamp = true;
    sampleIndex = -1;
    Finish();
}

void DiscrScreen::Finish() {
    closed = true;
    pollDue = false;
    polling = false;
    Changed();
    if (closeNow) closeNow();
}

}  // namespace vm418
