// CParView: the station's parameter block as a form of numeric fields and drop-down lists.
// The user edits it and reads it from the unit ("Read"), writes it back ("Write") or has the
// unit restore its defaults ("Default"); off line it shows a block stored in the database,
// chosen by date. It prints the parameters as a two-column table on one page.
#pragma once

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <map>

#include "hosted_controls.h"
#include "param_form.h"
#include "station_view.h"

namespace station {

class CParView : public CStationView {
  public:
    CParView(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent = nullptr);

    void OnInitialUpdate() override;
    void OnUpdate(int hint, int key) override;
    QString Caption() const override;
    void OnChangePeriod() override;
    bool CanChangePeriod() const override { return true; }
    int Print(QPagedPaintDevice& device, const QDateTime& printed,
              const PageRange& range = {}) override;

    // The controls from the document's block (ranges, captions and enabled fields follow it),
    // and back into the block.
    void FillControls();
    void TakeControls();

    // The form's controls by id, for the frame and tests.
    NumericField* Field(int id) const;
    QComboBox* List(int id) const;
    QLineEdit* Text(int id) const;
    QString Label(int id) const;
    QPushButton* ReadButton() const { return read_; }
    QPushButton* WriteButton() const { return write_; }
    QPushButton* DefaultButton() const { return default_; }
    bool WaitLamp() const { return wait_->IsOn(); }
    bool StopMoniLamp() const { return stopMoni_->IsOn(); }
    bool ErrorLamp() const { return error_->IsOn(); }

  private:
    QWidget* MakeControl(const vm418::ParamControl& c);
    void FollowChange();
    void Post(int command);
    void SetButtonsEnabled(bool enabled);
    void RefreshLamps();

    vm418::ParamForm form_;
    std::map<int, QWidget*> controls_;
    std::map<int, QLabel*> labels_;
    bool filling_ = false;
    QPushButton *read_, *write_, *default_;
    Lamp *stopMoni_, *error_, *wait_;
};

}  // namespace station
