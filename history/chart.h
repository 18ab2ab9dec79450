// The temperature chart: two series against the wall-clock time of the log,
// drawn from per-pixel min/max envelopes, so a chart never holds more than a
// few thousand lines whatever the span. The same painting serves the window
// and the PNG export.
#pragma once

#include <QWidget>

#include "history/series.h"

class QPainter;

namespace history {

// A span of log time in seconds (see measurement::LogRecord), [t0, t1).
struct TimeSpan {
    double t0 = 0;
    double t1 = 0;
    double width() const { return t1 - t0; }
    friend bool operator==(const TimeSpan&, const TimeSpan&) = default;
};

// Everything the series holds; a minute around a lone record; nothing when
// empty.
TimeSpan full_span(const Series& series);

// "Capteur 1 : min 18,2°C, max 23,4°C, moyenne 21,0°C", or "Capteur 1 :
// aucune mesure". sensor: 0 or 1.
QString statistics_text(const Extent& extent, int sensor);

// Draws the chart of span into area: the legend with each sensor's minimum,
// maximum and mean over the span, the temperature and time axes with labels
// that suit the span, and the two series, broken where a reading failed or
// records are missing.
void paint_chart(QPainter& painter, const QRect& area, const Series& series, const TimeSpan& span);

// The chart as a widget: mouse wheel and rubber band (right button, or Shift
// with the left one) to zoom, drag to pan, and the keys + - Left Right Home.
class ChartView : public QWidget {
    Q_OBJECT

public:
    // The series is not owned and must outlive the view.
    explicit ChartView(const Series& series, QWidget* parent = nullptr);

    TimeSpan span() const { return span_; }
    // Kept within the series and at least min_span wide.
    void set_span(const TimeSpan& span);
    void show_all();
    // factor < 1 zooms in; anchor keeps its place on the screen.
    void zoom(double factor, double anchor);
    // Moves the view by a fraction of its width (positive: later).
    void pan(double fraction);
    // After the series changed. A view that showed everything, or the end of
    // the series, follows the new end.
    void series_changed(bool replaced);

    // The narrowest span shown, in seconds.
    static constexpr double min_span = 10;

protected:
    void paintEvent(QPaintEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    double time_at(double x) const;
    void update_description();

    const Series& series_;
    TimeSpan span_;
    TimeSpan full_;  // full_span(series_) when the view last saw it
    enum class Drag { none, pan, band } drag_ = Drag::none;
    double drag_from_ = 0;
    double drag_to_ = 0;
    TimeSpan drag_span_;
};

}  // namespace history
