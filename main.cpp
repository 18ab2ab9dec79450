// quelvane: shows the temperatures of one or two sensors read over a serial
// port's control lines; with options, runs a command that needs no display
// instead (quelvane --help). quelvane-demo: the same on a simulated board.
#include <QApplication>
#include <QTimer>
#include <csignal>
#include <memory>

#include "cli/commands.h"
#include "history/history_command.h"
#include "log/measurement_log.h"
#include "window/close_on_signal.h"
#include "window/display.h"
#include "window/frm_quelvane.h"

#ifdef QUELVANE_DEMO
#include <filesystem>

#include "sensor/simulated_board.h"
#include "window/demo_board.h"
#else
#include "bus/posix_serial_control.h"
#include "bus/serial_devices.h"
#endif

namespace {

std::unique_ptr<serial::SerialControl> make_serial_control(QObject& owner)
{
#ifdef QUELVANE_DEMO
    return window::make_demo_board(owner);
#else
    (void)owner;
    // COM1..COM4 are /dev/ttyS0..3 unless the settings file maps them, e.g.
    // [Ports] COM1=/dev/ttyUSB0: the window looks that up at every port
    // selection, so an edit takes effect at the next one.
    return std::make_unique<serial::PosixSerialControl>();
#endif
}

// The control the commands read through, on the device they name.
std::unique_ptr<serial::SerialControl> make_command_control(const std::string& device)
{
#ifdef QUELVANE_DEMO
    (void)device;  // the demo never touches a port: its sensors at their centres
    return window::make_demo_sensors();
#else
    return serial::open_port(device);
#endif
}

// The devices --find and the window's "Ports série…" probe, and that a port
// failing to open names: the demo's own board alone, never a real device.
serial::Devices serial_devices()
{
#ifdef QUELVANE_DEMO
    return window::demo_devices();
#else
    return serial::system_devices();
#endif
}

// What --log says it reads from: the device, or the demo's board.
#ifdef QUELVANE_DEMO
const std::string command_source = "the simulated board";
#else
const std::string command_source;
#endif

}  // namespace

int main(int argc, char* argv[])
{
    // A reader of standard output or error that goes away (quelvane --log
    // 2>&1 | head -1) must not end the program: the write fails instead, and
    // each command decides what that means.
    std::signal(SIGPIPE, SIG_IGN);
    // Decided before any application object exists: the commands need no
    // display and never start the window's toolkit.
    cli::Options options = cli::parse_arguments(cli::arguments_of(argc, argv));
    // The window needs a display: said before the toolkit, which aborts
    // without one, and before any port or file is touched. The history's
    // exports need none.
    if (cli::shows_a_window(options) && !window::require_display(argv[0])) {
        return 1;
    }
#ifdef QUELVANE_DEMO
    // The demo's settings and log are its own, never the monitor's, for its
    // commands as for its window; its messages name its log in full.
    if (cli::uses_files(options.command) && !window::enter_demo_folder()) {
        return 1;
    }
    if (options.command == cli::Command::log) {
        options.file = std::filesystem::absolute(options.file.value_or(measurement::log_file_name)).string();
    }
#endif
    if (options.command == cli::Command::history) {
        return history::run_history(argc, argv,
                                    {options.history_file.value_or(measurement::log_file_name), options.png,
                                     options.csv, QSize(options.png_width, options.png_height)});
    }
    if (options.command != cli::Command::window) {
        return cli::run_command(options, make_command_control, serial_devices(), command_source);
    }
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quelvane"));
    QApplication::setQuitOnLastWindowClosed(true);

    frm_quelvane window(make_serial_control(app));
    window.set_serial_devices(serial_devices());
    window::close_on_termination_signals(window);
    // Loaded from inside the event loop, so that a termination signal that
    // arrives while the start-up message waits for OK still ends the program.
    QTimer::singleShot(0, &window, [&window] {
        window.Form_Load();
        window.show();
    });
    return QApplication::exec();
}
