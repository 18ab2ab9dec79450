// The commands that need no display: --help, --version, --read, --log and
// --find, each through the same bus, sensor and log code as the window.
#pragma once

#include <QDateTime>
#include <chrono>
#include <functional>
#include <iosfwd>
#include <string>

#include "bus/serial_devices.h"
#include "cli/options.h"

namespace cli {

// The serial control for a device path: the real port (serial::open_port), or
// a simulated board for the tests and the demo.
using ControlFactory = serial::ControlFactory;

// Where the commands meet the world, so that tests can run them on a simulated
// board with a fixed clock and no signals.
struct Io {
    std::ostream& out;
    std::ostream& err;
    std::function<QDateTime()> now;
    // Returns at deadline, or earlier with false when --log is to end.
    std::function<bool(std::chrono::steady_clock::time_point deadline)> wait_until;
    // The serial devices present and how --find opens them; also named on
    // stderr when a port fails to open. Empty: there are none.
    serial::Devices devices = {};
    // How --log names what it reads from; empty: the device.
    std::string source = {};
};

// Runs a command other than the window and the history: its exit status
// (2 for a usage error, which opens no port).
int run_command(const Options& options, const ControlFactory& make_control, Io& io);
// The same on the standard streams and the system clock; SIGTERM, SIGINT and
// SIGHUP end --log after the reading in flight. devices and source as in Io.
int run_command(const Options& options, const ControlFactory& make_control, serial::Devices devices = {},
                const std::string& source = {});

}  // namespace cli
