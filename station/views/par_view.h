// CParView: the station's parameter block as a form of numeric fields and drop-down lists.
// The user edits it and reads it from the unit ("Read"), writes it back ("Write") or has the
// unit restore its defaults ("Default"); off line it shows a block stored in the database,
// chosen by date. It prints the parameters as a two-column table on one page.
#pragma once

#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <map>

#include "hosted_controls.h"
#include "station_view.h"

namespace station {

class CParView : public CStationView {
  public:
    CParView(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent = nullptr);

    void OnInitialUpdate() override;
    void OnUpdate(int hint, int key) override;
    QString Caption() const override;
    void OnChangePeriod() override;
    int Print(QPagedPaintDevice& device, const QDateTime& printed) override;

    // The view became the active one: its caption and buttons follow the link state.
    void OnActivated() { OnUpdate(401, 0); }

  private:
    void SetButtonsEnabled(bool enabled);
    void RefreshLamps();

    QPushButton *read_, *write_, *default_;
    Lamp *stopMoni_, *error_, *wait_;
};

}  // namespace station
