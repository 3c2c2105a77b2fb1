#include "spectrum_plot.h"

#include <cmath>

namespace prm {

const QColor SpectrumPlot::kGammaBackground(Qt::yellow);
const QColor SpectrumPlot::kNeutronBackground(Qt::cyan);

SpectrumPlot::SpectrumPlot()
    : image_(kWidth, kHeight, QImage::Format_RGB32),
      background_(Qt::white),
      plotWidth_(kWidth - 20),
      plotHeight_(kHeight - 20),
      x0_(10),
      y0_(plotHeight_ + 10) {
    image_.fill(Qt::white);
}

void SpectrumPlot::setYScale(int yScale) {
    yScale_ = yScale;
    // A zero scale would divide by zero: such a curve is never drawn.
    pixelsPerCount_ = yScale > 0 ? static_cast<float>(plotHeight_) / static_cast<float>(yScale) : 0;
}

void SpectrumPlot::setChannels(int channels) {
    pixelsPerChannel_ =
        channels > 0 ? static_cast<float>(plotWidth_) / static_cast<float>(channels) : 0;
}

void SpectrumPlot::frame(const QColor& background, int yScale, int channels, bool gammaScanLine) {
    background_ = background;
    setYScale(yScale);
    setChannels(channels);
    image_.fill(background);
    QPainter p(&image_);
    p.setPen(QPen(Qt::black, 1, Qt::SolidLine));
    const QPoint corners[] = {{x0_, y0_},
                              {x0_ + plotWidth_, y0_},
                              {x0_ + plotWidth_, y0_ - plotHeight_},
                              {x0_, y0_ - plotHeight_},
                              {x0_, y0_}};
    p.drawPolyline(corners, 5);
    const int lineX = gammaScanLine ? kGammaScanLineX : x0_ + plotWidth_ / 2;
    p.drawLine(lineX, y0_, lineX, y0_ - plotHeight_);
}

int SpectrumPlot::pointX(int i) const {
    return static_cast<int>(std::trunc(x0_ + (i + 1) * pixelsPerChannel_));
}

int SpectrumPlot::pointY(int value) const {
    return static_cast<int>(std::trunc(y0_ - (value * pixelsPerCount_ - 0.5f)));
}

void SpectrumPlot::plotPoint(int i, int value, int radius, bool first, const QColor& pen,
                             bool clampTop) {
    const int x = pointX(i);
    int y = pointY(value);
    if (clampTop && y < kTopY) y = kTopY;
    QPainter p(&image_);
    p.setPen(QPen(pen, 1));
    if (!first) p.drawLine(lastX_, lastY_, x, y);
    p.setBrush(background_);
    p.drawEllipse(QPoint(x, y), radius, radius);
    lastX_ = x;
    lastY_ = y;
}

void SpectrumPlot::plotCurve(const uint16_t* values, int n, int radius, const QColor& pen,
                             bool clampTop) {
    if (yScale_ <= 0) return;
    for (int i = 0; i < n; ++i)
        plotPoint(i, values[i], radius, i == 0, pen, clampTop);
}

void SpectrumPlot::verticalLine(int x, int yFrom, int yTo, const QColor& pen) {
    QPainter p(&image_);
    p.setPen(QPen(pen, 1));
    p.drawLine(x, yFrom, x, yTo);
}

}  // namespace prm
