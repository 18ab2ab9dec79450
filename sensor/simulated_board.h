// A simulated sensor board behind the serial control: up to two
// DS1621-compatible sensors on a two-wire bus whose master drives DTR (data)
// and RTS (clock) and reads CTS (data back).
//
// It decodes the real waveform edge by edge, the way a device on the bus sees
// it: a start is data falling while the clock is high, a stop is data rising
// while the clock is high, bits are sampled on the rising clock, and a device
// changes what it drives (acknowledges, data bits) only while the clock is
// low. The data line is a wired AND of the master's output and every device.
//
// Safe to drive from one thread while another sets temperatures or faults.
#pragma once

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <vector>

#include "bus/serial_control.h"

namespace sensor {

class SimulatedBoard final : public serial::SerialControl {
public:
    static constexpr int sensor_count = 2;

    // Sensor 1 (IC2, 0x48) and sensor 2 (IC3, 0x49) present, both at 25.0 °C.
    SimulatedBoard();

    // --- The serial control, as the program uses it.
    void set_CommPort(int port) override;
    int CommPort() const override;
    void set_PortOpen(bool open) override;
    bool PortOpen() const override;
    void set_DTREnable(bool asserted) override;
    void set_RTSEnable(bool asserted) override;
    bool CTSHolding() override;
    std::string device_name() const override;  // "sim:COM1"

    // --- The board, as a test or the demo sets it up.
    // Temperature in °C, taken at the DS1621's 0.5 °C resolution.
    void set_temperature(int index, double celsius);
    // Raw temperature register, for values a DS1621 never sends.
    void set_register(int index, std::uint8_t msb, std::uint8_t lsb);
    // An absent sensor never answers its address. One made present again
    // has just been plugged in: it powers up.
    void set_present(int index, bool present);
    // An unplugged adapter: the board sees no line change and CTS is never
    // asserted.
    void set_unplugged(bool unplugged);
    // Makes opening the port fail with this errno (0: opens normally).
    void set_open_error(int error_number);
    // How long a conversion takes after 0xEE (default 0: at once). Until the
    // first one finishes after a power-up (every opening of the port), the
    // temperature register holds the DS1621's power-up value, -60 °C.
    void set_conversion_time(std::chrono::microseconds time);
    // How long every line write and CTS read takes, as on a USB adapter where
    // each one is a round trip (default 0).
    void set_line_latency(std::chrono::microseconds latency);
    // From here on the board's time (that of the conversions) stands still
    // but for advance(): a test's waits then do not depend on the machine's
    // speed.
    void stop_time();
    void advance(std::chrono::microseconds time);
    // Called on the thread that drives the bus, outside the board's lock,
    // after each address byte a device could answer (the eight bits of the
    // first byte after a start). A test may block in it to hold the bus
    // mid-reading.
    void set_address_hook(std::function<void(std::uint8_t address)> hook);

    // --- What happened on the wire.
    struct Counters {
        long line_writes = 0;  // DTR and RTS writes
        long line_reads = 0;   // CTS reads
        long starts = 0;       // start conditions seen (repeated ones too)
        long stops = 0;
        long opens = 0;
        long commands = 0;       // command bytes a sensor took after its address
        long config_writes = 0;  // bytes written to a configuration register
        long eeprom_writes = 0;  // bytes written to a thermostat limit (TH, TL), in EEPROM
    };
    Counters counters() const;
    // Address bytes received after each start, oldest first (the most recent
    // few thousand).
    std::vector<std::uint8_t> addresses() const;
    void clear_record();
    // Last configuration byte written to a sensor, if any.
    std::optional<std::uint8_t> config(int index) const;
    // Whether a sensor has been told to convert (0xEE) and not to stop (0x22).
    bool converting(int index) const;
    // The master's output levels (DTR, RTS) as last written.
    bool dtr() const;
    bool rts() const;

private:
    enum class Phase { idle, address, writing, reading, ignoring };
    enum class Pointer { none, config, temperature, thermostat };

    using Clock = std::chrono::steady_clock;
    static constexpr std::uint8_t power_up_msb = 0xC4;  // -60.0 °C
    static constexpr std::uint8_t power_up_lsb = 0x00;

    struct Sensor {
        bool present = true;
        std::uint8_t msb = 25;  // the temperature the sensor measures
        std::uint8_t lsb = 0;
        std::optional<std::uint8_t> config;
        bool converting = false;
        Clock::time_point converted_at{};  // end of the first conversion since 0xEE
        std::uint8_t reg_msb = power_up_msb;  // register until a conversion has finished
        std::uint8_t reg_lsb = power_up_lsb;
        Pointer pointer = Pointer::none;
        bool command_pending = true;  // next written byte is a command
    };

    std::string device() const;  // with the lock held
    Clock::time_point now() const;  // with the lock held
    void latch_finished_conversion(Sensor& sensor) const;
    void after_write();  // the address hook, outside the lock
    bool sda() const;
    void drive(bool dtr, bool rts);
    void on_start();
    void on_stop();
    void on_rising();
    void on_falling();
    void byte_received(std::uint8_t byte);
    std::uint8_t next_byte_to_send();
    void put_bit();
    void power_up();
    static void power_up(Sensor& sensor);
    void latency() const;
    Sensor& check_index(int index);
    const Sensor& check_index(int index) const;

    mutable std::mutex mutex_;
    int port_ = 1;
    bool open_ = false;
    int open_error_ = 0;
    std::chrono::microseconds conversion_time_{0};
    std::chrono::microseconds line_latency_{0};
    std::optional<Clock::time_point> stopped_time_;
    std::function<void(std::uint8_t)> address_hook_;
    std::optional<std::uint8_t> address_heard_;  // for the hook, since the last line write
    bool unplugged_ = false;
    bool dtr_ = false;
    bool rts_ = false;
    std::array<Sensor, sensor_count> sensors_{};

    // Decoder state, shared by every device on the bus.
    Phase phase_ = Phase::idle;
    int clock_ = 0;             // clocks of the current byte finished, 0..8
    std::uint8_t shift_ = 0;    // bits received so far
    std::uint8_t sending_ = 0;  // byte being sent by the addressed device
    int addressed_ = -1;
    bool slave_pull_ = false;   // a device holds the data line low
    bool master_acked_ = false;
    bool reading_lsb_ = false;  // next temperature byte is the lsb
    bool start_hold_ = false;   // clock still high since the last start
    bool address_read_ = false; // read bit of the last address byte

    Counters counters_;
    std::vector<std::uint8_t> addresses_;
};

}  // namespace sensor
