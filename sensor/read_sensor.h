// One complete exchange with a DS1621-compatible temperature sensor on the
// serial-line bus.
#pragma once

#include <cstdint>

#include "bus/serial_control.h"

namespace sensor {

// The result of a failed reading, recognised by exact equality. No sensor
// reading can produce it: the register spans -128 to +128 degrees.
inline constexpr double READ_FAILED = 1000.0;

// Temperature register bytes to degrees Celsius: msb + lsb/256, less 256 for
// negative readings (two's complement in the msb).
double to_degrees(int msb, int lsb);

// Reads sensor `index` (0: IC2 at 7-bit address 0x48, 1: IC3 at 0x49) through
// `control`, opening the port on first use. Returns degrees Celsius, or
// READ_FAILED when the port cannot be used, the adapter does not hold the idle
// bus high, or the sensor does not acknowledge its address. Never throws.
double read_sensor(std::int16_t index, serial::SerialControl& control) noexcept;

}  // namespace sensor
