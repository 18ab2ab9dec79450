// Bit-banged two-wire (I2C) bus master over a serial port's control lines:
// DTR drives SDA, RTS drives SCL, CTS reads SDA back.
//
// Layers, each one function deep: line primitives, then the start and stop
// conditions and bit cells, then bytes. The driver checks no acknowledge and
// raises no error of its own: a failure of the serial control passes through.
#pragma once

#include <chrono>
#include <cstdint>

#include "bus/serial_control.h"

namespace iic {

// How long bit_delay holds a settled line state. A native UART answers an
// ioctl in about a microsecond, faster than RS-232 drivers slew and faster
// than a DS1621 may be clocked, so each settled state is held at least one
// standard-mode half clock (5 us). Simulated buses may shorten it to zero.
inline constexpr std::chrono::nanoseconds standard_settle_time{5000};
void set_settle_time(std::chrono::nanoseconds hold);
std::chrono::nanoseconds settle_time();

void bit_delay();

// Line primitives: one property access on the bus port each.
void sda_release();
void sda_high();
void sda_low();
void scl_high();
void scl_low();
// -1 when CTS is asserted (data line high), 0 otherwise.
std::int16_t sda_read();

// Start: data falls while clock is high; the clock is left high. Also serves
// as a repeated start.
void iic_start();
// Stop: data rises while clock is high; the bus is left idle, both lines high.
// On an idle bus it first makes a start, which resets every device.
void iic_stop();
// Bit cells: each begins by lowering the clock and ends with the clock low.
void send_one();
void send_zero();
// Returns the data line sampled while the clock is high (-1 or 0).
std::int16_t read_bit();

// Sends the eight low bits of value, most significant first, then clocks the
// acknowledge slot and returns it: 0 when a device pulled the line low.
std::int16_t iic_write_byte(std::int32_t value);
// Reads eight bits, most significant first, then answers on the ninth clock:
// acknowledge (more to come) when ack is non-zero, no acknowledge otherwise.
std::int16_t iic_read_byte(std::int16_t ack);

// Makes control the bus port. Opens it when closed and brings the bus to
// idle (clock, then data, high); an already open port has no line touched.
// Returns true when it opened the port: a board powered from the port has
// just been powered up.
bool open_bus(serial::SerialControl& control);
// Closes the bus port when one is stored and open; otherwise does nothing.
void close_bus();

// Forgets control if it is the bus port (called as a control is destroyed).
void forget_bus(const serial::SerialControl& control) noexcept;

}  // namespace iic
