#include "bus/iic.h"

namespace iic {
namespace {

// The control that every line operation acts on: empty until the first
// open_bus, used by nothing outside this module.
serial::SerialControl* bus_port = nullptr;

std::chrono::nanoseconds hold_time = standard_settle_time;

serial::SerialControl& port()
{
    if (bus_port == nullptr) {
        throw std::logic_error("iic: no bus port: open_bus must come first");
    }
    return *bus_port;
}

}  // namespace

void set_settle_time(std::chrono::nanoseconds hold) { hold_time = hold; }
std::chrono::nanoseconds settle_time() { return hold_time; }

void bit_delay()
{
    // Busy-wait: the holds are a few microseconds, far below what a sleep
    // can resolve, and must never be shorter than asked.
    if (hold_time.count() <= 0) {
        return;
    }
    const auto until = std::chrono::steady_clock::now() + hold_time;
    while (std::chrono::steady_clock::now() < until) {
    }
}

// sda_release writes the same level as sda_high but does not wait: it is the
// first step of a cell, and the step after it settles the lines anyway.
void sda_release() { port().set_DTREnable(true); }

void sda_high()
{
    port().set_DTREnable(true);
    bit_delay();
}

void sda_low()
{
    port().set_DTREnable(false);
    bit_delay();
}

void scl_high()
{
    port().set_RTSEnable(true);
    bit_delay();
}

void scl_low()
{
    port().set_RTSEnable(false);
    bit_delay();
}

std::int16_t sda_read() { return port().CTSHolding() ? -1 : 0; }

// Either state on entry; clock high and data low on return.
void iic_start()
{
    sda_release();
    sda_high();
    scl_high();
    sda_low();
}

// Either state on entry; idle (both lines high) on return.
void iic_stop()
{
    sda_release();
    sda_low();
    scl_high();
    sda_high();
}

void send_one()
{
    scl_low();
    sda_release();
    sda_high();
    scl_high();
    scl_low();
}

void send_zero()
{
    scl_low();
    sda_release();
    sda_low();
    scl_high();
    scl_low();
}

// The data line is released so the device can drive it while the clock is
// low; it is sampled after the clock has been raised.
std::int16_t read_bit()
{
    sda_release();
    scl_low();
    scl_high();
    const std::int16_t bit = sda_read();
    scl_low();
    return bit;
}

std::int16_t iic_write_byte(std::int32_t value)
{
    value &= 0xFF;  // only the eight low bits go out; keeps the doubling in range
    for (int round = 0; round < 8; ++round) {
        if ((value & 0x80) != 0) {
            send_one();
        } else {
            send_zero();
        }
        value *= 2;
    }
    return read_bit();
}

std::int16_t iic_read_byte(std::int16_t ack)
{
    std::int16_t value = 0;
    for (int round = 0; round < 8; ++round) {
        value = static_cast<std::int16_t>(value * 2);
        if (read_bit() != 0) {
            value = static_cast<std::int16_t>(value + 1);
        }
    }
    if (ack != 0) {
        send_zero();
    } else {
        send_one();
    }
    return value;
}

bool open_bus(serial::SerialControl& control)
{
    bus_port = &control;
    if (control.PortOpen()) {
        return false;
    }
    control.set_PortOpen(true);
    control.set_RTSEnable(true);
    control.set_DTREnable(true);
    return true;
}

void close_bus()
{
    if (bus_port != nullptr && bus_port->PortOpen()) {
        bus_port->set_PortOpen(false);
    }
}

void forget_bus(const serial::SerialControl& control) noexcept
{
    if (bus_port == &control) {
        bus_port = nullptr;
    }
}

}  // namespace iic
