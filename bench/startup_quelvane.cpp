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
// The first reading of each sensor after the port opens waits the conversion
// time (1 s), as it does in use; --no-conversion-wait leaves that out, so
// that the figures show the program's own cost beside the bare window's.
// Run it in a scratch directory (it reads Quelvane.INI and may append to
// Quelvane.txt there), through quelvane_launch_timed for a precise start.
// The counterpart without the monitor is startup_bare.cpp.
#include "bench/startup_probe.h"
#include "bench/window_setup.h"
#include "window/close_on_signal.h"
#include "sensor/read_sensor.h"
#include "window/demo_board.h"

int main(int argc, char* argv[])
{
    bench::use_offscreen_platform();
    QApplication app(argc, argv);
    bench::name_application();
    bench::StartupSteps steps;
    steps.app_ms = steps.now();
    if (bench::has_option(argc, argv, "--no-conversion-wait")) {
        sensor::set_conversion_wait([] {});
    }
    // A settings file that is missing would raise a modal box and stall here.
    bench::swallow_message_boxes();

    frm_quelvane window(window::make_demo_board(app));
    window::close_on_termination_signals(window);
    steps.window_ms = steps.now();
    window.Form_Load();
    steps.loaded_ms = steps.now();
    window.show();
    steps.shown_ms = steps.now();
    return bench::measure_first_tick(argc, argv, window, *window.control("label_temperature_indoor"), window.Timer1(),
                                     [&] { bench::run_tick(window); }, [&] { return window.tick_running(); }, steps,
                                     bench::swallowed_message_boxes);
}
