// The alarm and history views over a station database, offscreen: their texts, the period
// of stored records, sorting, the update hints, and their printouts read back from the PDF.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QFile>
#include <QFontInfo>
#include <QPagedPaintDevice>
#include <QPdfWriter>
#include <QPrinter>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>

#include "alarm_view.h"
#include "hist_view.h"
#include "main_frame.h"
#include "monitoring_view.h"
#include "pdf_pages.h"
#include "qt_wait.h"
#include "record_text.h"
#include "station_db.h"
#include "station_dialogs.h"
#include "station_print.h"
#include "vm418_doc.h"

using namespace station;

namespace {

std::time_t At(int month, int day, int h, int m, int s) {
    return QDateTime(QDate(2026, month, day), QTime(h, m, s)).toSecsSinceEpoch();
}

vm418::alarms Alarm(int number, std::time_t when, int level = 2, char detector = 'A') {
    vm418::alarms a;
    a.AlarmNumber = static_cast<int16_t>(number);
    a.DateTime = when;
    a.AlarmLevel = static_cast<int16_t>(level);
    a.Detector = detector;
    a.OutBG = 300;
    a.InBG = 310;
    a.Threshold = 420;
    a.Min = 280;
    a.Max = 900;
    a.Segment = 2;
    a.Speed = 8;
    a.Len = 5;
    a.Graph = {30, 45, 90, 60, 31};
    std::strcpy(a.StatusWord, "0 100 00 0 00000000000E ");
    std::strcpy(a.BGtime, "10:20:30");
    return a;
}

// pdftotext lays the words out again: runs of blanks are compared as one.
bool Has(const QString& page, const QString& text) {
    return page.simplified().contains(text.simplified());
}

// The left and right edge, in millimetres from the page's edge, of what is drawn left of
// the text column (x < 120 mm) below the page header of an A4 page.
std::pair<double, double> GraphExtentMm(const QString& pdf) {
    constexpr int kDpi = 100;
    const QImage page = PdfPageImage(pdf, 1, kDpi);
    int left = page.width(), right = -1;
    const auto mm = [](int px) { return px * 25.4 / kDpi; };
    for (int y = static_cast<int>(30 / 25.4 * kDpi); y < page.height(); ++y)
        for (int x = 0; mm(x) < 120 && x < page.width(); ++x)
            if (qGray(page.pixel(x, y)) < 200) {
                left = std::min(left, x);
                right = std::max(right, x);
            }
    return {mm(left), mm(right)};
}

// Both files hold the same bytes.
QByteArray Bytes(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Answers the period dialog with one day when it shows.
void AnswerPeriodWith(QDate day) {
    auto* timer = new QTimer;
    timer->callOnTimeout([timer, day] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* d = dynamic_cast<CTimePeriodDlg*>(w); d && d->isVisible()) {
                d->fromEdit->setDate(day);
                d->toEdit->setDate(day);
                d->findChild<QPushButton*>()->click();
                timer->deleteLater();
            }
    });
    timer->start(20);
}

class StationViews : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(dir.isValid());
        db = "DRIVER=SQLite3;Database=" + dir.path() + "/vm418.db";
        ASSERT_EQ(vm418::createSchema(db), vm418::kDbOk);
        vm418::CSystemRset row;
        row.SysID = 7;
        row.Serial = "S-7";
        row.SystemDescription = "Gate 7";
        ASSERT_EQ(vm418::saveSystem(db, row), 0);
        frame = std::make_unique<CMainFrame>(db, dir.path() + "/");
        frame->NewDocument();
        frame->Document()->UseSystem(row);
        // The first frame asks for a system once shown: the system is already chosen.
        systemsCloser.callOnTimeout([] {
            for (QWidget* w : QApplication::topLevelWidgets())
                if (auto* d = dynamic_cast<CSystemsDlg*>(w); d && d->isVisible()) d->reject();
        });
        systemsCloser.start(20);
    }
    vm418::StationRecords& Records() { return frame->Document()->records; }
    QString PdfPath(const char* name) const { return dir.path() + "/" + name; }

    QTemporaryDir dir;
    QString db;
    QTimer systemsCloser;
    std::unique_ptr<CMainFrame> frame;
};

}  // namespace

