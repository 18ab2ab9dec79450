// The serial devices of the system, as a user chooses among them: the device
// nodes a sensor board may hang on, and the stable names udev gives USB
// adapters in /dev/serial/by-id/, which survive a reboot when ttyUSB0 and
// ttyUSB1 swap. Listing opens nothing.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "bus/serial_control.h"

namespace serial {

struct SerialDevice {
    std::string device;  // "/dev/ttyUSB0"
    std::string stable;  // "/dev/serial/by-id/usb-FTDI_…-if00-port0", or empty when it has none

    // The name to keep in the settings: the stable one where there is one.
    const std::string& lasting_name() const { return stable.empty() ? device : stable; }
    bool operator==(const SerialDevice&) const = default;
};

// The serial devices found under root + "/dev" (root is empty for the
// system's own /dev; tests give a scratch folder): /dev/ttyS0 to /dev/ttyS3,
// every /dev/ttyUSB<n> and /dev/ttyACM<n> in that order and by number, then
// the devices that the links of /dev/serial/by-id/ lead to and that are not
// listed yet. Each device once, with the stable name of the first by-id link
// (in name order) that leads to it. Only names that device_path_refusal
// accepts are given.
std::vector<SerialDevice> list_serial_devices(const std::string& root);

// Only the devices that have a stable name, from /dev/serial/by-id/ alone.
std::vector<SerialDevice> list_stable_names(const std::string& root);

// A serial control on one device.
using ControlFactory = std::function<std::unique_ptr<SerialControl>(const std::string& device)>;

// The real port on device, through PosixSerialControl (exclusive and locked).
// A device that device_path_refusal refuses (a [Ports] mapping in the
// settings file can name one) is never opened: every reading through it fails
// and says why.
std::unique_ptr<SerialControl> open_port(const std::string& device);

// Where the serial devices are found and opened: the system's, or what stands
// in for them in the tests and the demo. A member left empty finds or opens
// nothing.
struct Devices {
    std::function<std::vector<SerialDevice>()> present;  // as list_serial_devices
    std::function<std::vector<SerialDevice>()> stable;   // as list_stable_names
    ControlFactory open;
};

// The system's devices, opened by open_port.
Devices system_devices();

}  // namespace serial
