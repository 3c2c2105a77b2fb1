// CVM418View: the station's live state while monitoring runs: the running graph and value
// of a chosen region, the background rate of each region, the unit's date and time, the
// channels in error, what the unit is doing, and the "Stop MONI" and "Error" lamps. Its
// 50 ms timer sends the next poll once the last answer has come.
#pragma once

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <array>

#include "hosted_controls.h"

namespace station {

class CVM418Doc;

class CVM418View : public QWidget {
  public:
    CVM418View(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent = nullptr);

    // Update hints of the document: 0x40A1 with the monitoring record, 401 the connection.
    void OnUpdate(int hint, const QByteArray& frame);
    QString Caption() const;

    // What the view shows, for tests and the frame.
    QString ValueText() const { return value_->text(); }
    QString StatusText() const { return status_->text(); }
    QString DateText() const { return date_->text(); }
    QString TimeText() const { return time_->text(); }
    QString ErrorChannels() const { return errors_->text(); }
    QString BackgroundText(int region) const { return background_[region]->text(); }
    bool StopMoniLamp() const { return stopMoni_->IsOn(); }
    bool ErrorLamp() const { return error_->IsOn(); }
    GraphControl& Graph() { return *graph_; }
    void SelectRegion(int index);

  protected:
    // The first showing gives the frame its icon.
    void showEvent(QShowEvent* e) override;

  private:
    void Poll();
    void RefreshLamps();

    CVM418Doc& doc_;
    std::function<void(int)> post_;
    QListWidget* regions_;
    GraphControl* graph_;
    QLabel *date_, *time_, *status_, *value_, *errors_;
    std::array<QLabel*, 6> background_{};
    Lamp *stopMoni_, *error_;
    QTimer poll_;
    int selectedRegion_ = 6;
};

}  // namespace station
