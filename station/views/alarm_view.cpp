#include "alarm_view.h"

#include <QApplication>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMdiSubWindow>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <ctime>

#include "record_text.h"
#include "station_dialogs.h"
#include "station_print.h"
#include "vm418_doc.h"

namespace station {

namespace {

struct Column {
    const char* heading;
    int margin;
};
// Each column is as wide as its heading plus its margin.
constexpr Column kColumnTable[AlarmListModel::kColumns] = {
    {"Date and time", 60}, {" Len ", 15}, {" BG ", 25},        {" IN ", 25}, {" LO ", 25},
    {" TH ", 25},          {" HI ", 25},  {"Alarm level", 15}, {"Det#", 15}, {"Alarm#", 15},
};

// "%c" of the detector: a NUL detector shows nothing.
QString DetectorText(char detector) {
    return detector == 0 ? QString() : QString(QChar(static_cast<unsigned char>(detector)));
}

int Sign(long long d) {
    return d < 0 ? -1 : (d > 0 ? 1 : 0);
}

}  // namespace

QString AlarmCell(const vm418::alarms& a, int column) {
    switch (column) {
        case 0:
            return vm418::formatLocalTime(a.DateTime, "%m-%d-%y %H:%M:%S").left(18);
        case 1:
            return QString::number(a.Len);
        case 2:
            return QString::number(a.OutBG);
        case 3:
            return QString::number(a.InBG);
        case 4:
            return QString::number(a.Min);
        case 5:
            return QString::number(a.Threshold);
        case 6:
            return QString::number(a.Max);
        case 7:
            return QString::number(a.AlarmLevel);
        case 8:
            return DetectorText(a.Detector);
        case 9:
            return QString::number(a.AlarmNumber);
        default:
            return QString();
    }
}

QString AlarmDetailText(const vm418::alarms& a) {
    return vm418::alarmDetailLines(a).join(QStringLiteral("\r\n"));
}

QStringList AlarmPrintLines(const vm418::alarms& a) {
    return {
        QString::asprintf("ALARM # %d   -   %s %d", a.AlarmNumber,
                          qPrintable(vm418::levelWord(a.AlarmLevel)), a.AlarmLevel) +
            DetectorText(a.Detector) + QLatin1Char(' '),
        vm418::formatLocalTime(a.DateTime, "%m-%d-%y        %H:%M:%S"),
        QString::asprintf("T :  %8s   BG:  %d", qPrintable(a.bgTimeText()), a.OutBG),
        QString::asprintf("TH:  %-6d     IN:  %d", a.Threshold, a.InBG),
        QString::asprintf("HI:  %-6d     LO:  %d", a.Max, a.Min),
        QString::asprintf("P1:  %d   P2:%d  S :  %d", a.Len, a.Segment, a.Speed),
        QString::fromLatin1(vm418::kAlarmRule),
        QString::fromLatin1(vm418::kAlarmLegend),
        a.statusWordText(),
    };
}

int CompareAlarms(const vm418::alarms& a, const vm418::alarms& b, int column) {
    switch (column) {
        case 0:
            return Sign(static_cast<long long>(a.DateTime) - b.DateTime);
        case 1:
            return Sign(a.Len - b.Len);
        case 2:
            return Sign(a.OutBG - b.OutBG);
        case 3:
            return Sign(a.InBG - b.InBG);
        case 4:
            return Sign(a.Min - b.Min);
        case 5:
            return Sign(static_cast<long long>(a.Threshold) - b.Threshold);
        case 6:
            return Sign(a.Max - b.Max);
        case 7:
            return Sign(a.AlarmLevel - b.AlarmLevel);
        case 8:
            return Sign(static_cast<signed char>(a.Detector) -
                        static_cast<signed char>(b.Detector));
        case 9:
            return Sign(a.AlarmNumber - b.AlarmNumber);
        default:
            return 0;
    }
}

void LoadAlarmGraph(GraphControl& graph, const vm418::alarms& a) {
    const vm418::AlarmGraph g = vm418::alarmGraph(a);
    graph.SetTrace(g.values);
    graph.SetYRange(g.yLow, g.yHigh);
    graph.SetCursors({g.cursors.begin(), g.cursors.end()});
}

int PrintAlarmPages(QPagedPaintDevice& device, const QString& title, const vm418::AlarmMap& map,
                    const std::vector<int>& keys, GraphControl& graph, const QDateTime& printed,
                    const PageRange& range) {
    QPainter painter(&device);
    if (!painter.isActive()) return 0;
    // White behind the trace on paper; the screen's look comes back after the last page.
    const GraphControl::PlotLook look = graph.Look();
    graph.SetPlotColour(Qt::white);
    const QString heading = title + QStringLiteral("  - ALARMS ");
    const int rows = static_cast<int>(keys.size());
    int drawn = 0;
    for (int page = 1; !range.Past(page); ++page) {
        BeginPage(painter, range, page, drawn);
        QRect area(0, 0, device.width(), device.height());
        DrawPageHeader(painter, area, heading, page, printed);
        painter.setFont(BodyFont());
        const int t = QFontMetrics(painter.font(), &device).height();
        const int w = area.width() / 2;
        const int h = static_cast<int>(0.4 * w);
        // A band that does not fit still gets a page of its own, so printing always ends.
        const int perPage = std::max(1, area.height() / (h + 2 * t));
        int y = area.top();
        bool last = false;
        for (int i = (page - 1) * perPage; i < page * perPage; ++i) {
            if (i >= rows) {
                last = true;
                break;
            }
            const auto it = map.find(keys[static_cast<size_t>(i)]);
            if (it == map.end()) continue;
            const vm418::alarms& a = it->second;
            if (!range.Has(page)) continue;  // only the pages' extent matters
            LoadAlarmGraph(graph, a);
            graph.DrawInto(painter, QRectF(h / 3, y, w, h));
            const QStringList lines = AlarmPrintLines(a);
            const int x = w + 2 * (h / 3);
            for (int l = 0; l < lines.size(); ++l)
                painter.drawText(QRect(x, y + l * t, area.width() - x, t),
                                 Qt::AlignLeft | Qt::AlignTop, lines[l]);
            y += h + 2 * t;
        }
        if (last) break;
    }
    graph.SetLook(look);
    return drawn;
}

// ---- the list's rows ----

namespace {
std::array<const char*, AlarmListModel::kColumns> Headings() {
    std::array<const char*, AlarmListModel::kColumns> out{};
    for (int c = 0; c < AlarmListModel::kColumns; ++c)
        out[static_cast<size_t>(c)] = kColumnTable[c].heading;
    return out;
}
}  // namespace

AlarmListModel::AlarmListModel(const vm418::AlarmMap& map, QObject* parent)
    : RecordListModel(map, Headings(), AlarmCell, CompareAlarms, parent) {}

QVariant AlarmListModel::data(const QModelIndex& index, int role) const {
    if (role == Qt::DecorationRole && index.isValid() && index.column() == 0)
        return QApplication::style()->standardIcon(QStyle::SP_MessageBoxWarning).pixmap(16, 16);
    return RecordListModel::data(index, role);
}

// ---- the view ----

CAlarmView::CAlarmView(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent)
    : CStationView(doc, std::move(postCommand), parent) {
    model_ = new AlarmListModel(doc_.records.alarmMap, this);
    list_ = new QTableView;
    list_->setModel(model_);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->verticalHeader()->hide();
    list_->setShowGrid(false);
    list_->setIconSize(QSize(16, 16));
    list_->horizontalHeader()->setSectionsClickable(true);
    list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 4);
    graph_ = new GraphControl;
    graph_->setMinimumSize(396, 180);
    detailLabel_ = new QLabel;
    QFont courier(QStringLiteral("Courier"), 10);
    courier.setStyleHint(QFont::TypeWriter);
    detailLabel_->setFont(courier);
    detailLabel_->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    detailLabel_->setMinimumWidth(QFontMetrics(courier).horizontalAdvance(QString(26, 'M')));
    stopMoni_ = new Lamp(QStringLiteral("Stop MONI"));
    error_ = new Lamp(QStringLiteral("Error"));

