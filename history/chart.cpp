#include "history/chart.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QDateTime>
#include <QKeyEvent>
#include <QLocale>
#include <QPainter>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

#include "log/reading_text.h"

namespace history {
namespace {

const QColor sensor_colours[2] = {QColor(0xc0, 0x39, 0x2b), QColor(0x1f, 0x6f, 0xb2)};
const QColor grid_colour(0xe4, 0xe4, 0xe4);
const QColor axis_colour(0x60, 0x60, 0x60);

constexpr std::uint32_t minute = 60;
constexpr std::uint32_t hour = 3600;
constexpr std::uint32_t day = 86400;
// 1970-01-01 was a Thursday: weeks start on the Monday four days later.
constexpr std::uint32_t first_monday = 4 * day;

QString sensor_name(int sensor) { return sensor == 0 ? QStringLiteral("Capteur 1") : QStringLiteral("Capteur 2"); }

// The chart's parts within its area: the plot, with the legend above it and
// the labels at its left and below.
QRectF plot_rect(const QRect& area, const QFontMetrics& metrics)
{
    const int line = metrics.height();
    const int left = metrics.horizontalAdvance(QStringLiteral("-000,0")) + 14;
    return QRectF(area).adjusted(left, 2 * line + 14, -16, -(line + 12));
}

// A time label of the log's wall clock, in French.
QString time_label(std::uint32_t time, const QString& format)
{
    static const QLocale french(QLocale::French, QLocale::France);
    return french.toString(QDateTime::fromSecsSinceEpoch(time, Qt::UTC), format);
}

// --- The time axis -------------------------------------------------------------

// Tick steps, from seconds to decades: a step in seconds, or in months.
struct TimeStep {
    std::uint32_t seconds;
    int months;
};
constexpr TimeStep time_steps[] = {
    {1, 0},         {2, 0},        {5, 0},         {10, 0},        {15, 0},         {30, 0},
    {minute, 0},    {2 * minute, 0}, {5 * minute, 0}, {10 * minute, 0}, {15 * minute, 0}, {30 * minute, 0},
    {hour, 0},      {2 * hour, 0}, {3 * hour, 0},  {6 * hour, 0},  {12 * hour, 0},  {day, 0},
    {2 * day, 0},   {7 * day, 0},  {0, 1},         {0, 2},         {0, 3},          {0, 6},
    {0, 12},        {0, 24},       {0, 60},        {0, 120},
};

QString label_format(const TimeStep& step)
{
    if (step.months >= 12) {
        return QStringLiteral("yyyy");
    }
    if (step.months > 0) {
        return QStringLiteral("MMM yyyy");
    }
    if (step.seconds >= day) {
        return QStringLiteral("dd/MM");
    }
    return step.seconds >= minute ? QStringLiteral("HH:mm") : QStringLiteral("HH:mm:ss");
}

double step_seconds(const TimeStep& step)
{
    return step.months > 0 ? step.months * 30.44 * day : step.seconds;
}

// The finest step whose labels do not run into each other.
TimeStep choose_time_step(double span, double width, const QFontMetrics& metrics)
{
    for (const TimeStep& step : time_steps) {
        // The widest label of the format: digits are all about as wide.
        QString sample = label_format(step);
        for (QChar& c : sample) {
            c = c.isLetter() ? QChar(u'0') : c;
        }
        if (step.months > 0 && step.months < 12) {
            sample = QStringLiteral("sept. 0000");
        }
        const double label = metrics.horizontalAdvance(sample) + 2.0 * metrics.averageCharWidth();
        if (span / step_seconds(step) * label <= width) {
            return step;
        }
    }
    return time_steps[std::size(time_steps) - 1];
}

// The ticks of step in [t0, t1), with their labels. Ticks within a day show
// the date at midnight.
std::vector<std::pair<double, QString>> time_ticks(double t0, double t1, const TimeStep& step)
{
    std::vector<std::pair<double, QString>> ticks;
    const QString format = label_format(step);
    const double first = std::max(0.0, std::ceil(t0));
    if (step.months > 0) {
        const measurement::CivilTime start = measurement::civil_time(static_cast<std::uint32_t>(first));
        int months = start.year * 12 + (start.month - 1);
        months -= months % step.months;
        for (;; months += step.months) {
            const int year = months / 12;
            if (year > measurement::last_log_year) {
                break;
            }
            const double t = measurement::log_time({year, months % 12 + 1, 1, 0, 0, 0});
            if (t >= t1) {
                break;
            }
            if (t >= t0) {
                ticks.emplace_back(t, time_label(static_cast<std::uint32_t>(t), format));
            }
        }
        return ticks;
    }
    const double origin = step.seconds == 7 * day ? first_monday : 0;
    for (double t = std::ceil((first - origin) / step.seconds) * step.seconds + origin; t < t1; t += step.seconds) {
        const auto time = static_cast<std::uint32_t>(t);
        const bool midnight = step.seconds < day && time % day == 0;
        ticks.emplace_back(t, time_label(time, midnight ? QStringLiteral("dd/MM") : format));
    }
    return ticks;
}

// --- The temperature axis --------------------------------------------------------

struct ValueRange {
    double low;   // tenths of a degree
    double high;
    int step;     // between labels, in tenths
};

ValueRange value_range(const Summary& total, double height, const QFontMetrics& metrics)
{
    int low = INT16_MAX;
    int high = INT16_MIN;
    for (const Extent& extent : total.sensor) {
        if (extent.count > 0) {
            low = std::min<int>(low, extent.min);
            high = std::max<int>(high, extent.max);
        }
    }
    if (low > high) {
        low = 0;
        high = 300;
    }
    // At least a degree tall, with a little room above and below.
    double lower = low;
    double upper = high;
    if (upper - lower < 10) {
        const double middle = (upper + lower) / 2;
        lower = middle - 5;
        upper = middle + 5;
    }
    const double margin = (upper - lower) * 0.06;
    lower -= margin;
    upper += margin;
    const double most_labels = std::max(2.0, height / (2.2 * metrics.height()));
    int step = 1;
    for (const int candidate : {1, 2, 5, 10, 20, 50, 100, 200, 500, 1000, 2000, 5000, 10000}) {
        step = candidate;
        if ((upper - lower) / candidate <= most_labels) {
            break;
        }
    }
    return {lower, upper, step};
}

QString value_label(int tenths, int step)
{
    return step < 10 ? measurement::local_decimal_text(tenths / 10.0) : QString::number(tenths / 10);
}

// --- The series --------------------------------------------------------------------

// One sensor's line from the envelope: a vertical stroke from minimum to
// maximum in each pixel column, a line from each column to the next unless a
// failed reading or a time gap lies between them, and a dot for a reading
// joined to nothing.
void draw_sensor(QPainter& painter, const Series& series, const Envelope& envelope, int sensor, const QRectF& plot,
                 const ValueRange& range)
{
    const auto y = [&](double tenths) {
        return plot.bottom() - (tenths - range.low) / (range.high - range.low) * plot.height();
    };
    const auto x_of_time = [&](double t) {
        return plot.left() + (t - envelope.t0) / (envelope.t1 - envelope.t0) * plot.width();
    };
    const auto& records = series.records();
    const double column_width = plot.width() / static_cast<double>(envelope.columns.size());

    QVector<QLineF> lines;
    QVector<QPointF> dots;
    QPointF previous;
    bool has_previous = false;
    bool previous_alone = false;  // a single value that nothing joined yet
    if (envelope.begin > 0) {
        const LogRecord& before = records[envelope.begin - 1];
        if (reading(before, sensor) != measurement::no_value) {
            previous = QPointF(x_of_time(before.time), y(reading(before, sensor)));
            has_previous = true;
        }
    }
    for (std::size_t c = 0; c < envelope.columns.size(); ++c) {
        const Extent& extent = envelope.columns[c].sensor[sensor];
        if (extent.count == 0) {
            continue;
        }
        const double x = plot.left() + (static_cast<double>(c) + 0.5) * column_width;
        const bool joined = extent.first_joined && has_previous;
        if (joined) {
            lines.append(QLineF(previous, QPointF(x, y(extent.first))));
        } else if (previous_alone) {
            dots.append(previous);
        }
        if (extent.min != extent.max) {
            lines.append(QLineF(x, y(extent.min), x, y(extent.max)));
        }
        previous_alone = !joined && extent.min == extent.max;
        previous = QPointF(x, y(extent.last));
        has_previous = true;
    }
    const bool leaves = envelope.end < records.size() && series.joined(envelope.end, sensor);
    if (has_previous && leaves) {
        const LogRecord& after = records[envelope.end];
        lines.append(QLineF(previous, QPointF(x_of_time(after.time), y(reading(after, sensor)))));
    } else if (previous_alone) {
        dots.append(previous);
    }

    // Where columns hold several records each, strokes one pixel wide and
    // without antialiasing draw the same band several times faster.
    const bool dense = envelope.end - envelope.begin > envelope.columns.size();
    painter.setRenderHint(QPainter::Antialiasing, !dense);
    painter.setPen(dense ? QPen(sensor_colours[sensor], 1) : QPen(sensor_colours[sensor], 1.5, Qt::SolidLine, Qt::RoundCap));
    painter.drawLines(lines);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.setPen(QPen(sensor_colours[sensor], 4, Qt::SolidLine, Qt::RoundCap));
    painter.drawPoints(dots);
}

}  // namespace

TimeSpan full_span(const Series& series)
{
    if (series.empty()) {
        return {};
    }
    const double first = series.records().front().time;
    const double last = series.records().back().time;
    if (last - first < ChartView::min_span) {
        return {first - 30, last + 30};
    }
    return {first, last + 1};  // the last record inside the span
}

QString statistics_text(const Extent& extent, int sensor)
{
    if (extent.count == 0) {
        return sensor_name(sensor) + QStringLiteral(" : aucune mesure");
    }
    const double mean = static_cast<double>(extent.sum) / extent.count / 10.0;
    return sensor_name(sensor) + QStringLiteral(" : min ") + measurement::reading_text(extent.min / 10.0) +
           QStringLiteral(", max ") + measurement::reading_text(extent.max / 10.0) + QStringLiteral(", moyenne ") +
           measurement::reading_text(mean);
}

void paint_chart(QPainter& painter, const QRect& area, const Series& series, const TimeSpan& span)
{
    painter.save();
    painter.fillRect(area, Qt::white);
    const QFontMetrics metrics = painter.fontMetrics();
    const QRectF plot = plot_rect(area, metrics);
    const int columns = static_cast<int>(plot.width());
    if (columns < 2 || plot.height() < 2 || series.empty() || span.width() <= 0) {
        painter.setPen(axis_colour);
        painter.drawText(area, Qt::AlignCenter, QStringLiteral("Aucun relevé"));
        painter.restore();
        return;
    }
    const Envelope shown = envelope(series, span.t0, span.t1, columns);
    const ValueRange range = value_range(shown.total, plot.height(), metrics);
    const int line = metrics.height();

    // Legend: each sensor's colour and figures; the span at the right.
    const QString statistics[2] = {statistics_text(shown.total.sensor[0], 0),
                                   statistics_text(shown.total.sensor[1], 1)};
    painter.setRenderHint(QPainter::Antialiasing, true);
    for (int sensor = 0; sensor < 2; ++sensor) {
        const double baseline = area.top() + 6 + line * sensor + metrics.ascent();
        const double middle = baseline - metrics.ascent() / 2.0 + metrics.descent() / 2.0;
        painter.setPen(QPen(sensor_colours[sensor], 3));
        painter.drawLine(QPointF(plot.left(), middle), QPointF(plot.left() + 18, middle));
        painter.setPen(Qt::black);
        painter.drawText(QPointF(plot.left() + 24, baseline), statistics[sensor]);
    }
    {
        const QString shown_span =
            QStringLiteral("du ") + time_label(static_cast<std::uint32_t>(std::max(0.0, span.t0)), "dd/MM/yyyy HH:mm:ss") +
            QStringLiteral(" au ") +
            time_label(static_cast<std::uint32_t>(std::max(0.0, std::ceil(span.t1) - 1)), "dd/MM/yyyy HH:mm:ss");
        const double legend_width = plot.left() + 24 + std::max(metrics.horizontalAdvance(statistics[0]),
                                                                metrics.horizontalAdvance(statistics[1]));
        if (legend_width + metrics.horizontalAdvance(shown_span) + 24 < plot.right()) {
            painter.setPen(axis_colour);
            painter.drawText(QRectF(plot.left(), area.top() + 6, plot.width(), line), Qt::AlignRight, shown_span);
        }
    }

    // Grid and labels.
    painter.setRenderHint(QPainter::Antialiasing, false);
    const auto y = [&](double tenths) {
        return plot.bottom() - (tenths - range.low) / (range.high - range.low) * plot.height();
    };
    const int first_value = static_cast<int>(std::ceil(range.low / range.step)) * range.step;
    for (int value = first_value; value <= range.high; value += range.step) {
        painter.setPen(grid_colour);
        painter.drawLine(QPointF(plot.left(), y(value)), QPointF(plot.right(), y(value)));
        painter.setPen(axis_colour);
        painter.drawText(QRectF(area.left(), y(value) - line / 2.0, plot.left() - area.left() - 6, line),
                         Qt::AlignRight | Qt::AlignVCenter, value_label(value, range.step));
    }
    painter.drawText(QRectF(area.left(), plot.top() - line - 4, plot.left() - area.left() - 6, line),
                     Qt::AlignRight | Qt::AlignBottom, measurement::unit_suffix);
    const TimeStep step = choose_time_step(span.width(), plot.width(), metrics);
    for (const auto& [t, label] : time_ticks(span.t0, span.t1, step)) {
        const double x = plot.left() + (t - span.t0) / span.width() * plot.width();
        painter.setPen(grid_colour);
        painter.drawLine(QPointF(x, plot.top()), QPointF(x, plot.bottom()));
        painter.setPen(axis_colour);
        const double label_width = metrics.horizontalAdvance(label) + 4;
        const double left = std::clamp(x - label_width / 2, static_cast<double>(area.left()), area.right() - label_width);
        painter.drawText(QRectF(left, plot.bottom() + 4, label_width, line), Qt::AlignHCenter | Qt::AlignTop, label);
    }
    painter.setPen(axis_colour);
    painter.drawRect(plot);

    // The series, over the grid.
    painter.setClipRect(plot.adjusted(-2, -2, 2, 2));
    painter.setRenderHint(QPainter::Antialiasing, true);
    if (shown.total.sensor[0].count + shown.total.sensor[1].count == 0) {
        painter.setPen(axis_colour);
        painter.drawText(plot, Qt::AlignCenter, QStringLiteral("Aucune mesure sur cette période"));
    }
    for (const int sensor : {1, 0}) {  // sensor 1 on top
        draw_sensor(painter, series, shown, sensor, plot, range);
    }
    painter.restore();
}

// --- ChartView -------------------------------------------------------------------

namespace {

// Screen readers hear the chart as a chart, its description as the figures.
QAccessibleInterface* chart_accessible(const QString& class_name, QObject* object)
{
    if (class_name == QLatin1String("history::ChartView") && object != nullptr && object->isWidgetType()) {
        return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Chart);
    }
    return nullptr;
}

// span kept within full and at least ChartView::min_span wide.
TimeSpan fitted_span(const TimeSpan& span, const TimeSpan& full)
{
    TimeSpan fitted = span;
    if (fitted.width() < ChartView::min_span) {
        const double middle = (fitted.t0 + fitted.t1) / 2;
        fitted = {middle - ChartView::min_span / 2, middle + ChartView::min_span / 2};
    }
    if (fitted.width() >= full.width()) {
        return full;
    }
    if (fitted.t0 < full.t0) {
        return {full.t0, full.t0 + fitted.width()};
    }
    if (fitted.t1 > full.t1) {
        return {full.t1 - fitted.width(), full.t1};
    }
    return fitted;
}

}  // namespace

