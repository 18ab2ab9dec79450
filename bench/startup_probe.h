// What the two start-up programs share, so that the monitor and its bare
// yardstick are measured exactly alike: the offscreen application set-up,
// and the first tick, 99 more, and the one line of figures.
#pragma once

#include <QApplication>
#include <QTimer>
#include <QWidget>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string_view>

#include "bench/paint_counter.h"
#include "bench/process_figures.h"

namespace bench {

// Times since the process started (ms) at each step on the way.
struct StartupSteps {
    const char* clock = "";  // which clock ms_since_process_start used
    double app_ms = 0;       // the application object made
    double window_ms = 0;    // the window made
    double loaded_ms = 0;    // settings loaded
    double shown_ms = 0;     // shown

    double now() { return ms_since_process_start(&clock); }
};

inline bool has_option(int argc, char* argv[], std::string_view option)
{
    for (int i = 1; i < argc; ++i) {
        if (argv[i] == option) {
            return true;
        }
    }
    return false;
}

// Call before the application object exists.
inline void use_offscreen_platform() { ::setenv("QT_QPA_PLATFORM", "offscreen", 1); }

inline void name_application()
{
    QApplication::setApplicationName(QStringLiteral("Quelvane"));
    QApplication::setQuitOnLastWindowClosed(true);
}

// Runs the event loop until the first tick and 99 more have run, then prints
//   first_tick_ms vmrss_kb vmhwm_kb app_ms window_ms loaded_ms shown_ms
//   tick_start_ms painted_ms paints clock boxes title
// and exits. `tick` runs a tick to its end; `tick_running` tells whether
// one that the timer started is still under way. By default the first tick
// is run as soon as the event loop starts, so that the timer's period is not
// part of the figure; with --at-period it comes from `timer` itself, one
// period after start-up.
inline int measure_first_tick(int argc, char* argv[], QWidget& window, QWidget& reading, QTimer& timer,
                              const std::function<void()>& tick, const std::function<bool()>& tick_running,
                              StartupSteps steps, const std::function<long()>& message_boxes)
{
    PaintCounter painted;
    reading.installEventFilter(&painted);
    const auto measure = [&](bool tick_done) {
        const double tick_start_ms = steps.now();
        if (!tick_done) {
            tick();
        }
        while (tick_running()) {
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        }
        const double first_tick_ms = steps.now();
        const QString first_title = window.windowTitle();
        // Let the first tick be painted, then 99 more ticks as fast as they go.
        QCoreApplication::processEvents();
        const double painted_ms = steps.now();
        const long first_paints = painted.paints;
        for (int i = 1; i < 100; ++i) {
            tick();
        }
        QCoreApplication::processEvents();
        std::printf("first_tick_ms=%.2f vmrss_kb=%ld vmhwm_kb=%ld app_ms=%.2f window_ms=%.2f loaded_ms=%.2f "
                    "shown_ms=%.2f tick_start_ms=%.2f painted_ms=%.2f paints=%ld clock=%s boxes=%ld title=%s\n",
                    first_tick_ms, status_kb("VmRSS"), status_kb("VmHWM"), steps.app_ms, steps.window_ms,
                    steps.loaded_ms, steps.shown_ms, tick_start_ms, painted_ms, first_paints, steps.clock,
                    message_boxes(), first_title.toUtf8().constData());
        std::fflush(stdout);
        // Leave without any closing save: it is no part of what is measured.
        QCoreApplication::exit(0);
    };
    if (has_option(argc, argv, "--at-period")) {
        // Connected after the tick's own slot, so it runs right after the tick.
        QObject::connect(&timer, &QTimer::timeout, &window, [&] { measure(true); }, Qt::SingleShotConnection);
    } else {
        QTimer::singleShot(0, &window, [&] { measure(false); });
    }
    return QApplication::exec();
}

}  // namespace bench
