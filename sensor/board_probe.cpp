#include "sensor/board_probe.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "bus/iic.h"
#include "bus/posix_serial_control.h"
#include "sensor/bus_checks.h"
#include "sensor/read_sensor.h"

namespace sensor {
namespace {

using State = BoardProbe::State;

constexpr int first_sensor_address = 0x48;  // 7-bit, IC2; IC3 is the next one

// The text of a serial error without the device it names, which the caller
// shows already: "set modem line: Input/output error".
std::string without_device(const serial::SerialError& error)
{
    const std::string text = error.what();
    const std::string prefix = error.device() + ": ";
    return text.starts_with(prefix) ? text.substr(prefix.size()) : text;
}

std::string open_failure(int error_number)
{
    std::string text = std::strerror(error_number) + access_hint(error_number);
    if (error_number == ENOTTY) {
        text += " (not a serial port)";
    }
    return text;
}

}  // namespace

BoardProbe probe_board(serial::SerialControl& control) noexcept
{
    BoardProbe probe;
    try {
        iic::open_bus(control);
        if (!detail::idle_line_high()) {
            probe.state = State::line_low;
        } else {
            for (int index = 0; index < 2; ++index) {
                // The write address and at once a stop: the sensor
                // acknowledges, and is written nothing.
                iic::iic_start();
                probe.answered[static_cast<std::size_t>(index)] =
                    iic::iic_write_byte((first_sensor_address + index) << 1) == 0;
                iic::iic_stop();
            }
        }
    } catch (const serial::SerialError& error) {
        if (detail::port_open(control).value_or(false)) {
            probe = BoardProbe{State::failed, {}, without_device(error)};
        } else {
            const State state = error.error_number() == EBUSY ? State::busy : State::cannot_open;
            probe = BoardProbe{state, {}, open_failure(error.error_number())};
        }
    } catch (const std::exception& error) {
        const bool open = detail::port_open(control).value_or(false);
        probe = BoardProbe{open ? State::failed : State::cannot_open, {}, error.what()};
    }
    try {
        iic::close_bus();
    } catch (...) {
        // Closing a descriptor cannot be retried; the control lets it go anyway.
    }
    return probe;
}

std::string probe_text(const BoardProbe& probe, const ProbePhrases& phrases)
{
    const auto around = [&probe](std::string_view before, std::string_view after) {
        return std::string(before) + probe.reason + std::string(after);
    };
    switch (probe.state) {
    case State::probed:
        if (probe.answered[0] && probe.answered[1]) return std::string(phrases.both_sensors);
        if (probe.answered[0]) return std::string(phrases.sensor_1);
        if (probe.answered[1]) return std::string(phrases.sensor_2);
        return std::string(phrases.no_sensor);
    case State::line_low:
        return std::string(phrases.line_low);
    case State::busy:
        return std::string(phrases.busy);
    case State::cannot_open:
        return around(phrases.cannot_open_before, phrases.cannot_open_after);
    case State::failed:
        return around(phrases.failed_before, phrases.failed_after);
    }
    return {};
}

std::vector<serial::SerialDevice> candidates(const std::vector<std::string>& names, const serial::Devices& devices)
{
    std::vector<serial::SerialDevice> named;
    if (names.empty()) {
        if (devices.present) named = devices.present();
    } else {
        const std::vector<serial::SerialDevice> stable =
            devices.stable ? devices.stable() : std::vector<serial::SerialDevice>{};
        for (const std::string& name : names) {
            const auto known = std::find_if(stable.begin(), stable.end(), [&name](const serial::SerialDevice& d) {
                return d.device == name || d.stable == name;
            });
            named.push_back(known != stable.end() ? *known : serial::SerialDevice{name, {}});
        }
    }
    std::vector<serial::SerialDevice> once;
    for (serial::SerialDevice& device : named) {
        if (std::none_of(once.begin(), once.end(),
                         [&device](const serial::SerialDevice& d) { return d.device == device.device; })) {
            once.push_back(std::move(device));
        }
    }
    return once;
}

std::vector<Found> find_board(const std::vector<serial::SerialDevice>& candidates, const serial::ControlFactory& open)
{
    std::vector<Found> found;
    for (const serial::SerialDevice& candidate : candidates) {
        BoardProbe probe;
        if (const auto refusal = serial::device_path_refusal(candidate.device)) {
            probe = BoardProbe{State::cannot_open, {}, refusal->why};
        } else if (!open) {
            probe = BoardProbe{State::cannot_open, {}, open_failure(ENODEV)};
        } else {
            probe = probe_board(*open(candidate.device));
        }
        found.push_back({candidate, probe});
    }
    return found;
}

std::string other_devices_hint(const Reading& reading, const serial::Devices& devices)
{
    if (reading.unopened_device.empty() || !devices.present) {
        return {};
    }
    const std::string& named = reading.unopened_device;
    std::string others;
    for (const serial::SerialDevice& device : devices.present()) {
        if (device.device != named && device.stable != named) {
            others += (others.empty() ? "" : ", ") + device.device;
        }
    }
    return others.empty() ? others : "; other serial devices: " + others + "; `quelvane --find` probes them";
}

}  // namespace sensor