ChartView::ChartView(const Series& series, QWidget* parent) : QWidget(parent), series_(series)
{
    static const bool factory_installed = (QAccessible::installFactory(chart_accessible), true);
    (void)factory_installed;
    setFocusPolicy(Qt::StrongFocus);
    setMinimumSize(320, 200);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(QStringLiteral("Graphique des températures"));
    setToolTip(QStringLiteral("Molette : zoom · glisser : déplacer · bouton droit ou Maj + glisser : zoom sur une "
                              "période · + et − : zoom · flèches : déplacer · Début : tout voir"));
    show_all();
}

void ChartView::set_span(const TimeSpan& span)
{
    full_ = full_span(series_);
    const TimeSpan fitted = fitted_span(span, full_);
    if (fitted == span_) {
        return;
    }
    span_ = fitted;
    update_description();
    update();
}

void ChartView::show_all() { set_span(full_span(series_)); }

void ChartView::zoom(double factor, double anchor)
{
    set_span({anchor - (anchor - span_.t0) * factor, anchor + (span_.t1 - anchor) * factor});
}

void ChartView::pan(double fraction)
{
    const double shift = span_.width() * fraction;
    set_span({span_.t0 + shift, span_.t1 + shift});
}

void ChartView::series_changed(bool replaced)
{
    const TimeSpan before = full_;
    full_ = full_span(series_);
    if (replaced || span_ == before || before.width() <= 0) {
        span_ = full_;
    } else if (span_.t1 >= before.t1) {
        span_ = fitted_span({full_.t1 - span_.width(), full_.t1}, full_);  // following the end
    } else {
        span_ = fitted_span(span_, full_);
    }
    // The figures change even where the span stays.
    update_description();
    update();
}

