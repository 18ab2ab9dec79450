// Finding the sensor board among the serial devices: which one has sensors
// answering at 0x48 and 0x49.
//
// Probing is bus work and nothing more: the lines of every device probed are
// toggled (which resets some devices, such as a board that powers up on DTR),
// but no byte other than the two address bytes reaches the bus: no
// configuration, no conversion command, nothing to the sensors' EEPROM.
#pragma once

#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "bus/serial_control.h"
#include "bus/serial_devices.h"
#include "sensor/read_sensor.h"

namespace sensor {

struct BoardProbe {
    enum class State {
        probed,       // the bus was probed; answered says who acknowledged
        line_low,     // the data line reads low on the idle bus: nothing to probe
        busy,         // another program holds the device: skipped, never forced
        cannot_open,  // reason says why
        failed,       // a line call failed once open; reason says why
    };
    State state = State::probed;
    std::array<bool, 2> answered{};  // sensor 1 (IC2, 0x48), sensor 2 (IC3, 0x49)
    std::string reason;

    bool found() const { return state == State::probed && (answered[0] || answered[1]); }
};

// Opens control (closed on entry), brings the bus to idle, checks that the
// data line reads high, then tests each sensor's address for an acknowledge:
// a start, the write address, a stop. Closes control again, which leaves the
// device as it was found (exclusive mode cleared). Never throws.
BoardProbe probe_board(serial::SerialControl& control) noexcept;

// The words probe_text puts together (UTF-8), so that a window in another
// language says the same things in its own. A reason goes between its
// phrase's two parts.
struct ProbePhrases {
    std::string_view both_sensors;
    std::string_view sensor_1;
    std::string_view sensor_2;
    std::string_view no_sensor;
    std::string_view line_low;
    std::string_view busy;
    std::string_view cannot_open_before, cannot_open_after;
    std::string_view failed_before, failed_after;
};

inline constexpr ProbePhrases english_probe_phrases{
    .both_sensors = "sensors 1 and 2",
    .sensor_1 = "sensor 1",
    .sensor_2 = "sensor 2",
    .no_sensor = "no sensor",
    .line_low = "no sensor (the data line reads low on the idle bus)",
    .busy = "busy",
    .cannot_open_before = "cannot open: ",
    .cannot_open_after = "",
    .failed_before = "failed: ",
    .failed_after = "",
};

// What a probe found, for a person: "sensors 1 and 2", "sensor 1", "no
// sensor", "busy", "cannot open: Permission denied (…)".
std::string probe_text(const BoardProbe& probe, const ProbePhrases& phrases = english_probe_phrases);

struct Found {
    serial::SerialDevice device;
    BoardProbe probe;
};

// The devices to probe: those named, each with the stable name it has (a
// stable name stands for the device it leads to), or, with no names, every
// device present. Each device once, in order.
std::vector<serial::SerialDevice> candidates(const std::vector<std::string>& names, const serial::Devices& devices);

// Probes each candidate in turn, one device open at a time.
std::vector<Found> find_board(const std::vector<serial::SerialDevice>& candidates, const serial::ControlFactory& open);

// For a reading whose port could not be opened: "; other serial devices:
// /dev/ttyUSB0; `quelvane --find` probes them", naming the devices present
// other than the one the port names (by its device or its stable name).
// Empty when the port opened, or when no other device is present.
std::string other_devices_hint(const Reading& reading, const serial::Devices& devices);

}  // namespace sensor
