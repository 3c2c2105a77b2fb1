// The display controls the station's forms place: an on/off lamp, and a graph of one trace
// with up to four horizontal cursors whose picture can also be drawn into a printed page.
#pragma once

#include <QBrush>
#include <QChartView>
#include <QColor>
#include <QDial>
#include <QDoubleSpinBox>
#include <QLineSeries>
#include <QValueAxis>
#include <QWidget>
#include <array>
#include <vector>

namespace station {

// An indicator lamp: a coloured disc with its caption.
class Lamp : public QWidget {
  public:
    explicit Lamp(const QString& caption, QColor onColour = Qt::red, QWidget* parent = nullptr);
    void SetOn(bool on);
    bool IsOn() const { return on_; }
    QSize sizeHint() const override;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QString caption_;
    QColor onColour_;
    bool on_ = false;
};

// A numeric edit field with an optional range.
class NumericField : public QDoubleSpinBox {
  public:
    explicit NumericField(QWidget* parent = nullptr);
    void SetNumber(double value) { setValue(value); }
    double Number() const { return value(); }
    void SetLimits(double minimum, double maximum) { setRange(minimum, maximum); }
    void ClearLimits();
};

// A circular dial showing a position in a cycle of 30 samples.
class CircularDial : public QDial {
  public:
    explicit CircularDial(QWidget* parent = nullptr);
    void SetSample(int sample) { setValue(((sample % kCycle) + kCycle) % kCycle); }
    static constexpr int kCycle = 30;
};

// A graph of one trace against x = 0, 1, 2 ...
class GraphControl : public QChartView {
  public:
    explicit GraphControl(QWidget* parent = nullptr);
    void SetTrace(const std::vector<double>& values);
    void Append(double value);
    void Clear();
    void SetYRange(double low, double high);
    // Up to four horizontal cursors, in order.
    void SetCursors(const std::vector<double>& ys);
    // What lies behind the trace: the chart's brush and its plot area's.
    struct PlotLook {
        QBrush background, plotArea;
        bool plotAreaShown = false;
    };
    PlotLook Look() const;
    void SetLook(const PlotLook& look);
    // A plain colour behind the trace (white while printing).
    void SetPlotColour(const QColor& colour);
    // Draws the graph filling `target` of a page (or any painter), laid out at the target's
    // proportions whatever size the control has on screen, or has not yet been given.
    void DrawInto(QPainter& painter, const QRectF& target);
    int Points() const { return static_cast<int>(trace_->count()); }
    double YLow() const { return y_->min(); }
    double YHigh() const { return y_->max(); }
    // The levels of the cursors that are set, in order.
    std::vector<double> CursorLevels() const;
    // The newest points kept when values are appended (a running graph).
    void SetHistory(int points) { history_ = points; }

  private:
    void FitX();

    QLineSeries* trace_;
    std::array<QLineSeries*, 4> cursors_{};
    QValueAxis* x_;
    QValueAxis* y_;
    int history_ = 0;  // 0: keep every point
    int appended_ = 0;
    bool autoY_ = true;
};

}  // namespace station