void ChartView::update_description()
{
    const Summary total = series_.summarize(series_.lower_bound(span_.t0), series_.lower_bound(span_.t1));
    setAccessibleDescription(statistics_text(total.sensor[0], 0) + QStringLiteral(". ") +
                             statistics_text(total.sensor[1], 1) + QStringLiteral("."));
}

double ChartView::time_at(double x) const
{
    const QRectF plot = plot_rect(rect(), fontMetrics());
    return span_.t0 + (x - plot.left()) / std::max(1.0, plot.width()) * span_.width();
}

void ChartView::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    paint_chart(painter, rect(), series_, span_);
    if (drag_ == Drag::band) {
        const QRectF plot = plot_rect(rect(), fontMetrics());
        const QRectF band(QPointF(std::min(drag_from_, drag_to_), plot.top()),
                          QPointF(std::max(drag_from_, drag_to_), plot.bottom()));
        painter.fillRect(band, QColor(0x30, 0x60, 0xc0, 0x30));
        painter.setPen(QColor(0x30, 0x60, 0xc0));
        painter.drawRect(band);
    }
}

void ChartView::wheelEvent(QWheelEvent* event)
{
    const double notches = event->angleDelta().y() / 120.0;
    if (notches != 0) {
        zoom(std::pow(0.8, notches), time_at(event->position().x()));
    }
    event->accept();
}