    auto* lamps = new QHBoxLayout;
    lamps->addStretch();
    lamps->addWidget(stopMoni_);
    lamps->addWidget(error_);
    auto* right = new QVBoxLayout;
    right->addWidget(detailLabel_, 1);
    right->addLayout(lamps);
    auto* top = new QHBoxLayout;
    top->addWidget(graph_, 2);
    top->addLayout(right, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(top, 3);
    layout->addWidget(list_, 2);

    connect(list_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { SortByColumn(column); });
    connect(list_->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            [this](const QModelIndex& current) { ShowAlarm(current.row()); });
}

void CAlarmView::OnInitialUpdate() {
    const QFontMetrics metrics(list_->horizontalHeader()->font());
    for (int c = 0; c < AlarmListModel::kColumns; ++c) {
        const Column& column = kColumnTable[c];
        list_->setColumnWidth(
            c, metrics.horizontalAdvance(QString::fromLatin1(column.heading)) + column.margin);
    }
    if (auto* frame = qobject_cast<QMdiSubWindow*>(parentWidget()))
        frame->setWindowIcon(style()->standardIcon(QStyle::SP_MessageBoxWarning));
    if (doc_.linkState == LINK_OFF_LINE) AskPeriodAndLoad();
    Fill();
    SelectRow(0);
    RefreshLamps();
}

void CAlarmView::AskPeriodAndLoad() {
    // The load happens whichever button closed the dialog.
    doc_.records.loadAlarms(AskPeriod());
}

void CAlarmView::OnChangePeriod() {
    if (doc_.linkState != LINK_OFF_LINE) return;
    AskPeriodAndLoad();
    Fill();
    if (model_->rowCount() > 0)
        SelectRow(0);
    else
        ClearAlarm();
}

void CAlarmView::Fill() {
    model_->Fill();
}

void CAlarmView::SelectRow(int row) {
    if (row < 0 || row >= model_->rowCount()) {
        list_->selectionModel()->clearSelection();
        list_->selectionModel()->setCurrentIndex(QModelIndex(), QItemSelectionModel::NoUpdate);
        return;
    }
    const QModelIndex index = model_->index(row, 0);
    list_->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    ShowAlarm(row);
}

int CAlarmView::SelectedRow() const {
    const QModelIndexList rows = list_->selectionModel()->selectedRows();
    return rows.isEmpty() ? -1 : rows.front().row();
}

void CAlarmView::ShowAlarm(int row) {
    const vm418::alarms* a = model_->At(row);
    if (!a) return;
    LoadAlarmGraph(*graph_, *a);
    detail_ = AlarmDetailText(*a);
    detailLabel_->setText(QString(detail_).remove(QLatin1Char('\r')));
    list_->scrollTo(model_->index(row, 0));
}

void CAlarmView::ClearAlarm() {
    graph_->Clear();
    graph_->SetCursors({});
    detail_.clear();
    detailLabel_->clear();
}

void CAlarmView::SortByColumn(int column) {
    const vm418::alarms* selected = model_->At(SelectedRow());
    const int key = selected ? selected->Index : 0;
    model_->SortBy(column);
    if (key != 0) {
        const int row = model_->RowOf(key);
        list_->selectionModel()->setCurrentIndex(
            model_->index(row, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }
}

void CAlarmView::OnUpdate(int hint, int key) {
    if (hint == HINT_ALARMS) {
        Fill();
        const int row = model_->RowOf(key);
        if (row >= 0) {
            SelectRow(row);
        } else {
            SelectRow(-1);
            ClearAlarm();
        }
    }
    RefreshLamps();
}

QString CAlarmView::Caption() const {
    return CaptionOf("  - ALARMS ");
}

void CAlarmView::RefreshLamps() {
    stopMoni_->SetOn(doc_.monitoringStopped);
    error_->SetOn(doc_.lastStatus != 0);
}

int CAlarmView::Print(QPagedPaintDevice& device, const QDateTime& printed, const PageRange& range) {
    const int pages = PrintAlarmPages(device, doc_.title, doc_.records.alarmMap, model_->Keys(),
                                      *graph_, printed, range);
    // The graph and detail show the selected alarm again; with none selected they stay empty.
    const int row = SelectedRow();
    if (row >= 0)
        SelectRow(row);
    else
        ClearAlarm();
    return pages;
}

}  // namespace station