TEST(AlarmTexts, LevelWordsDetailGraphAndSignedSorting) {
    EXPECT_EQ(vm418::levelWord(2), "LOW");
    EXPECT_EQ(vm418::levelWord(3), "HIGH");
    EXPECT_EQ(vm418::levelWord(5), "DANGER");
    EXPECT_EQ(vm418::levelWord(6), "");

    const vm418::alarms a = Alarm(12, At(3, 3, 10, 20, 30), 3, 'B');
    EXPECT_EQ(
        AlarmDetailText(a).split("\r\n"),
        (QStringList{"ALARM #12  -   HIGH 3B", "03-03-26      10:20:30", "T : 10:20:30  BG: 300",
                     "TH: 420       IN: 310", "HI: 900       LO: 280", "P1: 5  P2:2  S:  8",
                     "------------------------", "C BNV 01 2 3S12EDODCFSLU",
                     "0 100 00 0 00000000000E "}));
    EXPECT_EQ(AlarmPrintLines(a)[0], "ALARM # 12   -   HIGH 3B ");
    EXPECT_EQ(AlarmCell(a, 0), "03-03-26 10:20:30");
    EXPECT_EQ(AlarmCell(a, 8), "B");

    // The graph: values x10; y from 0.9 x min(OutBG, Min) to Max + Max / 10; four cursors.
    GraphControl graph;
    vm418::alarms low = a;
    low.Min = 50;
    low.OutBG = 30;
    low.Max = 95;
    LoadAlarmGraph(graph, low);
    EXPECT_EQ(graph.Points(), 5);
    EXPECT_DOUBLE_EQ(graph.YLow(), 27);
    EXPECT_DOUBLE_EQ(graph.YHigh(), 104);
    EXPECT_EQ(graph.CursorLevels(), (std::vector<double>{50, 95, 420, 30}));
    vm418::alarms empty = a;
    empty.Len = 0;
    empty.Graph.clear();
    LoadAlarmGraph(graph, empty);
    EXPECT_EQ(graph.Points(), 0);
    EXPECT_EQ(graph.CursorLevels().size(), 4u);  // the axis and cursors are still set
    EXPECT_DOUBLE_EQ(graph.YLow(), 0.9 * 280);
    EXPECT_DOUBLE_EQ(graph.YHigh(), 990);

    // Det# sorts by the signed byte: 0xC1 (negative) comes before 'A'; a gone row stays put.
    vm418::AlarmMap map;
    map[1] = Alarm(1, At(3, 3, 1, 0, 0), 2, 'A');
    map[2] = Alarm(2, At(3, 3, 2, 0, 0), 2, static_cast<char>(0xC1));
    map[3] = Alarm(3, At(3, 3, 3, 0, 0), 2, '0');
    AlarmListModel rows(map);
    rows.Fill();
    rows.SortBy(8);
    EXPECT_EQ(rows.Keys(), (std::vector<int>{2, 3, 1}));
    rows.SortBy(8);  // no descending order: the same again
    EXPECT_EQ(rows.Keys(), (std::vector<int>{2, 3, 1}));
    map.erase(3);
    EXPECT_EQ(rows.data(rows.index(1, 0), Qt::DisplayRole).toString(), "");
}