void ChartView::mousePressEvent(QMouseEvent* event)
{
    const bool band = event->button() == Qt::RightButton ||
                      (event->button() == Qt::LeftButton && (event->modifiers() & Qt::ShiftModifier));
    if (!band && event->button() != Qt::LeftButton) {
        return QWidget::mousePressEvent(event);
    }
    drag_ = band ? Drag::band : Drag::pan;
    drag_from_ = drag_to_ = event->position().x();
    drag_span_ = span_;
    event->accept();
}

void ChartView::mouseMoveEvent(QMouseEvent* event)
{
    if (drag_ == Drag::none) {
        return QWidget::mouseMoveEvent(event);
    }
    drag_to_ = event->position().x();
    if (drag_ == Drag::pan) {
        const QRectF plot = plot_rect(rect(), fontMetrics());
        const double shift = (drag_from_ - drag_to_) / std::max(1.0, plot.width()) * drag_span_.width();
        set_span({drag_span_.t0 + shift, drag_span_.t1 + shift});
    } else {
        update();
    }
}

void ChartView::mouseReleaseEvent(QMouseEvent* event)
{
    if (drag_ == Drag::band && std::abs(drag_to_ - drag_from_) >= 4) {
        const double a = time_at(drag_from_);
        const double b = time_at(drag_to_);
        set_span({std::min(a, b), std::max(a, b)});
    }
    drag_ = Drag::none;
    update();
    event->accept();
}

void ChartView::mouseDoubleClickEvent(QMouseEvent* event)
{
    show_all();
    event->accept();
}

void ChartView::keyPressEvent(QKeyEvent* event)
{
    const double middle = (span_.t0 + span_.t1) / 2;
    switch (event->key()) {
    case Qt::Key_Plus:
    case Qt::Key_Equal:
        zoom(0.5, middle);
        break;
    case Qt::Key_Minus:
        zoom(2, middle);
        break;
    case Qt::Key_Left:
        pan(-0.25);
        break;
    case Qt::Key_Right:
        pan(0.25);
        break;
    case Qt::Key_Home:
        show_all();
        break;
    default:
        return QWidget::keyPressEvent(event);
    }
    event->accept();
}

}  // namespace history
