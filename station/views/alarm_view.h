// CAlarmView: the alarms of the station document in a list, the selected alarm as a text
// panel and as the graph of its counts; sorting by any column, the period of stored alarms
// while off line, and printing several alarms a page, each with its graph and text.
#pragma once

#include <QDate>
#include <QLabel>
#include <QTableView>
#include <vector>

#include "hosted_controls.h"
#include "record_list_model.h"
#include "station_files.h"
#include "station_print.h"
#include "station_view.h"

class QPagedPaintDevice;

namespace station {

// ---- the alarm's texts, shared by the view, its printout and the tools ----

// The list's cell of `column` (0 to 9) for an alarm.
QString AlarmCell(const vm418::alarms& a, int column);
// The nine lines of the detail panel, joined by "\r\n" (the status word has no line end).
QString AlarmDetailText(const vm418::alarms& a);
// The nine lines an alarm's band of a printed page holds.
QStringList AlarmPrintLines(const vm418::alarms& a);
// Orders two alarms by the field of `column`, as signed numbers (the detector as a signed
// byte): negative, 0 or positive.
int CompareAlarms(const vm418::alarms& a, const vm418::alarms& b, int column);
// The graph of an alarm: its Len values x10 against x = 0, 1, ...; y from 0.9 x the smaller
// of OutBG and Min to Max + Max / 10; cursors at Min, Max, Threshold and OutBG.
void LoadAlarmGraph(GraphControl& graph, const vm418::alarms& a);

// Prints the alarms of `keys` (in that order) from `map`, as many a page as fit: each band
// holds the graph's picture and the nine text lines. A key missing from the map is skipped.
// `graph` is loaded with each alarm in turn (white behind the trace while printing). Returns
// the pages printed.
int PrintAlarmPages(QPagedPaintDevice& device, const QString& title, const vm418::AlarmMap& map,
                    const std::vector<int>& keys, GraphControl& graph, const QDateTime& printed,
                    const PageRange& range = {});

// The rows of the alarm list, each with the alarm icon.
class AlarmListModel : public RecordListModel<vm418::alarms, 10> {
  public:
    explicit AlarmListModel(const vm418::AlarmMap& map, QObject* parent = nullptr);
    QVariant data(const QModelIndex& index, int role) const override;
};

class CAlarmView : public CStationView {
  public:
    CAlarmView(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent = nullptr);

    void OnInitialUpdate() override;
    void OnUpdate(int hint, int key) override;
    QString Caption() const override;
    void OnChangePeriod() override;
    int Print(QPagedPaintDevice& device, const QDateTime& printed,
              const PageRange& range = {}) override;

    void SortByColumn(int column);
    void SelectRow(int row);
    int SelectedRow() const;
    QString DetailText() const { return detail_; }
    GraphControl& Graph() { return *graph_; }
    QTableView& List() { return *list_; }
    AlarmListModel& Rows() { return *model_; }
    bool StopMoniLamp() const { return stopMoni_->IsOn(); }
    bool ErrorLamp() const { return error_->IsOn(); }

  private:
    void AskPeriodAndLoad();
    void Fill();
    void ShowAlarm(int row);
    void ClearAlarm();
    void RefreshLamps();

    AlarmListModel* model_;
    QTableView* list_;
    GraphControl* graph_;
    QLabel* detailLabel_;
    Lamp *stopMoni_, *error_;
    QString detail_;
};

}  // namespace station