// Off line the view asks for its period: the whole of 3 March, its first and last second
// included; hint 201 selects the alarm it names, or none with 0.
TEST_F(StationViews, AlarmViewPeriodHintsAndPrintedBands) {
    Records().SysID = 7;
    int number = 0;
    for (std::time_t t : {At(3, 2, 23, 59, 59), At(3, 3, 0, 0, 0), At(3, 3, 12, 0, 0),
                          At(3, 3, 23, 59, 59), At(3, 4, 0, 0, 0)}) {
        ++number;
        Records().alarmMap[number] = Alarm(number, t, number, char('A' + number));
    }
    for (int i = 0; i < 6; ++i) {  // more on 3 March, enough for several pages
        ++number;
        Records().alarmMap[number] = Alarm(number, At(3, 3, 13, i, 0), 2, 'C');
    }
    ASSERT_EQ(Records().storeAlarms(), 0);
    Records().alarmMap.clear();

    AnswerPeriodWith(QDate(2026, 3, 3));
    frame->OpenDataView(ID_VIEW_ALARMS);
    auto* view = dynamic_cast<CAlarmView*>(frame->DataView(ID_VIEW_ALARMS));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(view->Caption(), "Gate 7,  Serial# S-7  - ALARMS [Off Line]");
    ASSERT_EQ(view->Rows().rowCount(), 9);
    QStringList times;
    for (int r = 0; r < 9; ++r)
        times << view->Rows().data(view->Rows().index(r, 0), Qt::DisplayRole).toString();
    EXPECT_TRUE(times.contains("03-03-26 00:00:00"));
    EXPECT_TRUE(times.contains("03-03-26 23:59:59"));
    EXPECT_FALSE(times.contains("03-02-26 23:59:59"));
    EXPECT_EQ(view->SelectedRow(), 0);
    EXPECT_TRUE(view->DetailText().startsWith("ALARM #"));

    // Sorted by "Alarm#" the printout follows the list's order.
    view->SortByColumn(9);
    const int key = view->Rows().Keys()[3];
    view->OnUpdate(HINT_ALARMS, key);
    EXPECT_EQ(view->Rows().Keys()[static_cast<size_t>(view->SelectedRow())], key);
    view->OnUpdate(HINT_ALARMS, 0);
    EXPECT_EQ(view->SelectedRow(), -1);
    EXPECT_EQ(view->DetailText(), "");
    EXPECT_EQ(view->Graph().Points(), 0);
    view->SortByColumn(9);

    // Nothing selected: the print leaves it so, and the screen's graph keeps its look (the
    // print draws it on white).
    const QString pdf = PdfPath("alarms.pdf");
    const GraphControl::PlotLook look = view->Graph().Look();
    QString error;
    ASSERT_TRUE(frame->PrintViewToPdf(view, pdf, &error)) << error.toStdString();
    EXPECT_EQ(view->SelectedRow(), -1);
    EXPECT_EQ(view->DetailText(), "");
    EXPECT_EQ(view->Graph().Look().background, look.background);
    EXPECT_EQ(view->Graph().Look().plotArea, look.plotArea);
    EXPECT_EQ(view->Graph().Look().plotAreaShown, look.plotAreaShown);
    // Each graph fills its band from h / 3 to h / 3 + w: w = 95 mm (half the printable
    // width), h = 38 mm, after the 10 mm margin.
    const auto [graphLeft, graphRight] = GraphExtentMm(pdf);
    EXPECT_GE(graphLeft, 10 + 38 / 3.0 - 1);
    EXPECT_LE(graphRight, 10 + 38 / 3.0 + 95 + 1);
    EXPECT_GE(graphRight - graphLeft, 0.9 * 95);
    // A selected alarm is selected again after the print, and shown.
    view->SelectRow(4);
    const QString shown = view->DetailText();
    const QByteArray firstPrint = Bytes(pdf);
    ASSERT_TRUE(frame->PrintViewToPdf(view, PdfPath("again.pdf"), &error));
    EXPECT_EQ(view->SelectedRow(), 4);
    EXPECT_EQ(view->DetailText(), shown);
    // The session's printer with a page range: page 2 alone, as in the whole printout.
    frame->show();
    frame->OpenDataView(ID_VIEW_ALARMS);  // activates the view's frame
    QPrinter& printer = frame->Printer();
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(PdfPath("range.pdf"));
    printer.setPrintRange(QPrinter::PageRange);
    printer.setFromTo(2, 2);
    ASSERT_TRUE(frame->PrintActiveView());
    const QStringList range = PdfPages(PdfPath("range.pdf"));
    ASSERT_EQ(range.size(), 1);
    EXPECT_TRUE(Has(range[0], "page 2")) << range[0].toStdString();
    EXPECT_EQ(range[0].count("ALARM # "), PdfPages(pdf)[1].count("ALARM # "));
    EXPECT_TRUE(Has(range[0], PdfPages(pdf)[1].section("ALARM # ", 1, 1).section('\n', 0, 0)));
    printer.setFromTo(7, 9);  // past the last page: nothing to print
    EXPECT_FALSE(frame->PrintActiveView());
    printer.setPrintRange(QPrinter::AllPages);

    // A print that cannot be written leaves the earlier file whole.
    ASSERT_TRUE(QDir().mkpath(pdf + ".part"));
    EXPECT_FALSE(frame->PrintViewToPdf(view, pdf, &error));
    EXPECT_TRUE(error.startsWith("Cannot write " + pdf + ".part")) << error.toStdString();
    EXPECT_EQ(Bytes(pdf), firstPrint);
    ASSERT_TRUE(QDir(pdf + ".part").removeRecursively());
    const QStringList pages = PdfPages(pdf);
    ASSERT_GE(pages.size(), 2);
    EXPECT_TRUE(Has(pages[0], "Gate 7,  Serial# S-7  - ALARMS")) << pages[0].toStdString();
    EXPECT_TRUE(Has(pages[0], "page 1"));
    // Full pages of the same number of bands, the rest on the last, in the list's order.
    const int perPage = static_cast<int>(pages[0].count("ALARM # "));
    int printed = 0;
    QStringList order;
    for (const QString& page : pages) {
        EXPECT_LE(page.count("ALARM # "), perPage);
        printed += static_cast<int>(page.count("ALARM # "));
        for (const QString& line : page.split('\n'))
            if (const qsizetype i = line.indexOf("ALARM # "); i >= 0)
                order << line.mid(i + 8).section(' ', 0, 0);
    }
    EXPECT_EQ(printed, 9);
    EXPECT_EQ(pages.size(), 9 / perPage + 1);
    EXPECT_EQ(order, (QStringList{"2", "3", "4", "6", "7", "8", "9", "10", "11"}));
    EXPECT_TRUE(Has(pages[0], "C BNV 01 2 3S12EDODCFSLU"));
    EXPECT_TRUE(Has(pages[0], "ALARM # 2   -   LOW 2C"));
    EXPECT_TRUE(Has(pages[0], "TH:  420     IN:  310"));

    // vm418ctl prints the same bands from the database, in the list's (stored) order.
    const auto vm418ctl = [&](const QStringList& args) {
        QProcess p;
        p.start(VM418CTL_PATH, QStringList{"--db", db} + args);
        p.waitForFinished(60000);
        return p.exitCode();
    };
    const QString cli = PdfPath("cli.pdf");
    ASSERT_EQ(vm418ctl({"print", "alarms", "--system", "7", "--from", "2026-03-03", "--to",
                        "2026-03-03", "--pdf", cli}),
              0);
    const QStringList cliPages = PdfPages(cli);
    ASSERT_EQ(cliPages.size(), pages.size());
    EXPECT_EQ(cliPages[0].count("ALARM # "), perPage);
    EXPECT_TRUE(Has(cliPages[0], "Gate 7,  Serial# S-7  - ALARMS"));
    const auto cliExtent = GraphExtentMm(cli);  // the same bands as the window's
    EXPECT_NEAR(cliExtent.first, graphLeft, 0.5);
    EXPECT_NEAR(cliExtent.second, graphRight, 0.5);
    // A failed print leaves the file as it was.
    const QByteArray cliBytes = Bytes(cli);
    EXPECT_EQ(vm418ctl({"print", "history", "--system", "8", "--pdf", cli}), 1);  // no system 8
    EXPECT_EQ(vm418ctl({"print", "alarms", "--system", "7"}), 2);                 // no --pdf
    ASSERT_TRUE(QDir().mkpath(cli + ".part"));
    EXPECT_EQ(vm418ctl({"print", "alarms", "--system", "7", "--pdf", cli}), 1);
    EXPECT_EQ(Bytes(cli), cliBytes);

    // A row whose alarm is gone from the map is skipped.
    vm418::AlarmMap map = Records().alarmMap;
    std::vector<int> keys = view->Rows().Keys();
    map.erase(keys[1]);
    const QString gone = PdfPath("gone.pdf");
    EXPECT_GT(PrintPdfFile(
                  gone, "Gate 7",
                  [&](QPagedPaintDevice& device) {
                      return PrintAlarmPages(device, "Gate 7", map, keys, view->Graph(),
                                             QDateTime::currentDateTime());
                  },
                  error),
              0);
    EXPECT_EQ(PdfPages(gone).join("").count("ALARM # "), 8);
}

