#include "sensor/read_sensor.h"

#include <bitset>
#include <cerrno>
#include <cstdio>
#include <thread>

#include "bus/iic.h"

namespace sensor {
namespace {

constexpr int access_config = 0xAC;
constexpr int start_convert = 0xEE;
constexpr int read_temperature = 0xAA;
// Polarity bit set, one-shot bit clear: the sensor converts continuously.
constexpr int config_continuous = 0x02;
constexpr int sensor_addresses = 8;  // the three address pins

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

std::string hex_address(int seven_bit)
{
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", seven_bit);
    return text;
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
    const int write_address = 0x90 + 2 * index;
    const int read_address = 0x91 + 2 * index;
    try {
        if (iic::open_bus(control) || session.control != &control) {
            session = Session{&control, {}};
        }
        iic::iic_stop();
        // The idle bus is held high by the pull-ups; a 0 here means the
        // adapter is unplugged or the data line is stuck.
        const bool idle_line_high = iic::sda_read() != 0;

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

        // In continuous mode the register holds the last completed
        // conversion, so only a sensor that has none yet is waited for.
        if (!session.converted[static_cast<std::size_t>(index)]) {
            conversion_wait();
        }

        iic::iic_start();
        address(write_address);
        iic::iic_write_byte(read_temperature);

        iic::iic_start();
        address(read_address);
        const int msb = iic::iic_read_byte(-1);
        const int lsb = iic::iic_read_byte(0);
        const double degrees = to_degrees(msb, lsb);
        iic::iic_stop();

        if (!idle_line_high) {
            return {READ_FAILED, control.device_name() +
                                     ": the data line reads low on an idle bus (adapter unplugged, or the line stuck)"};
        }
        if (unanswered != 0) {
            return {READ_FAILED, "no acknowledge at " + hex_address(unanswered >> 1)};
        }
        session.converted[static_cast<std::size_t>(index)] = true;
        return {degrees, {}};
    } catch (const serial::SerialError& error) {
        // Abandoned where it failed: no stop is sent, the port stays as it is.
        Reading failed{READ_FAILED, serial_failure(error)};
        try {
            if (!control.PortOpen()) {
                failed.unopened_device = error.device();
            }
        } catch (...) {
        }
        return failed;
    } catch (const std::exception& error) {
        return {READ_FAILED, error.what()};
    } catch (...) {
        return {READ_FAILED, "unknown error"};
    }
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
