#include "monitoring_view.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QStyle>
#include <QVBoxLayout>

#include "monitoring_record.h"
#include "station_ui.h"
#include "vm418_doc.h"

namespace station {

namespace {
constexpr int kPollTimerMs = 50;
constexpr int kGraphHistory = 300;  // answers shown by the running graph
constexpr int kRegionSumIndex = 6;
}  // namespace

void CVM418View::showEvent(QShowEvent* e) {
    if (parentWidget() && !parentWidget()->testAttribute(Qt::WA_SetWindowIcon))
        parentWidget()->setWindowIcon(style()->standardIcon(QStyle::SP_MediaPlay));
    QWidget::showEvent(e);
}

CVM418View::CVM418View(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent)
    : QWidget(parent), doc_(doc), post_(std::move(postCommand)) {
    date_ = new QLabel;
    time_ = new QLabel;
    status_ = new QLabel("System Ready");
    status_->setAlignment(Qt::AlignCenter);
    QFont big = status_->font();
    big.setBold(true);
    status_->setFont(big);
    auto* top = new QHBoxLayout;
    top->addWidget(date_);
    top->addStretch();
    top->addWidget(status_);
    top->addStretch();
    top->addWidget(time_);

    graph_ = new GraphControl;
    graph_->SetHistory(kGraphHistory);
    graph_->setMinimumSize(420, 220);
    value_ = new QLabel;
    value_->setObjectName("value");
    value_->setAlignment(Qt::AlignCenter);
    value_->setFont(big);
    regions_ = new QListWidget;
    regions_->addItems({"A", "B", "C", "D", "E", "F", "SUM"});
    regions_->setMaximumWidth(80);
    auto* side = new QVBoxLayout;
    side->addWidget(value_);
    side->addWidget(regions_);
    auto* middle = new QHBoxLayout;
    middle->addWidget(graph_, 1);
    middle->addLayout(side);

    auto* rates = new QGridLayout;
    rates->addWidget(new QLabel("BG"), 0, 0);
    rates->addWidget(new QLabel("[cps]"), 1, 0);
    static const char* const kRegions[] = {"A", "B", "C", "D", "E", "F"};
    for (int r = 0; r < 6; ++r) {
        auto* head = new QLabel(kRegions[r]);
        head->setAlignment(Qt::AlignCenter);
        rates->addWidget(head, 0, r + 1);
        background_[r] = new QLabel;
        background_[r]->setAlignment(Qt::AlignCenter);
        background_[r]->setFrameShape(QFrame::Panel);
        background_[r]->setFrameShadow(QFrame::Sunken);
        background_[r]->setMinimumWidth(60);
        rates->addWidget(background_[r], 1, r + 1);
    }
    errors_ = new QLabel;
    errors_->setFrameShape(QFrame::Panel);
    errors_->setFrameShadow(QFrame::Sunken);
    stopMoni_ = new Lamp("Stop MONI", QColor(255, 170, 0));
    error_ = new Lamp("Error", Qt::red);
    auto* lastAlarm = new QPushButton("Last Alarm");
    auto* prevAlarm = new QPushButton("Prev. Alarm");
    auto* allAlarms = new QPushButton("All Alarms");
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(new QLabel("System Error"));
    bottom->addWidget(errors_, 1);
    bottom->addWidget(stopMoni_);
    bottom->addWidget(error_);
    bottom->addWidget(lastAlarm);
    bottom->addWidget(prevAlarm);
    bottom->addWidget(allAlarms);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top);
    layout->addLayout(middle, 1);
    layout->addLayout(rates);
    layout->addLayout(bottom);

    connect(regions_, &QListWidget::currentRowChanged, this, &CVM418View::SelectRegion);
    connect(lastAlarm, &QPushButton::clicked, this, [this] { post_(ID_DOWNLOAD_LAST_ALARM); });
    connect(prevAlarm, &QPushButton::clicked, this, [this] { post_(ID_DOWNLOAD_PREVIOUS_ALARM); });
    connect(allAlarms, &QPushButton::clicked, this, [this] { post_(ID_DOWNLOAD_ALARM_FILE); });
    regions_->setCurrentRow(kRegionSumIndex);
    poll_.callOnTimeout(this, &CVM418View::Poll);
    poll_.start(kPollTimerMs);
}

void CVM418View::SelectRegion(int index) {
    selectedRegion_ = RegionListIndex(index);
    if (regions_->currentRow() != selectedRegion_) regions_->setCurrentRow(selectedRegion_);
    graph_->Clear();
}

void CVM418View::Poll() {
    doc_.PollIfReady();
}

void CVM418View::RefreshLamps() {
    stopMoni_->SetOn(doc_.monitoringStopped);
    error_->SetOn(doc_.lastStatus != 0);
}

QString CVM418View::Caption() const {
    return doc_.title + "  - MONITORING " +
           (doc_.linkState != LINK_OFF_LINE ? "[Connected]" : "[Off Line]");
}

void CVM418View::OnUpdate(int hint, const QByteArray& frame) {
    RefreshLamps();
    if (hint == HINT_CONNECTION) {
        setWindowTitle(Caption());
        return;
    }
    if (hint != HINT_MONITORING) return;
    const auto record = DecodeMonitoringRecord(reinterpret_cast<const uint8_t*>(frame.constData()),
                                               static_cast<size_t>(frame.size()));
    if (!record) return;
    const double value = RegionValue(*record, selectedRegion_);
    value_->setText(RegionValueText(value));
    graph_->Append(value);
    date_->setText(station::DateText(*record));
    time_->setText(station::TimeText(*record));
    for (int r = 0; r < 6; ++r)
        background_[r]->setText(station::BackgroundText(*record, r));
    errors_->setText(ErrorChannelNames(record->errorBits));
    status_->setText(UnitStatusText(*record, stopMoni_->IsOn()));
    if (NewAlarmWaiting(*record)) post_(ID_DOWNLOAD_LAST_ALARM);
}

}  // namespace station
