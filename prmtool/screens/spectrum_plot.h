#pragma once

#include <QColor>
#include <QImage>
#include <QPainter>
#include <cstdint>

namespace prm {

// The console's picture panel (300 x 162): a frame, a base line and curves of points joined
// by lines and marked with circles.
class SpectrumPlot {
  public:
    static constexpr int kWidth = 300;
    static constexpr int kHeight = 162;
    static constexpr int kGammaScanLineX = 108;  // the line drawn over a gamma threshold scan
    static constexpr int kTopY = 10;             // points above the plot are kept at this y
    static const QColor kGammaBackground;        // yellow: gamma curves and the ADC spectrum
    static const QColor kNeutronBackground;      // aqua: neutron curves and off-line data

    SpectrumPlot();

    const QImage& image() const { return image_; }
    int plotWidth() const { return plotWidth_; }
    int plotHeight() const { return plotHeight_; }
    int x0() const { return x0_; }
    int y0() const { return y0_; }
    int yScale() const { return yScale_; }
    QColor background() const { return background_; }

    // Clears the picture to the background and draws the frame and its vertical line (at
    // 108 for a gamma scan, else in the middle) for a curve of `channels` points.
    void frame(const QColor& background, int yScale, int channels, bool gammaScanLine);
    void setYScale(int yScale);
    void setChannels(int channels);

    // The point of channel i with value v.
    int pointX(int i) const;
    int pointY(int value) const;

    // Draws point i of the curve: a line from the last point (unless it is the first) and a
    // circle filled with the background.
    void plotPoint(int i, int value, int radius, bool first, const QColor& pen, bool clampTop);
    // A whole curve of n values.
    void plotCurve(const uint16_t* values, int n, int radius, const QColor& pen, bool clampTop);
    void verticalLine(int x, int yFrom, int yTo, const QColor& pen);

    float pixelsPerChannel() const { return pixelsPerChannel_; }
    void setPixelsPerChannel(float p) { pixelsPerChannel_ = p; }

  private:
    QImage image_;
    QColor background_;
    int plotWidth_;
    int plotHeight_;
    int x0_;
    int y0_;
    int yScale_ = 100;
    float pixelsPerChannel_ = 0;
    float pixelsPerCount_ = 0;
    int lastX_ = 0;
    int lastY_ = 0;
};

}  // namespace prm
