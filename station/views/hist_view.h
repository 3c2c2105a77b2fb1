// CHistView: the events the unit logged, one row each with its date and time, text and
// sequence number; sorting by any column, the period of stored events while off line, and
// printing the list as plain lines under the page header.
#pragma once

#include <QAbstractTableModel>
#include <QDate>
#include <QTableView>
#include <vector>

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
                      const std::vector<int>& keys, const QDateTime& printed);

class HistoryListModel : public QAbstractTableModel {
  public:
    static constexpr int kColumns = 3;
    explicit HistoryListModel(const vm418::HistoryMap& map, QObject* parent = nullptr)
        : QAbstractTableModel(parent), map_(map) {}

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

    void Fill();
    void SortBy(int column);
    const std::vector<int>& Keys() const { return keys_; }
    const vm418::CHistory* EventAt(int row) const;

  private:
    const vm418::HistoryMap& map_;
    std::vector<int> keys_;
};

class CHistView : public CStationView {
  public:
    CHistView(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent = nullptr);

    void OnInitialUpdate() override;
    void OnUpdate(int hint, int key) override;
    QString Caption() const override;
    void OnChangePeriod() override;
    int Print(QPagedPaintDevice& device, const QDateTime& printed) override;

    void SortByColumn(int column);
    QDate PeriodStart() const { return start_; }
    QDate PeriodEnd() const { return end_; }
    QTableView& List() { return *list_; }
    HistoryListModel& Rows() { return *model_; }

  private:
    void AskPeriodAndLoad();
    void FillAndSort();

    HistoryListModel* model_;
    QTableView* list_;
    QDate start_, end_;
};

}  // namespace station
