// One complete exchange with a DS1621-compatible temperature sensor on the
// serial-line bus.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "bus/serial_control.h"

namespace sensor {

// The result of a failed reading, recognised by exact equality. No sensor
// reading can produce it: the register spans -128 to +128 degrees.
inline constexpr double READ_FAILED = 1000.0;

// Temperature register bytes to degrees Celsius: msb + lsb/256, less 256 for
// negative readings (two's complement in the msb).
double to_degrees(int msb, int lsb);

// A reading, and why it failed in words for a terminal or the journal:
// "/dev/ttyUSB0: open: Permission denied (…dialout group…)", "no acknowledge
// at 0x49", "/dev/ttyS0: the data line reads low on an idle bus (…)".
struct Reading {
    double celsius = READ_FAILED;
    std::string failure;  // empty when the reading succeeded
    // The failure lies with the port or the adapter (the port could not be
    // opened or used, or the data line reads low on the idle bus), so opening
    // the port afresh may mend it. A sensor that does not answer, or has no
    // conversion to give, is no such failure.
    bool port_fault = false;
    // When the port could not be opened: the device it names, so that a
    // message can point at the other devices present.
    std::string unopened_device = {};

    bool ok() const { return celsius != READ_FAILED; }
};

// Reads sensor `index` (0: IC2 at 7-bit address 0x48, 1: IC3 at 0x49) through
// `control`, opening the port on first use. Fails when the port cannot be
// used, the adapter does not hold the idle bus high, or the sensor does not
// acknowledge its address. Never throws.
//
// A DS1621 powers up idle, its temperature register holding no measurement
// (0xC4 0x00, -60.0 °C, below the -55 °C it can measure), and a board fed
// from the port powers up at every open. So the first reading of each sensor
// after the port was opened, or after that sensor failed (it may have just
// been plugged in), waits a conversion time between starting the conversion
// and reading the register; later readings do not pause (the sensor converts
// continuously). A register that still holds the power-up value is read
// again after a further conversion time, up to max_conversion_waits in all;
// then the reading fails: "no conversion finished".
Reading read_sensor_with_reason(std::int16_t index, serial::SerialControl& control) noexcept;

// The same, as degrees or READ_FAILED.
double read_sensor(std::int16_t index, serial::SerialControl& control) noexcept;

// What a user can do about a serial error, as " (…)" to follow its text: for
// EACCES and EPERM the dialout group, for EBUSY another program; else empty.
std::string access_hint(int error_number);

// The longest a DS1621 takes for one conversion.
inline constexpr std::chrono::milliseconds max_conversion_time{1000};
// How many conversion times one reading waits at most for a measurement.
inline constexpr int max_conversion_waits = 3;

// How the first reading after an opening waits for the conversion: by
// default sleeping max_conversion_time. Simulated boards may shorten it; a
// null function restores the default.
using ConversionWait = std::function<void()>;
void set_conversion_wait(ConversionWait wait);

// How long closing the port waits for a reading in flight before it goes on
// without it: 2 s beyond the longest reading made so far in this process
// (which holds the adapter's line latency and the conversion waits), and
// never more than 5 s. A reading still running then (a line call that never
// returns, on a wedged USB adapter) is left to end with the process.
std::chrono::milliseconds reading_wait_limit();

}  // namespace sensor
