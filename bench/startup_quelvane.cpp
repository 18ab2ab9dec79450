// Start-up and memory of the monitor, set up as quelvane-demo's main sets it
// up (application object, window on the demo board, Form_Load, show), with
// its first tick run as soon as the event loop starts instead of after the
// 1 s timer period. Prints one line of figures:
//   first_tick_ms  from the exec of the process to the first tick's title
//   vmrss_kb, vmhwm_kb  resident memory, now and at its peak, after 100 ticks
//   app_ms ... painted_ms  the same clock at each step on the way: the
//     application object made, the window made, settings loaded, shown, the
//     first tick begun, and the window drawn after it (paints: paint events
//     of a reading label so far; the first drawing loads the fonts)
// Run it in a scratch directory (it reads Quelvane.INI and may append to
// Quelvane.txt there), through quelvane_launch_timed for a precise start.
// The counterpart without the monitor is startup_bare.cpp.
#include <QApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "bench/paint_counter.h"
#include "bench/window_setup.h"
#include "window/close_on_signal.h"
#include "window/demo_board.h"

int main(int argc, char* argv[])
{
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quelvane"));
    QApplication::setQuitOnLastWindowClosed(true);
    const char* clock = "";
    const double app_ms = bench::ms_since_process_start(&clock);
    // A settings file that is missing would raise a modal box and stall here.
    bench::swallow_message_boxes();

    frm_quelvane window(window::make_demo_board(app));
    window::close_on_termination_signals(window);
    const double window_ms = bench::ms_since_process_start(&clock);
    window.Form_Load();
    const double loaded_ms = bench::ms_since_process_start(&clock);
    window.show();
    const double shown_ms = bench::ms_since_process_start(&clock);

    bench::PaintCounter painted;
    window.control("label_temperature_indoor")->installEventFilter(&painted);

    // By default the first tick is run as soon as the event loop starts, so
    // that the timer's period is not part of the figure; with --at-period it
    // comes from the timer itself, one period after start-up, as in use.
    const bool at_period = argc > 1 && std::string_view(argv[1]) == "--at-period";
    const auto measure = [&](bool tick_done) {
        const double tick_start_ms = bench::ms_since_process_start(&clock);
        if (!tick_done) {
            window.Timer1_Timer();
        }
        const double first_tick_ms = bench::ms_since_process_start(&clock);
        const QString first_title = window.windowTitle();
        // Let the first tick be painted, then 99 more ticks as fast as they go.
        QCoreApplication::processEvents();
        const double painted_ms = bench::ms_since_process_start(&clock);
        const long first_paints = painted.paints;
        for (int tick = 1; tick < 100; ++tick) {
            window.Timer1_Timer();
        }
        QCoreApplication::processEvents();
        std::printf("first_tick_ms=%.2f vmrss_kb=%ld vmhwm_kb=%ld app_ms=%.2f window_ms=%.2f loaded_ms=%.2f "
                    "shown_ms=%.2f tick_start_ms=%.2f painted_ms=%.2f paints=%ld clock=%s boxes=%ld title=%s\n",
                    first_tick_ms, bench::status_kb("VmRSS"), bench::status_kb("VmHWM"), app_ms, window_ms,
                    loaded_ms, shown_ms, tick_start_ms, painted_ms, first_paints, clock, bench::swallowed_message_boxes(),
                    first_title.toUtf8().constData());
        std::fflush(stdout);
        // Leave without the closing save: it is no part of what is measured.
        QCoreApplication::exit(0);
    };
    if (at_period) {
        // Connected after the tick's own slot, so it runs right after the tick.
        QObject::connect(&window.Timer1(), &QTimer::timeout, &window, [&] { measure(true); }, Qt::SingleShotConnection);
    } else {
        QTimer::singleShot(0, &window, [&] { measure(false); });
    }
    return QApplication::exec();
}
