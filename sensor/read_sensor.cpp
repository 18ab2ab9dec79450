#include "sensor/read_sensor.h"

#include "bus/iic.h"

namespace sensor {
namespace {

constexpr int access_config = 0xAC;
constexpr int start_convert = 0xEE;
constexpr int read_temperature = 0xAA;
// Polarity bit set, one-shot bit clear: the sensor converts continuously.
constexpr int config_continuous = 0x02;

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

double read_sensor(std::int16_t index, serial::SerialControl& control) noexcept
{
    // The address pins give eight possible sensors; anything else has no
    // address on the bus.
    if (index < 0 || index > 7) {
        return READ_FAILED;
    }
    const int write_address = 0x90 + 2 * index;
    const int read_address = 0x91 + 2 * index;
    try {
        iic::open_bus(control);
        iic::iic_stop();
        // The idle bus is held high by the pull-ups; a 0 here means the
        // adapter is unplugged or the data line is stuck.
        const bool idle_line_high = iic::sda_read() != 0;

        // Every address byte must be acknowledged, or no sensor answered and
        // the bytes read are only what the floating line showed. The
        // exchange runs to its end either way, so the waveform does not
        // depend on the answers.
        bool addressed = true;
        const auto address = [&addressed](int byte) {
            addressed = (iic::iic_write_byte(byte) == 0) && addressed;
        };

        iic::iic_start();
        address(write_address);
        iic::iic_write_byte(access_config);
        iic::iic_write_byte(config_continuous);

        iic::iic_start();
        address(write_address);
        iic::iic_write_byte(start_convert);
        iic::iic_stop();

        // No pause after starting the conversion: in continuous mode the
        // register holds the last completed conversion.
        iic::iic_start();
        address(write_address);
        iic::iic_write_byte(read_temperature);

        iic::iic_start();
        address(read_address);
        const int msb = iic::iic_read_byte(-1);
        const int lsb = iic::iic_read_byte(0);
        const double degrees = to_degrees(msb, lsb);
        iic::iic_stop();

        if (!idle_line_high || !addressed) {
            return READ_FAILED;
        }
        return degrees;
    } catch (...) {
        // Abandoned where it failed: no stop is sent, the port stays as it is.
        return READ_FAILED;
    }
}

}  // namespace sensor
