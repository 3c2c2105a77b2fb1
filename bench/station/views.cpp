// The alarm view on a station with 20,000 stored alarms in its period: opening it (the load
// from an SQLite database plus the fill of the list), a sort by each column, and printing
// 100 alarms to an A4 PDF; and the history printout of 2,000 events. Offscreen; prints
// figures, asserts nothing.
#include <QApplication>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QPdfWriter>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <random>

#include "alarm_view.h"
#include "hist_view.h"
#include "main_frame.h"
#include "station_db.h"
#include "station_dialogs.h"
#include "station_print.h"
#include "systems.h"
#include "vm418_doc.h"

using namespace station;

namespace {

constexpr int kAlarms = 20000;
constexpr int kPrinted = 100;

vm418::AlarmMap MakeAlarms(std::time_t firstDay) {
    std::mt19937 rng(418);
    vm418::AlarmMap map;
    for (int i = 1; i <= kAlarms; ++i) {
        vm418::alarms a;
        a.AlarmNumber = static_cast<int16_t>(i % 30000);
        a.DateTime = firstDay + static_cast<std::time_t>(rng() % (28 * 86400));
        a.AlarmLevel = static_cast<int16_t>(1 + rng() % 5);
        a.Detector = "ACEG"[rng() % 4];
        a.OutBG = static_cast<int16_t>(1000 + rng() % 3000);
        a.InBG = static_cast<int16_t>(a.OutBG + rng() % 100);
        a.Threshold = a.OutBG + 600;
        a.Len = static_cast<int16_t>(8 + rng() % 40);
        for (int k = 0; k < a.Len; ++k)
            a.Graph.push_back(static_cast<int32_t>(100 + rng() % 2000));
        a.Min = static_cast<int16_t>(10 * *std::min_element(a.Graph.begin(), a.Graph.end()));
        a.Max = static_cast<int16_t>(10 * *std::max_element(a.Graph.begin(), a.Graph.end()));
        a.Segment = static_cast<int16_t>(rng() % 4);
        a.Speed = static_cast<int16_t>(rng() % 90);
        std::strcpy(a.StatusWord, "OK  ALARM  GAMMA  AB   U");
        std::strcpy(a.BGtime, "00:01:30");
        map[i] = std::move(a);
    }
    return map;
}

double Ms(const QElapsedTimer& t) {
    return static_cast<double>(t.nsecsElapsed()) / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
    // As the station program starts; BENCH_TZ_UNPINNED=1 measures without it.
    if (qEnvironmentVariableIsEmpty("BENCH_TZ_UNPINNED")) vm418::keepLocalTimeZoneRead();
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QTemporaryDir dir;
    if (!dir.isValid()) {
        std::fprintf(stderr, "no temporary folder: %s\n", qPrintable(dir.errorString()));
        return 1;
    }
    const QString db = "DRIVER=SQLite3;Database=" + dir.path() + "/vm418.db";
    if (vm418::createSchema(db) != vm418::kDbOk) {
        std::fprintf(stderr, "cannot create the database in %s\n", qPrintable(dir.path()));
        return 1;
    }
    vm418::CSystemRset row;
    row.SysID = 1;
    row.Serial = "B-1";
    row.SystemDescription = "Bench gate";
    if (vm418::saveSystem(db, row) != 0) {
        std::fprintf(stderr, "the system cannot be stored in %s\n", qPrintable(db));
        return 1;
    }

    const QDate first(2026, 2, 1);
    {
        vm418::StationRecords store;
        store.connectionText = db;
        store.SysID = 1;
        store.alarmMap = MakeAlarms(first.startOfDay().toSecsSinceEpoch());
        QElapsedTimer t;
        t.start();
        if (store.storeAlarms() != 0) {
            std::fprintf(stderr, "the alarms could not be stored\n");
            return 1;
        }
        std::printf("store %d alarms          %8.0f ms\n", kAlarms, Ms(t));
    }

    {
        vm418::StationRecords load;
        load.connectionText = db;
        load.SysID = 1;
        QElapsedTimer t;
        t.start();
        if (load.loadAlarms(vm418::RecordCondition::days(first, QDate(2026, 2, 28))) != 0) {
            std::fprintf(stderr, "the alarms could not be loaded\n");
            return 1;
        }
        std::printf("load %zu alarms           %8.1f ms\n", load.alarmMap.size(), Ms(t));
    }

    CMainFrame frame(db, dir.path() + "/");
    frame.NewDocument();
    frame.Document()->UseSystem(row);
    // The period dialog is answered with the whole of February.
    QTimer answer;
    answer.callOnTimeout([&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = dynamic_cast<CTimePeriodDlg*>(w); d && d->isVisible()) {
                d->fromEdit->setDate(first);
                d->toEdit->setDate(QDate(2026, 2, 28));
                d->findChild<QPushButton*>()->click();  // "OK"
            }
    });
    answer.start(1);
    QElapsedTimer open;
    open.start();
    frame.OpenDataView(ID_VIEW_ALARMS);
    const double openMs = Ms(open);
    answer.stop();
    auto* view = dynamic_cast<CAlarmView*>(frame.DataView(ID_VIEW_ALARMS));
    if (!view || view->Rows().rowCount() != kAlarms) {
        std::fprintf(stderr, "the view did not list the %d alarms (%d)\n", kAlarms,
                     view ? view->Rows().rowCount() : -1);
        return 1;
    }
    std::printf(
        "open the alarm view      %8.1f ms  (load and fill, target < 300; includes the "
        "period dialog)\n",
        openMs);
    double worst = 0;
    for (int c = 0; c < AlarmListModel::kColumns; ++c) {
        QElapsedTimer t;
        t.start();
        view->SortByColumn(c);
        const double ms = Ms(t);
        worst = std::max(worst, ms);
        std::printf("sort by column %d         %8.1f ms\n", c, ms);
    }
    std::printf("slowest sort             %8.1f ms  (target < 50)\n", worst);

    std::vector<int> keys(view->Rows().Keys().begin(), view->Rows().Keys().begin() + kPrinted);
    GraphControl graph;
    QElapsedTimer print;
    print.start();
    int pages = 0;
    {
        auto pdf = NewA4Pdf(dir.path() + "/alarms.pdf", "Bench gate");
        pages = PrintAlarmPages(*pdf, "Bench gate", frame.Document()->records.alarmMap, keys, graph,
                                QDateTime::currentDateTime());
    }
    std::printf("print %d alarms to PDF  %8.0f ms  (%d pages, %lld KiB; target < 2000)\n", kPrinted,
                Ms(print), pages, QFileInfo(dir.path() + "/alarms.pdf").size() / 1024);

    vm418::HistoryMap events;
    for (int i = 1; i <= 2000; ++i)
        events[i] = vm418::CHistory{i, QString("EV%1").arg(i), 1770000000 + i * 60, {}};
    std::vector<int> eventKeys;
    for (const auto& [k, e] : events)
        eventKeys.push_back(k);
    QElapsedTimer history;
    history.start();
    {
        auto pdf = NewA4Pdf(dir.path() + "/history.pdf", "Bench gate");
        pages =
            PrintHistoryPages(*pdf, "Bench gate", events, eventKeys, QDateTime::currentDateTime());
    }
    std::printf("print 2000 events to PDF %8.0f ms  (%d pages)\n", Ms(history), pages);
    return 0;
}
