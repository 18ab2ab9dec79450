#include "sensor/read_sensor.h"

#include <algorithm>
#include <atomic>
#include <bitset>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "bus/iic.h"
#include "sensor/bus_checks.h"

namespace sensor {
namespace {

constexpr int access_config = 0xAC;
constexpr int start_convert = 0xEE;
constexpr int read_temperature = 0xAA;
// Polarity bit set, one-shot bit clear: the sensor converts continuously.
constexpr int config_continuous = 0x02;
constexpr int sensor_addresses = 8;  // the three address pins
// The register after power-up, before any conversion has finished: -60.0 °C,
// which no DS1621 measures (its range is -55 to +125 °C).
constexpr int power_up_msb = 0xC4;
constexpr int power_up_lsb = 0x00;

constexpr std::chrono::milliseconds close_grace{2000};
constexpr std::chrono::milliseconds max_reading_wait{5000};

void sleep_max_conversion_time() { std::this_thread::sleep_for(max_conversion_time); }

ConversionWait conversion_wait = sleep_max_conversion_time;

// Which sensors have finished a reading since the port was last opened, and
// so hold a measurement. Like the bus port, only the thread that drives the
// bus touches it.
struct Session {
    const serial::SerialControl* control = nullptr;
    std::bitset<sensor_addresses> converted;
};
Session session;

// The longest read_sensor_with_reason so far, in steady-clock ticks; any thread.
std::atomic<std::chrono::steady_clock::rep> longest_reading{0};

std::string hex_address(int seven_bit)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", seven_bit);
    return text;
}

struct Register {
    int msb = 0;
    int lsb = 0;
};

// Reads the temperature register. The bus is idle on entry and on return.
template <class Address> Register read_register(int write_address, int read_address, Address& address)
{
    iic::iic_start();
    address(write_address);
    iic::iic_write_byte(read_temperature);

    iic::iic_start();
    address(read_address);
    Register value;
    value.msb = iic::iic_read_byte(-1);
    value.lsb = iic::iic_read_byte(0);
    iic::iic_stop();
    return value;
}

Reading exchange(std::int16_t index, serial::SerialControl& control)
{
    const int write_address = 0x90 + 2 * index;
    const int read_address = 0x91 + 2 * index;
    if (iic::open_bus(control) || session.control != &control) {
        session = Session{&control, {}};
    }
    const bool idle_line_high = detail::idle_line_high();

    // Every address byte must be acknowledged, or no sensor answered and
    // the bytes read are only what the floating line showed. The
    // exchange runs to its end either way, so the waveform does not
    // depend on the answers.
    int unanswered = 0;  // first address byte nobody acknowledged
    const auto address = [&unanswered](int byte) {
        if (iic::iic_write_byte(byte) != 0 && unanswered == 0) {
            unanswered = byte;
        }
    };

    iic::iic_start();
    address(write_address);
    iic::iic_write_byte(access_config);
    iic::iic_write_byte(config_continuous);

    iic::iic_start();
    address(write_address);
    iic::iic_write_byte(start_convert);
    iic::iic_stop();

    // In continuous mode the register holds the last completed conversion,
    // so only a sensor that has none yet is waited for; nobody is waited
    // for where nobody answered.
    const bool answered = idle_line_high && unanswered == 0;
    int waits = 0;
    if (answered && !session.converted[static_cast<std::size_t>(index)]) {
        conversion_wait();
        ++waits;
    }
    Register value = read_register(write_address, read_address, address);
    // A sensor that was powered up meanwhile (plugged in, or a board that
    // lost its supply) shows the power-up value until its first conversion
    // ends: never a temperature.
    const auto powering_up = [&value] { return value.msb == power_up_msb && value.lsb == power_up_lsb; };
    while (answered && powering_up() && waits < max_conversion_waits) {
        conversion_wait();
        ++waits;
        value = read_register(write_address, read_address, address);
    }

    if (!idle_line_high) {
        return {READ_FAILED,
                control.device_name() + ": the data line reads low on an idle bus (adapter unplugged, or the line stuck)",
                true};
    }
    if (unanswered != 0) {
        return {READ_FAILED, "no acknowledge at " + hex_address(unanswered >> 1)};
    }
    if (powering_up()) {
        const auto waited = std::chrono::duration_cast<std::chrono::seconds>(waits * max_conversion_time);
        return {READ_FAILED, "no conversion finished (the register still holds its power-up value after " +
                                 std::to_string(waited.count()) + " s)"};
    }
    return {to_degrees(value.msb, value.lsb), {}};
}

std::string serial_failure(const serial::SerialError& error)
{
    return error.what() + access_hint(error.error_number());
}

}  // namespace

double to_degrees(int msb, int lsb)
{
    const std::int32_t raw = msb * 256 + lsb;
    double degrees = static_cast<double>(raw) / 128 * 5 / 10;
    if (msb >= 128) {
        degrees -= 256;
    }
    return degrees;
}

void set_conversion_wait(ConversionWait wait)
{
    conversion_wait = wait ? std::move(wait) : ConversionWait(sleep_max_conversion_time);
}

Reading read_sensor_with_reason(std::int16_t index, serial::SerialControl& control) noexcept
{
    if (index < 0 || index >= sensor_addresses) {
        return {READ_FAILED, "no sensor " + std::to_string(index + 1) + " on the bus"};
    }
    const auto started = std::chrono::steady_clock::now();
    Reading reading;
    try {
        reading = exchange(index, control);
    } catch (const serial::SerialError& error) {
        // Abandoned where it failed: no stop is sent, the port stays as it is.
        reading = {READ_FAILED, serial_failure(error), true};
        // A port not known to be closed is not said to have failed to open.
        if (!detail::port_open(control).value_or(true)) {
            reading.unopened_device = error.device();
        }
    } catch (const std::exception& error) {
        reading = {READ_FAILED, error.what(), true};
    } catch (...) {
        reading = {READ_FAILED, "unknown error", true};
    }
    // A sensor that failed may be replaced or plugged in before the next
    // reading: that one waits for a conversion as after an opening.
    session.converted[static_cast<std::size_t>(index)] = reading.ok();

    const auto took = (std::chrono::steady_clock::now() - started).count();
    auto longest = longest_reading.load();
    while (took > longest && !longest_reading.compare_exchange_weak(longest, took)) {
    }
    return reading;
}

std::chrono::milliseconds reading_wait_limit()
{
    const auto longest = std::chrono::steady_clock::duration(longest_reading.load());
    return std::min(max_reading_wait, close_grace + std::chrono::ceil<std::chrono::milliseconds>(longest));
}

std::string access_hint(int error_number)
{
    if (error_number == EACCES || error_number == EPERM) {
        return " (the user needs read and write access to the device, usually by being in the dialout group)";
    }
    if (error_number == EBUSY) {
        return " (another program holds the port)";
    }
    return {};
}

double read_sensor(std::int16_t index, serial::SerialControl& control) noexcept
{
    return read_sensor_with_reason(index, control).celsius;
}

}  // namespace sensor
