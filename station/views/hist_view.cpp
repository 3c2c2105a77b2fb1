#include "hist_view.h"

#include <QFontMetrics>
#include <QHeaderView>
#include <QMdiSubWindow>
#include <QPagedPaintDevice>
#include <QPainter>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>
#include <ctime>

#include "station_dialogs.h"
#include "station_print.h"
#include "vm418_doc.h"

namespace station {

namespace {

const char* const kHeadings[3] = {
    "    Date      Time     ",
    "                  Event                          ",
    "Seq #",
};
constexpr int kHeadingMargin = 15;
constexpr int kTextX = 20;

int Sign(long long d) {
    return d < 0 ? -1 : (d > 0 ? 1 : 0);
}

}  // namespace

QString HistoryCell(const vm418::CHistory& h, int column) {
    switch (column) {
        case 0: {
            std::tm tm{};
            localtime_r(&h.DateTime, &tm);
            char buf[32];
            const size_t n = std::strftime(buf, sizeof buf, "%m-%d-%y %H:%M:%S", &tm);
            return QString::fromLatin1(buf, static_cast<qsizetype>(n));
        }
        case 1:
            return h.Event;
        case 2:
            return QString::number(h.SeqNum);
        default:
            return QString();
    }
}

int CompareEvents(const vm418::CHistory& a, const vm418::CHistory& b, int column) {
    switch (column) {
        case 0:
            return Sign(static_cast<long long>(a.DateTime) - b.DateTime);
        case 1: {
            // Byte by byte as unsigned characters, case-sensitive.
            const QByteArray x = a.Event.toLatin1();
            const QByteArray y = b.Event.toLatin1();
            const int n = std::memcmp(x.constData(), y.constData(),
                                      static_cast<size_t>(std::min(x.size(), y.size())));
            return n != 0 ? Sign(n) : Sign(x.size() - y.size());
        }
        case 2:
            return Sign(static_cast<long long>(a.SeqNum) - b.SeqNum);
        default:
            return 0;
    }
}

int PrintHistoryPages(QPagedPaintDevice& device, const QString& title, const vm418::HistoryMap& map,
                      const std::vector<int>& keys, const QDateTime& printed,
                      const PageRange& range) {
    QPainter painter(&device);
    if (!painter.isActive()) return 0;
    const QString heading = title + QStringLiteral("  - HISTORY ");
    const int rows = static_cast<int>(keys.size());
    int drawn = 0;
    for (int page = 1; !range.Past(page); ++page) {
        BeginPage(painter, range, page, drawn);
        QRect area(0, 0, device.width(), device.height());
        DrawPageHeader(painter, area, heading, page, printed);
        painter.setFont(BodyFont());
        const int lineHeight = QFontMetrics(painter.font(), &device).height();
        const int perPage = std::max(1, area.height() / lineHeight);
        int y = area.top();
        bool last = false;
        for (int i = (page - 1) * perPage; i < page * perPage; ++i) {
            if (i >= rows) {
                last = true;
                break;
            }
            const auto it = map.find(keys[static_cast<size_t>(i)]);
            if (it != map.end()) {
                const QString line =
                    HistoryCell(it->second, 0) + QStringLiteral("    ") + it->second.Event;
                painter.drawText(QRect(area.left() + kTextX, y, area.width() - kTextX, lineHeight),
                                 Qt::AlignLeft | Qt::AlignTop, line);
            }
            y += lineHeight;
        }
        if (last) break;
    }
    return drawn;
}

// ---- the list's rows ----

HistoryListModel::HistoryListModel(const vm418::HistoryMap& map, QObject* parent)
    : RecordListModel(map, {kHeadings[0], kHeadings[1], kHeadings[2]}, HistoryCell, CompareEvents,
                      parent) {}

// ---- the view ----

CHistView::CHistView(CVM418Doc& doc, std::function<void(int)> postCommand, QWidget* parent)
    : CStationView(doc, std::move(postCommand), parent) {
    model_ = new HistoryListModel(doc_.records.historyMap, this);
    list_ = new QTableView;
    list_->setModel(model_);
    list_->setSelectionBehavior(QAbstractItemView::SelectRows);
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    list_->setShowGrid(true);
    list_->verticalHeader()->hide();
    list_->verticalHeader()->setDefaultSectionSize(list_->fontMetrics().height() + 4);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(list_);
    connect(list_->horizontalHeader(), &QHeaderView::sectionClicked, this,
            [this](int column) { SortByColumn(column); });
}

void CHistView::OnInitialUpdate() {
    const QFontMetrics metrics(list_->horizontalHeader()->font());
    for (int c = 0; c < HistoryListModel::kColumns; ++c)
        list_->setColumnWidth(
            c, metrics.horizontalAdvance(QString::fromLatin1(kHeadings[c])) + kHeadingMargin);
    if (auto* frame = qobject_cast<QMdiSubWindow*>(parentWidget()))
        frame->setWindowIcon(style()->standardIcon(QStyle::SP_FileDialogDetailedView));
    if (doc_.linkState == LINK_OFF_LINE) AskPeriodAndLoad();
    FillAndSort();
}

void CHistView::AskPeriodAndLoad() {
    doc_.records.loadHistory(AskPeriod());
}

void CHistView::OnChangePeriod() {
    if (doc_.linkState != LINK_OFF_LINE) return;
    AskPeriodAndLoad();
    FillAndSort();
}

void CHistView::FillAndSort() {
    model_->Fill();
    model_->SortBy(2);
}

void CHistView::SortByColumn(int column) {
    model_->SortBy(column);
}

void CHistView::OnUpdate(int hint, int) {
    // The main frame titles the frame from Caption() on hint 401.
    if (hint == HINT_HISTORY) FillAndSort();
}

QString CHistView::Caption() const {
    return CaptionOf("  - HISTORY ");
}

int CHistView::Print(QPagedPaintDevice& device, const QDateTime& printed, const PageRange& range) {
    return PrintHistoryPages(device, doc_.title, doc_.records.historyMap, model_->Keys(), printed,
                             range);
}

}  // namespace station
