#include "par_view.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "station_ui.h"
#include "vm418_doc.h"

namespace station {

CParView::CParView(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent)
    : CStationView(doc, std::move(postCommand), parent) {
    read_ = new QPushButton("Read");
    write_ = new QPushButton("Write");
    default_ = new QPushButton("Default");
    stopMoni_ = new Lamp("Stop MONI");
    error_ = new Lamp("Error");
    wait_ = new Lamp("Wait");
    auto* buttons = new QHBoxLayout;
    for (QWidget* w : {static_cast<QWidget*>(read_), static_cast<QWidget*>(write_),
                       static_cast<QWidget*>(default_), static_cast<QWidget*>(wait_),
                       static_cast<QWidget*>(stopMoni_), static_cast<QWidget*>(error_)})
        buttons->addWidget(w);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(buttons);
    connect(read_, &QPushButton::clicked, this, [this] {
        SetButtonsEnabled(false);
        post_(ID_DOWNLOAD_PARAMETERS);
    });
    connect(write_, &QPushButton::clicked, this, [this] {
        SetButtonsEnabled(false);
        post_(ID_WRITE_PARAMETERS);
    });
    connect(default_, &QPushButton::clicked, this, [this] {
        SetButtonsEnabled(false);
        post_(ID_DEFAULT_PARAMETERS);
    });
}

void CParView::OnInitialUpdate() {
    OnUpdate(HINT_CONNECTION, 0);
}

void CParView::OnUpdate(int hint, int /*key*/) {
    if (hint == HINT_PARAMETERS) SetButtonsEnabled(true);
    if (hint == HINT_CONNECTION) SetButtonsEnabled(doc_.linkState != LINK_OFF_LINE);
    RefreshLamps();
}

QString CParView::Caption() const {
    return doc_.title + "  - PARAMETERS " +
           (doc_.linkState != LINK_OFF_LINE ? "[Connected]" : "[Off Line]");
}

void CParView::OnChangePeriod() {}

int CParView::Print(QPagedPaintDevice& /*device*/, const QDateTime& /*printed*/) {
    return 0;
}

void CParView::SetButtonsEnabled(bool enabled) {
    read_->setEnabled(enabled);
    write_->setEnabled(enabled);
    default_->setEnabled(enabled);
    wait_->SetOn(!enabled);
}

void CParView::RefreshLamps() {
    stopMoni_->SetOn(doc_.monitoringStopped);
    error_->SetOn(doc_.lastStatus != 0);
}

}  // namespace station
