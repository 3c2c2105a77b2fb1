// CHistView: the events the unit logged, one row each with its date and time, text and
// sequence number; sorting by any column, the period of stored events while off line, and
// printing the list as plain lines under the page header.
#pragma once

#include <QDate>
#include <QTableView>
#include <vector>

#include "record_list_model.h"
#include "station_files.h"
#include "station_view.h"

class QPagedPaintDevice;

namespace station {

// The list's cell of `column` (0 to 2) for an event.
QString HistoryCell(const vm418::CHistory& h, int column);
// Orders two events by `column`: the time, the texts byte by byte, the sequence numbers.
int CompareEvents(const vm418::CHistory& a, const vm418::CHistory& b, int column);

// Prints the events of `keys` (in that order) from `map` as lines under the page header: the
// date and time, four blanks and the text. A page that starts past the list's end is the
// last (so an exact multiple of a page ends with a page of only the header). Returns the
// pages printed.
int PrintHistoryPages(QPagedPaintDevice& device, const QString& title, const vm418::HistoryMap& map,
                      const std::vector<int>& keys, const QDateTime& printed,
                      const PageRange& range = {});

class HistoryListModel : public RecordListModel<vm418::CHistory, 3> {
  public:
    explicit HistoryListModel(const vm418::HistoryMap& map, QObject* parent = nullptr);
};

class CHistView : public CStationView {
  public:
    CHistView(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent = nullptr);

    void OnInitialUpdate() override;
    void OnUpdate(int hint, int key) override;
    QString Caption() const override;
    void OnChangePeriod() override;
    int Print(QPagedPaintDevice& device, const QDateTime& printed,
              const PageRange& range = {}) override;

    void SortByColumn(int column);
    QTableView& List() { return *list_; }
    HistoryListModel& Rows() { return *model_; }

  private:
    void AskPeriodAndLoad();
    void FillAndSort();

    HistoryListModel* model_;
    QTableView* list_;
};

}  // namespace station
