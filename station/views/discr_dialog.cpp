#include "discr_dialog.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QSignalBlocker>
#include <QStyle>
#include <QVBoxLayout>

#include "vm418_doc.h"

namespace station {

namespace {

constexpr int kTimerMs = 50;
constexpr int kGraphHistory = 120;  // polls, two minutes
constexpr uint32_t kRawTimeoutMs = 1000;
constexpr int kGroupsPerRow = 8;

vm418::DiscrScreen::Link DocumentLink(CVM418Doc& doc) {
    vm418::DiscrScreen::Link link;
    link.send = [&doc](uint16_t command) { return doc.Send(command); };
    // 0x4700: the bytes go out as they are, unframed and not awaiting an answer.
    link.sendRaw = [&doc](const QByteArray& raw) {
        return doc.protocol.SendCommand(CMD_RAW_TEXT, static_cast<size_t>(raw.size()),
                                        reinterpret_cast<const uint8_t*>(raw.constData()),
                                        kRawTimeoutMs);
    };
    link.setMonitoringStopped = [&doc](bool stopped) { doc.monitoringStopped = stopped; };
    return link;
}

QLineEdit* ReadOnlyField(QWidget* parent) {
    auto* f = new QLineEdit(parent);
    f->setReadOnly(true);
    f->setAlignment(Qt::AlignRight);
    f->setMaximumWidth(64);
    return f;
}

}  // namespace

CDiscrDlg::CDiscrDlg(CVM418Doc& doc, QWidget* parent)
    : QDialog(parent), screen_(DocumentLink(doc), doc.monitoringStopped) {
    setWindowTitle("Discriminator screen");
    auto* top = new QVBoxLayout(this);
    auto* channels = new QGridLayout;
    for (int ch = 0; ch < vm418::kDiscrChannels; ++ch)
        channels->addWidget(MakeGroup(ch), ch / kGroupsPerRow, ch % kGroupsPerRow);
    top->addLayout(channels);

    auto* lower = new QHBoxLayout;
    auto* left = new QVBoxLayout;
    left->addWidget(new QLabel("View Xtal", this));
    xtal_ = new QComboBox(this);
    for (int ch = 0; ch < vm418::kDiscrChannels; ++ch)
        xtal_->addItem(vm418::discrChannelName(ch));
    left->addWidget(xtal_);
    dial_ = new CircularDial(this);
    dial_->setFixedSize(90, 90);
    left->addWidget(dial_);
    left->addStretch();
    lower->addLayout(left);

    graph_ = new GraphControl(this);
    graph_->SetHistory(kGraphHistory);
    graph_->setMinimumSize(420, 200);
    lower->addWidget(graph_, 1);

    auto* lamps = new QVBoxLayout;
    wait_ = new Lamp("Wait", Qt::yellow, this);
    error_ = new Lamp("Error", Qt::red, this);
    stopMoni_ = new Lamp("Stop MONI", Qt::red, this);
    for (auto* l : {wait_, error_, stopMoni_})
        lamps->addWidget(l);
    auto* statusRow = new QHBoxLayout;
    for (auto*& l : status_) {
        l = new Lamp("", Qt::green, this);
        statusRow->addWidget(l);
    }
    lamps->addLayout(statusRow);
    lamps->addStretch();
    lower->addLayout(lamps);

    auto* buttons = new QVBoxLayout;
    read_ = new QPushButton("Read", this);
    default_ = new QPushButton("Default", this);
    update_ = new QPushButton(style()->standardIcon(QStyle::SP_DialogApplyButton), "Update", this);
    close_ = new QPushButton("Close", this);
    for (auto* b : {read_, default_, update_, close_}) {
        b->setAutoDefault(false);
        buttons->addWidget(b);
    }
    buttons->addStretch();
    lower->addLayout(buttons);
    top->addLayout(lower);

    message_ = new QLabel(this);
    message_->setStyleSheet("color: darkred");
    message_->hide();
    top->addWidget(message_);

    connect(read_, &QPushButton::clicked, this, [this] { screen_.Read(); });
    connect(default_, &QPushButton::clicked, this, [this] { screen_.Default(); });
    connect(update_, &QPushButton::clicked, this, [this] { screen_.Update(); });
    connect(close_, &QPushButton::clicked, this, [this] { screen_.Close(); });
    connect(xtal_, &QComboBox::currentIndexChanged, this,
            [this](int index) { screen_.SelectChannel(index); });

    screen_.changed = [this] { Render(); };
    screen_.graphAppend = [this](double v) { graph_->Append(v); };
    screen_.graphCleared = [this] { graph_->Clear(); };
    screen_.closeNow = [this] { done(screen_.errorLamp ? Rejected : Accepted); };

    if (doc.pendingAction == LINK_DISCRIMINATOR) screen_.AwaitSettings();
    timer_.callOnTimeout(this, [this] { screen_.OnTimer(); });
    timer_.start(kTimerMs);
    Render();
}

QWidget* CDiscrDlg::MakeGroup(int channel) {
    auto* box = new QGroupBox(vm418::discrChannelName(channel), this);
    auto* grid = new QGridLayout(box);
    grid->setSpacing(2);
    grid->setContentsMargins(4, 4, 4, 4);
    Group& g = groups_[channel];
    for (int which = 0; which < vm418::kDiscrSettings; ++which) {
        auto* edit = new NumericField(box);
        edit->SetLimits(0, 99);
        edit->setButtonSymbols(QAbstractSpinBox::UpDownArrows);
        edit->setMaximumWidth(52);
        g.edit[which] = edit;
        connect(edit, &QDoubleSpinBox::valueChanged, this, [this, channel, which](double v) {
            screen_.SetSetting(channel, which, static_cast<int>(v));
        });
    }
    // The third setting above, the first left and the second right.
    grid->addWidget(g.edit[2], 0, 0, 1, 2, Qt::AlignHCenter);
    grid->addWidget(g.edit[0], 1, 0);
    grid->addWidget(g.edit[1], 1, 1);
    g.count = ReadOnlyField(box);
    g.average = ReadOnlyField(box);
    g.spread = ReadOnlyField(box);
    grid->addWidget(g.count, 2, 0, 1, 2);
    grid->addWidget(new QLabel("avg", box), 3, 0);
    grid->addWidget(g.average, 3, 1);
    grid->addWidget(g.spread, 4, 0, 1, 2);
    return box;
}

void CDiscrDlg::Render() {
    for (int ch = 0; ch < vm418::kDiscrChannels; ++ch) {
        const auto& c = screen_.channels[ch];
        Group& g = groups_[ch];
        for (int which = 0; which < vm418::kDiscrSettings; ++which) {
            const QSignalBlocker block(g.edit[which]);
            if (g.edit[which]->Number() != c.settings[which])
                g.edit[which]->SetNumber(c.settings[which]);
            g.edit[which]->setEnabled(c.enabled);
        }
        for (auto [field, text] : {std::pair{g.count, c.count}, std::pair{g.average, c.average},
                                   std::pair{g.spread, c.spread}}) {
            field->setText(text);
            field->setEnabled(c.enabled);
        }
    }
    for (auto* b : {read_, default_, update_, close_})
        b->setEnabled(screen_.buttonsEnabled);
    update_->setVisible(screen_.UpdateVisible());
    wait_->SetOn(screen_.WaitLamp());
    error_->SetOn(screen_.errorLamp);
    stopMoni_->SetOn(screen_.stopMoniLamp);
    for (size_t i = 0; i < status_.size(); ++i)
        status_[i]->SetOn(screen_.statusLamps[i]);
    dial_->SetSample(screen_.dial);
    message_->setText(screen_.message);
    message_->setVisible(!screen_.message.isEmpty());
    if (xtal_->currentIndex() != screen_.selectedChannel) {
        const QSignalBlocker block(xtal_);
        xtal_->setCurrentIndex(screen_.selectedChannel);
    }
}

void CDiscrDlg::OnEvent(const ProtocolEvent& event) {
    if (event.status != 0)
        screen_.OnStatus(event.command, event.status);
    else
        screen_.OnFrame(event.command, event.data.data(), event.length);
}

void CDiscrDlg::reject() {
    screen_.Close();
}

CDiscrDlg* CDiscrDlg::Open(CVM418Doc& doc, QWidget* parent) {
    auto* dialog = new CDiscrDlg(doc, parent);
    connect(dialog, &QDialog::finished, dialog, [dialog, &doc] {
        dialog->timer_.stop();
        dialog->deleteLater();
        doc.DiscriminatorScreenClosed();
    });
    dialog->setWindowModality(Qt::WindowModal);
    dialog->open();
    return dialog;
}

}  // namespace station