// Lines per page: an exact multiple prints one more page with only the header; an empty
// list prints one header page. Sorting twice is ascending both times.
TEST_F(StationViews, HistoryViewSortsAndPrintsLinesPerPage) {
    vm418::HistoryMap map;
    const auto print = [&](const char* name, int events, const QString& title = "Gate 7") {
        map.clear();
        for (int i = 1; i <= events; ++i)
            map[i] =
                vm418::CHistory{i, QString("Event %1").arg(i), At(3, 3, 8, i / 60, i % 60), {}};
        std::vector<int> keys;
        for (const auto& [k, h] : map)
            keys.push_back(k);
        auto pdf = NewA4Pdf(PdfPath(name), title);
        PrintHistoryPages(*pdf, title, map, keys, QDateTime(QDate(2026, 3, 4), QTime(9, 5, 1)));
        pdf.reset();
        return PdfPages(PdfPath(name));
    };
    const QStringList one = print("one.pdf", 1);
    ASSERT_EQ(one.size(), 1);
    EXPECT_TRUE(Has(one[0], "Gate 7  - HISTORY")) << one[0].toStdString();
    EXPECT_TRUE(Has(one[0], "Printed 09:05:01, Mar 04,2026  page 1"));
    EXPECT_TRUE(Has(one[0], "03-03-26 08:00:01    Event 1"));
    const QStringList many = print("many.pdf", 150);
    ASSERT_GE(many.size(), 2);
    const int perPage = static_cast<int>(many[0].count("Event "));
    {
        // A page range: page 2 alone, with its own events and number.
        std::vector<int> keys;
        for (const auto& [k, h] : map)
            keys.push_back(k);
        auto pdf = NewA4Pdf(PdfPath("range.pdf"), "Gate 7");
        EXPECT_EQ(PrintHistoryPages(*pdf, "Gate 7", map, keys, QDateTime::currentDateTime(),
                                    PageRange{2, 2}),
                  1);
    }
    const QStringList second = PdfPages(PdfPath("range.pdf"));
    ASSERT_EQ(second.size(), 1);
    EXPECT_TRUE(second[0].contains("page 2"));
    EXPECT_TRUE(Has(second[0], QString("Event %1").arg(perPage + 1)));
    EXPECT_FALSE(second[0].contains("03-03-26 08:00:01"));  // event 1, on page 1
    const QStringList exact = print("exact.pdf", 2 * perPage);
    ASSERT_EQ(exact.size(), 3);
    EXPECT_EQ(exact[2].count("Event "), 0);
    EXPECT_TRUE(exact[2].contains("page 3"));
    const QStringList none = print("none.pdf", 0);
    ASSERT_EQ(none.size(), 1);
    EXPECT_TRUE(none[0].contains("page 1"));

    // The header's heading ends left of "Printed ...": in full when it fits (the header's
    // face has the widths of Times New Roman), cut short when it does not.
    {
        auto probe = NewA4Pdf(PdfPath("probe.pdf"), "");
        const QString family = QFontInfo(HeaderFont(*probe)).family();
        EXPECT_TRUE(family == "Times New Roman" || family == "Liberation Serif")
            << family.toStdString();
    }
    const auto headerGap = [&](const char* name) {
        const std::vector<PdfWord> words = PdfWords(PdfPath(name), 1);
        const auto at = std::find_if(words.begin(), words.end(),
                                     [](const PdfWord& w) { return w.text == "Printed"; });
        if (at == words.end()) return std::pair{QString("no Printed"), -1.0};
        QStringList heading;
        double right = 0;
        for (auto w = words.begin(); w != at; ++w)
            if (std::abs(w->box.top() - at->box.top()) < 2) {
                heading << w->text;
                right = std::max(right, w->box.right());
            }
        return std::pair{heading.join(' '), at->box.left() - right};
    };
    const auto [fits, fitsGap] = headerGap("one.pdf");
    EXPECT_EQ(fits, "Gate 7 - HISTORY");
    EXPECT_GT(fitsGap, 0);
    print("long.pdf", 1, "Unit at the north gate of the harbour,  Serial# SN-2026-0418-77");
    const auto [cut, cutGap] = headerGap("long.pdf");
    EXPECT_TRUE(cut.startsWith("Unit at the north gate")) << cut.toStdString();
    EXPECT_GT(cutGap, 0);
    EXPECT_TRUE(Has(PdfPages(PdfPath("long.pdf"))[0], "Printed 09:05:01, Mar 04,2026  page 1"));

    HistoryListModel rows(map);
    map = {{1, {5, "b", 30, {}}}, {2, {9, "B", 10, {}}}, {3, {7, QString(QChar(0xE9)), 20, {}}}};
    rows.Fill();
    rows.SortBy(1);  // bytes as unsigned: "B" < "b" < 0xE9
    EXPECT_EQ(rows.Keys(), (std::vector<int>{2, 1, 3}));
    rows.SortBy(0);
    rows.SortBy(0);
    EXPECT_EQ(rows.Keys(), (std::vector<int>{2, 3, 1}));
    EXPECT_EQ(rows.headerData(0, Qt::Horizontal, Qt::DisplayRole).toString().size(), 23);
    EXPECT_EQ(rows.headerData(1, Qt::Horizontal, Qt::DisplayRole).toString().size(), 49);
}

