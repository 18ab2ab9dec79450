// The yardstick for startup_quelvane.cpp: a bare widgets window with one
// label, set up the same way (same application object and settings, show,
// a 1 s QTimer whose tick sets the label text and the title, the first tick
// run as soon as the event loop starts). Prints the same line of figures.
#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "bench/paint_counter.h"
#include "bench/process_figures.h"

int main(int argc, char* argv[])
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quelvane"));
    QApplication::setQuitOnLastWindowClosed(true);
    const char* clock = "";
    const double app_ms = bench::ms_since_process_start(&clock);

    QWidget window;
    window.setWindowTitle(QStringLiteral("Quelvane"));
    // Built like the monitor's reading label: text from the start.
    auto* label = new QLabel(QStringLiteral("--.-"), &window);
    label->setGeometry(10, 10, 200, 40);

    int count = 0;
    const auto tick = [&] {
        ++count;
        label->setText(QString::number(20.0 + (count % 10) / 10.0, 'f', 1) + QStringLiteral("°C"));
        window.setWindowTitle(label->text());
    };
    QTimer timer(&window);
    timer.setInterval(1000);
    QObject::connect(&timer, &QTimer::timeout, &window, tick);
    timer.start();
    const double window_ms = bench::ms_since_process_start(&clock);
    window.show();
    const double shown_ms = bench::ms_since_process_start(&clock);

    bench::PaintCounter painted;
    label->installEventFilter(&painted);

    // By default the first tick is run as soon as the event loop starts, so
    // that the timer's period is not part of the figure; with --at-period it
    // comes from the timer itself, one period after start-up, as in use.
    const bool at_period = argc > 1 && std::string_view(argv[1]) == "--at-period";
    const auto measure = [&](bool tick_done) {
        const double tick_start_ms = bench::ms_since_process_start(&clock);
        if (!tick_done) {
            tick();
        }
        const double first_tick_ms = bench::ms_since_process_start(&clock);
        const QString first_title = window.windowTitle();
        // Let the first tick be painted, then 99 more ticks as fast as they go.
        QCoreApplication::processEvents();
        const double painted_ms = bench::ms_since_process_start(&clock);
        const long first_paints = painted.paints;
        for (int i = 1; i < 100; ++i) {
            tick();
        }
        QCoreApplication::processEvents();
        // Nothing to load: the settings step takes no time here.
        std::printf("first_tick_ms=%.2f vmrss_kb=%ld vmhwm_kb=%ld app_ms=%.2f window_ms=%.2f loaded_ms=%.2f "
                    "shown_ms=%.2f tick_start_ms=%.2f painted_ms=%.2f paints=%ld clock=%s boxes=0 title=%s\n",
                    first_tick_ms, bench::status_kb("VmRSS"), bench::status_kb("VmHWM"), app_ms, window_ms,
                    window_ms, shown_ms, tick_start_ms, painted_ms, first_paints, clock, first_title.toUtf8().constData());
        std::fflush(stdout);
        QCoreApplication::exit(0);
    };
    if (at_period) {
        // Connected after the tick's own slot, so it runs right after the tick.
        QObject::connect(&timer, &QTimer::timeout, &window, [&] { measure(true); }, Qt::SingleShotConnection);
    } else {
        QTimer::singleShot(0, &window, [&] { measure(false); });
    }
    return QApplication::exec();
}
