// What the main frame asks of a data view of the station document (alarms, history,
// parameters): it lives in a child frame of the document, hears the document's update
// hints, names its frame, changes its period of stored data and prints its pages.
#pragma once

#include <QDate>
#include <QDateTime>
#include <QWidget>
#include <functional>

#include "station_db.h"
#include "station_print.h"

class QPagedPaintDevice;

namespace station {

class CVM418Doc;

class CStationView : public QWidget {
  public:
    // `postCommand` routes a menu command to the main frame (and so to the document).
    CStationView(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent = nullptr)
        : QWidget(parent), doc_(doc), post_(std::move(postCommand)) {}

    // Once, after the view is placed in its frame: off line it asks for its period and loads
    // the stored records it shows.
    virtual void OnInitialUpdate() = 0;
    // Every update of the document: `hint` 101, 201, 301, 401 (or 0 for any); `key` the
    // alarm of a hint 201.
    virtual void OnUpdate(int hint, int key) = 0;
    // The frame's caption: the document's title, the view's kind and the link state.
    virtual QString Caption() const = 0;
    // "Change period of displayed data", enabled while CanChangePeriod().
    virtual void OnChangePeriod() = 0;
    // The alarms and the history are chosen from the database only off line (connected they
    // show what the unit sent); a stored parameter block can be picked at any time.
    virtual bool CanChangePeriod() const;
    // Prints the view's pages of `range` on `device` (a printer or a PDF file); returns the
    // pages printed.
    virtual int Print(QPagedPaintDevice& device, const QDateTime& printed,
                      const PageRange& range = {}) = 0;

    CVM418Doc& Document() { return doc_; }
    // The days of stored records shown off line (both included); today until asked.
    QDate PeriodStart() const { return start_; }
    QDate PeriodEnd() const { return end_; }

  protected:
    // The frame's caption: the document's title, `kind` (e.g. "  - ALARMS ") and the link
    // state, "[Connected]" or "[Off Line]".
    QString CaptionOf(const char* kind) const;
    // The period dialog with the view's days; whichever way it closes, its days are kept and
    // returned as the condition of the load.
    vm418::RecordCondition AskPeriod();

    CVM418Doc& doc_;
    std::function<void(int)> post_;
    QDate start_ = QDate::currentDate();
    QDate end_ = QDate::currentDate();
};

}  // namespace station