// Views open once and are activated again; the document's first frame takes them along when
// it closes; "Change period" is offered only off line for the active data view.
TEST_F(StationViews, FirstFrameClosesTheDataViews) {
    // The history of 3 March: its first and last second are in, the seconds around are not.
    Records().SysID = 7;
    int seq = 0;
    for (std::time_t t :
         {At(3, 2, 23, 59, 59), At(3, 3, 0, 0, 0), At(3, 3, 23, 59, 59), At(3, 4, 0, 0, 0)}) {
        ++seq;
        Records().historyMap[seq] = vm418::CHistory{seq, QString("EV%1").arg(seq), t, {}};
    }
    ASSERT_EQ(Records().storeHistory(), 0);
    Records().historyMap.clear();
    AnswerPeriodWith(QDate(2026, 3, 3));
    frame->OpenDataView(ID_VIEW_HISTORY);
    auto* history = dynamic_cast<CHistView*>(frame->DataView(ID_VIEW_HISTORY));
    ASSERT_NE(history, nullptr);
    ASSERT_EQ(history->Rows().rowCount(), 2);
    EXPECT_EQ(history->Rows().data(history->Rows().index(0, 0), Qt::DisplayRole).toString(),
              "03-03-26 00:00:00");
    EXPECT_EQ(history->Rows().data(history->Rows().index(1, 0), Qt::DisplayRole).toString(),
              "03-03-26 23:59:59");
    EXPECT_EQ(history->Caption(), "Gate 7,  Serial# S-7  - HISTORY [Off Line]");
    frame->OpenDataView(ID_VIEW_HISTORY);
    EXPECT_EQ(frame->DataView(ID_VIEW_HISTORY), history);
    EXPECT_TRUE(frame->ChangePeriodAction()->isEnabled());
    frame->MonitoringView()->parentWidget()->close();
    ASSERT_TRUE(waitUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);  // closed frames go
        return frame->DataView(ID_VIEW_HISTORY) == nullptr;
    }));
    EXPECT_FALSE(frame->ChangePeriodAction()->isEnabled());
}
