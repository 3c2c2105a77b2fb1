#include "hosted_controls.h"

#include <QChart>
#include <QGraphicsLayout>
#include <QGraphicsScene>
#include <QPainter>
#include <algorithm>

namespace station {

Lamp::Lamp(const QString& caption, QColor onColour, QWidget* parent)
    : QWidget(parent), caption_(caption), onColour_(onColour) {
    setAccessibleName(caption);
}

void Lamp::SetOn(bool on) {
    if (on == on_) return;
    on_ = on;
    update();
}

QSize Lamp::sizeHint() const {
    return {fontMetrics().horizontalAdvance(caption_) + 28,
            std::max(20, fontMetrics().height() + 4)};
}

void Lamp::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const int d = std::min(height() - 4, 16);
    const QRect disc(2, (height() - d) / 2, d, d);
    p.setPen(Qt::darkGray);
    p.setBrush(on_ ? onColour_ : QColor(70, 70, 70));
    p.drawEllipse(disc);
    p.setPen(palette().color(QPalette::WindowText));
    p.drawText(QRect(disc.right() + 6, 0, width() - disc.right() - 6, height()),
               Qt::AlignVCenter | Qt::AlignLeft, caption_);
}

NumericField::NumericField(QWidget* parent) : QDoubleSpinBox(parent) {
    setDecimals(0);
    ClearLimits();
}

void NumericField::ClearLimits() {
    setRange(-1e9, 1e9);
}

CircularDial::CircularDial(QWidget* parent) : QDial(parent) {
    setRange(0, kCycle - 1);
    setWrapping(true);
    setNotchesVisible(true);
    setEnabled(false);  // shows, does not take input
}

GraphControl::GraphControl(QWidget* parent)
    : QChartView(parent), trace_(new QLineSeries), x_(new QValueAxis), y_(new QValueAxis) {
    auto* chart = new QChart;
    chart->legend()->hide();
    chart->addSeries(trace_);
    chart->addAxis(x_, Qt::AlignBottom);
    chart->addAxis(y_, Qt::AlignLeft);
    trace_->attachAxis(x_);
    trace_->attachAxis(y_);
    for (auto*& c : cursors_) {
        c = new QLineSeries;
        QPen pen(Qt::darkYellow);
        pen.setStyle(Qt::DashLine);
        c->setPen(pen);
        chart->addSeries(c);
        c->attachAxis(x_);
        c->attachAxis(y_);
    }
    x_->setLabelFormat("%.0f");
    y_->setLabelFormat("%g");
    chart->setMargins(QMargins(4, 4, 4, 4));
    setChart(chart);
    setRenderHint(QPainter::Antialiasing);
    SetYRange(0, 1);
    autoY_ = true;
}

void GraphControl::FitX() {
    // Whole-numbered ticks: the axis spans at least four steps and is rounded to nice
    // numbers.
    constexpr double kMinSpan = 4;
    const auto n = trace_->count();
    const double first = n > 0 ? trace_->at(0).x() : 0;
    x_->setRange(first, std::max(first + kMinSpan, n > 1 ? trace_->at(n - 1).x() : 0));
    x_->applyNiceNumbers();
    for (auto* c : cursors_) {
        if (c->count() == 2) c->replace({{x_->min(), c->at(0).y()}, {x_->max(), c->at(0).y()}});
    }
    if (!autoY_ || n == 0) return;
    double low = trace_->at(0).y(), high = low;
    for (const QPointF& pt : trace_->points()) {
        low = std::min(low, pt.y());
        high = std::max(high, pt.y());
    }
    const double margin = std::max(1.0, (high - low) / 10);
    y_->setRange(low - margin, high + margin);
    y_->setLabelFormat(high - low + 2 * margin >= 10 ? "%.0f" : "%g");
}

void GraphControl::SetTrace(const std::vector<double>& values) {
    QList<QPointF> points;
    for (size_t i = 0; i < values.size(); ++i)
        points.append({static_cast<double>(i), values[i]});
    trace_->replace(points);
    appended_ = static_cast<int>(values.size());
    FitX();
}

void GraphControl::Append(double value) {
    trace_->append(appended_++, value);
    if (history_ > 0 && trace_->count() > history_)
        trace_->removePoints(0, trace_->count() - history_);
    FitX();
}

void GraphControl::Clear() {
    trace_->clear();
    appended_ = 0;
    FitX();
}

void GraphControl::SetYRange(double low, double high) {
    autoY_ = false;
    y_->setRange(low, high);
    y_->setLabelFormat(high - low >= 10 ? "%.0f" : "%g");
}

void GraphControl::SetCursors(const std::vector<double>& ys) {
    for (size_t i = 0; i < cursors_.size(); ++i) {
        if (i < ys.size())
            cursors_[i]->replace({{x_->min(), ys[i]}, {x_->max(), ys[i]}});
        else
            cursors_[i]->clear();
    }
}

std::vector<double> GraphControl::CursorLevels() const {
    std::vector<double> out;
    for (const QLineSeries* c : cursors_)
        if (c->count() > 0) out.push_back(c->at(0).y());
    return out;
}

void GraphControl::SetPlotColour(const QColor& colour) {
    chart()->setBackgroundBrush(colour);
    chart()->setPlotAreaBackgroundBrush(colour);
    chart()->setPlotAreaBackgroundVisible(true);
}

GraphControl::PlotLook GraphControl::Look() const {
    return {chart()->backgroundBrush(), chart()->plotAreaBackgroundBrush(),
            chart()->isPlotAreaBackgroundVisible()};
}

void GraphControl::SetLook(const PlotLook& look) {
    chart()->setBackgroundBrush(look.background);
    chart()->setPlotAreaBackgroundBrush(look.plotArea);
    chart()->setPlotAreaBackgroundVisible(look.plotAreaShown);
}

void GraphControl::DrawInto(QPainter& painter, const QRectF& target) {
    if (target.width() <= 0 || target.height() <= 0) return;
    // Laid out 720 units wide, so that axis labels keep their size against the graph on any
    // page, then drawn stretched into the target; the chart gets its own size back after.
    constexpr qreal kLayoutWidth = 720;
    QChart* c = chart();
    const QRectF shown = c->geometry();
    c->setGeometry(QRectF(0, 0, kLayoutWidth, kLayoutWidth * target.height() / target.width()));
    if (c->layout()) c->layout()->activate();
    scene()->render(&painter, target, c->geometry(), Qt::IgnoreAspectRatio);
    c->setGeometry(shown);
    if (c->layout()) c->layout()->activate();
}

}  // namespace station
