// quelvane: shows the temperatures of one or two sensors read over a serial
// port's control lines. quelvane-demo: the same window on a simulated board.
#include <QApplication>
#include <QTimer>
#include <memory>
#include <string_view>

#include "history/history_command.h"
#include "window/close_on_signal.h"
#include "window/display.h"
#include "window/frm_quelvane.h"

#ifdef QUELVANE_DEMO
#include "window/demo_board.h"
#else
#include "bus/posix_serial_control.h"
#include "settings/ini.h"
#endif

namespace {

std::unique_ptr<serial::SerialControl> make_serial_control(QObject& owner)
{
#ifdef QUELVANE_DEMO
    return window::make_demo_board(owner);
#else
    (void)owner;
    // COM1..COM4 are /dev/ttyS0..3 unless the settings file maps them, e.g.
    // [Ports] COM1=/dev/ttyUSB0. Looked up at every open, so an edit takes
    // effect at the next port selection.
    return std::make_unique<serial::PosixSerialControl>([](int port) {
        const std::string key = "COM" + std::to_string(port);
        return ini::read_ini_section(ini::ports_section, key, serial::default_device_for_port(port));
    });
#endif
}

}  // namespace

int main(int argc, char* argv[])
{
    // Before anything else: the history never opens a port, and its exports
    // need no display.
    if (argc > 1 && std::string_view(argv[1]) == "--history") {
        const std::vector<std::string> arguments(argv + 2, argv + argc);
        if (history::needs_display(arguments) && !window::require_display(argc, argv)) {
            return 1;
        }
        return history::run_history(argc, argv, arguments);
    }
    // Before the toolkit, which aborts without a display, and before any port.
    if (!window::require_display(argc, argv)) {
        return 1;
    }
#ifdef QUELVANE_DEMO
    // The demo's settings and log are its own, never the monitor's.
    if (!window::enter_demo_folder()) {
        return 1;
    }
#endif
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quelvane"));
    QApplication::setQuitOnLastWindowClosed(true);

    frm_quelvane window(make_serial_control(app));
    window::close_on_termination_signals(window);
    // Loaded from inside the event loop, so that a termination signal that
    // arrives while the start-up message waits for OK still ends the program.
    QTimer::singleShot(0, &window, [&window] {
        window.Form_Load();
        window.show();
    });
    return QApplication::exec();
}
