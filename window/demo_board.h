// The simulated board the demo runs on: two sensors, indoor near 21 °C and
// outdoor near 8 °C, drifting slowly by half degrees.
#pragma once

#include <memory>
#include <string>

#include "bus/serial_control.h"
#include "bus/serial_devices.h"
#include "window/display.h"

class QObject;
namespace sensor {
class SimulatedBoard;
}

namespace window {

// The board with its sensors at their centres, still.
std::unique_ptr<sensor::SimulatedBoard> make_demo_sensors();

// The board, drifting: the drift runs on a timer owned by `owner`, which must
// outlive the board's use; the returned control is the board.
std::unique_ptr<serial::SerialControl> make_demo_board(QObject& owner);

// The serial devices as the demo sees them: its board alone, on a made-up
// device with a made-up stable name, so that a search finds it there. Any
// other device named fails to open (ENODEV): the demo never touches a real
// one.
inline constexpr const char* demo_device = "/dev/ttyDEMO0";
inline constexpr const char* demo_stable_name = "/dev/serial/by-id/usb-Quelvane_demo_board_DEMO0-if00-port0";
serial::Devices demo_devices();

// The folder of the demo's own settings and log, so that simulated readings
// never reach the monitor's files: $XDG_STATE_HOME/quelvane-demo, or
// ~/.local/state/quelvane-demo when XDG_STATE_HOME is unset, empty or not an
// absolute path. Empty when there is no home directory to put it in.
std::string demo_folder(const Environment& env = ::getenv);

// Creates the demo folder where missing (the folders made are private to the
// user) and makes it the current directory, where the window keeps its
// settings and log. Returns false after one line on standard error when the
// folder cannot be had: the demo then must not start.
bool enter_demo_folder();

}  // namespace window
