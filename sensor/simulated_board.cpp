#include "sensor/simulated_board.h"

#include <cerrno>
#include <cmath>
#include <string>
#include <thread>
#include <utility>

namespace sensor {
namespace {

constexpr int first_address = 0x48;  // 7-bit address of IC2; IC3 is one more
constexpr std::size_t max_recorded_addresses = 4096;

}  // namespace

SimulatedBoard::SimulatedBoard() = default;

SimulatedBoard::Sensor& SimulatedBoard::check_index(int index)
{
    if (index < 0 || index >= sensor_count) {
        throw std::out_of_range("simulated board: no sensor " + std::to_string(index));
    }
    return sensors_[static_cast<std::size_t>(index)];
}

const SimulatedBoard::Sensor& SimulatedBoard::check_index(int index) const
{
    return const_cast<SimulatedBoard*>(this)->check_index(index);
}

// --- Serial control ------------------------------------------------------

void SimulatedBoard::set_CommPort(int port)
{
    std::lock_guard lock(mutex_);
    if (port < 1 || port > 4) {
        throw serial::SerialError("sim:COM" + std::to_string(port), "select port", EINVAL);
    }
    if (open_) {
        throw serial::SerialError(device(), "change port number while open",
                                  EBUSY);
    }
    port_ = port;
}

std::string SimulatedBoard::device_name() const
{
    std::lock_guard lock(mutex_);
    return device();
}

std::string SimulatedBoard::device() const { return "sim:COM" + std::to_string(port_); }

int SimulatedBoard::CommPort() const
{
    std::lock_guard lock(mutex_);
    return port_;
}

void SimulatedBoard::set_PortOpen(bool open)
{
    std::lock_guard lock(mutex_);
    if (open) {
        if (open_) {
            throw serial::SerialError(device(), "open", EBUSY);
        }
        if (open_error_ != 0) {
            throw serial::SerialError(device(), "open", open_error_);
        }
        ++counters_.opens;
        power_up();
    }
    // Opening or closing leaves both outputs low and every device idle.
    open_ = open;
    dtr_ = false;
    rts_ = false;
    phase_ = Phase::idle;
    slave_pull_ = false;
}

bool SimulatedBoard::PortOpen() const
{
    std::lock_guard lock(mutex_);
    return open_;
}

void SimulatedBoard::set_DTREnable(bool asserted)
{
    latency();
    {
        std::lock_guard lock(mutex_);
        drive(asserted, rts_);
    }
    after_write();
}

void SimulatedBoard::set_RTSEnable(bool asserted)
{
    latency();
    {
        std::lock_guard lock(mutex_);
        drive(dtr_, asserted);
    }
    after_write();
}

void SimulatedBoard::after_write()
{
    std::function<void(std::uint8_t)> hook;
    std::optional<std::uint8_t> heard;
    {
        std::lock_guard lock(mutex_);
        heard = std::exchange(address_heard_, std::nullopt);
        if (heard) {
            hook = address_hook_;
        }
    }
    if (hook) {
        hook(*heard);
    }
}

bool SimulatedBoard::CTSHolding()
{
    latency();
    std::lock_guard lock(mutex_);
    if (!open_) {
        throw serial::SerialError(device(), "read CTS", EBADF);
    }
    ++counters_.line_reads;
    return !unplugged_ && sda();
}

// --- Board set-up ---------------------------------------------------------

void SimulatedBoard::set_temperature(int index, double celsius)
{
    // The register holds half degrees in two's complement, msb first.
    const double halves = std::clamp(std::round(celsius * 2), -256.0, 255.0);
    const auto raw = static_cast<std::uint16_t>(static_cast<std::int16_t>(halves) * 128);
    set_register(index, static_cast<std::uint8_t>(raw >> 8), static_cast<std::uint8_t>(raw & 0xFF));
}

void SimulatedBoard::set_register(int index, std::uint8_t msb, std::uint8_t lsb)
{
    std::lock_guard lock(mutex_);
    Sensor& sensor = check_index(index);
    sensor.msb = msb;
    sensor.lsb = lsb;
}

void SimulatedBoard::set_present(int index, bool present)
{
    std::lock_guard lock(mutex_);
    Sensor& sensor = check_index(index);
    if (present && !sensor.present) {
        power_up(sensor);
    }
    sensor.present = present;
}

void SimulatedBoard::set_unplugged(bool unplugged)
{
    std::lock_guard lock(mutex_);
    unplugged_ = unplugged;
    // Whatever was under way is lost; plugged back, the devices wait for a start.
    phase_ = Phase::idle;
    slave_pull_ = false;
}

void SimulatedBoard::set_open_error(int error_number)
{
    std::lock_guard lock(mutex_);
    open_error_ = error_number;
}

void SimulatedBoard::set_conversion_time(std::chrono::microseconds time)
{
    std::lock_guard lock(mutex_);
    conversion_time_ = time;
}

void SimulatedBoard::set_line_latency(std::chrono::microseconds latency)
{
    std::lock_guard lock(mutex_);
    line_latency_ = latency;
}

void SimulatedBoard::stop_time()
{
    std::lock_guard lock(mutex_);
    stopped_time_ = Clock::now();
}

void SimulatedBoard::advance(std::chrono::microseconds time)
{
    std::lock_guard lock(mutex_);
    if (stopped_time_) {
        *stopped_time_ += time;
    }
}

void SimulatedBoard::set_address_hook(std::function<void(std::uint8_t address)> hook)
{
    std::lock_guard lock(mutex_);
    address_hook_ = std::move(hook);
}

SimulatedBoard::Clock::time_point SimulatedBoard::now() const { return stopped_time_.value_or(Clock::now()); }

SimulatedBoard::Counters SimulatedBoard::counters() const
{
    std::lock_guard lock(mutex_);
    return counters_;
}

std::vector<std::uint8_t> SimulatedBoard::addresses() const
{
    std::lock_guard lock(mutex_);
    return addresses_;
}

void SimulatedBoard::clear_record()
{
    std::lock_guard lock(mutex_);
    counters_ = Counters{};
    addresses_.clear();
}

std::optional<std::uint8_t> SimulatedBoard::config(int index) const
{
    std::lock_guard lock(mutex_);
    return check_index(index).config;
}

bool SimulatedBoard::converting(int index) const
{
    std::lock_guard lock(mutex_);
    return check_index(index).converting;
}

bool SimulatedBoard::dtr() const
{
    std::lock_guard lock(mutex_);
    return dtr_;
}

bool SimulatedBoard::rts() const
{
    std::lock_guard lock(mutex_);
    return rts_;
}

// --- The wire -------------------------------------------------------------

// Outside the lock, so that a test thread can look at the board meanwhile.
void SimulatedBoard::latency() const
{
    std::chrono::microseconds wait;
    {
        std::lock_guard lock(mutex_);
        wait = line_latency_;
    }
    if (wait.count() > 0) {
        std::this_thread::sleep_for(wait);
    }
}

// Every sensor idle with no measurement, as after switching the board on.
void SimulatedBoard::power_up()
{
    for (Sensor& sensor : sensors_) {
        power_up(sensor);
    }
}

void SimulatedBoard::power_up(Sensor& sensor)
{
    // Whether it is fitted and what it measures stay; the rest is new.
    Sensor fresh;
    fresh.present = sensor.present;
    fresh.msb = sensor.msb;
    fresh.lsb = sensor.lsb;
    sensor = fresh;
}

// The register takes the measurement once a conversion has run its time.
void SimulatedBoard::latch_finished_conversion(Sensor& sensor) const
{
    if (sensor.converting && now() >= sensor.converted_at) {
        sensor.reg_msb = sensor.msb;
        sensor.reg_lsb = sensor.lsb;
    }
}

bool SimulatedBoard::sda() const { return dtr_ && !slave_pull_; }

// One output changes per call, so at most one edge happens.
void SimulatedBoard::drive(bool dtr, bool rts)
{
    if (!open_) {
        throw serial::SerialError(device(), "set line", EBADF);
    }
    ++counters_.line_writes;
    if (unplugged_) {
        dtr_ = dtr;
        rts_ = rts;
        return;
    }
    const bool old_sda = sda();
    const bool old_scl = rts_;
    dtr_ = dtr;
    rts_ = rts;
    const bool new_sda = sda();
    const bool new_scl = rts_;

    if (old_scl && new_scl) {
        if (old_sda && !new_sda) {
            on_start();
        } else if (!old_sda && new_sda) {
            on_stop();
        }
    } else if (!old_scl && new_scl) {
        on_rising();
    } else if (old_scl && !new_scl) {
        on_falling();
    }
}

void SimulatedBoard::on_start()
{
    ++counters_.starts;
    phase_ = Phase::address;
    clock_ = 0;
    shift_ = 0;
    addressed_ = -1;
    slave_pull_ = false;
    reading_lsb_ = false;
    // The clock is still high from the start: its fall ends the start
    // condition, not a bit.
    start_hold_ = true;
}

void SimulatedBoard::on_stop()
{
    ++counters_.stops;
    phase_ = Phase::idle;
    addressed_ = -1;
    slave_pull_ = false;
}

// Data is sampled while the clock is high.
void SimulatedBoard::on_rising()
{
    switch (phase_) {
    case Phase::address:
    case Phase::writing:
        if (clock_ < 8) {
            shift_ = static_cast<std::uint8_t>((shift_ << 1) | (sda() ? 1 : 0));
        }
        break;
    case Phase::reading:
        if (clock_ == 8) {
            master_acked_ = !sda();
        }
        break;
    case Phase::idle:
    case Phase::ignoring:
        break;
    }
}

// The clock is low from here on: the devices change what they drive.
void SimulatedBoard::on_falling()
{
    if (start_hold_) {
        start_hold_ = false;
        return;
    }
    switch (phase_) {
    case Phase::address:
    case Phase::writing:
        if (clock_ < 8) {
            ++clock_;
            if (clock_ == 8) {
                byte_received(shift_);
            }
            return;
        }
        // End of the acknowledge clock.
        slave_pull_ = false;
        clock_ = 0;
        shift_ = 0;
        if (phase_ == Phase::address) {
            const bool read = address_read_;
            phase_ = read ? Phase::reading : Phase::writing;
            if (read) {
                sending_ = next_byte_to_send();
                put_bit();
            }
        }
        return;
    case Phase::reading:
        if (clock_ < 8) {
            ++clock_;
            if (clock_ < 8) {
                put_bit();
            } else {
                slave_pull_ = false;  // the master answers on the ninth clock
            }
            return;
        }
        if (master_acked_) {
            clock_ = 0;
            sending_ = next_byte_to_send();
            put_bit();
        } else {
            phase_ = Phase::ignoring;
            slave_pull_ = false;
        }
        return;
    case Phase::idle:
    case Phase::ignoring:
        return;
    }
}

void SimulatedBoard::byte_received(std::uint8_t byte)
{
    if (phase_ == Phase::address) {
        // The record is for looking at recent exchanges; a board that runs
        // for months (the demo) must not grow with it.
        if (addresses_.size() >= max_recorded_addresses) {
            addresses_.erase(addresses_.begin(), addresses_.begin() + max_recorded_addresses / 2);
        }
        addresses_.push_back(byte);
        address_heard_ = byte;
        address_read_ = (byte & 1) != 0;
        const int index = (byte >> 1) - first_address;
        if (index < 0 || index >= sensor_count || !sensors_[static_cast<std::size_t>(index)].present) {
            phase_ = Phase::ignoring;  // nobody acknowledges
            return;
        }
        addressed_ = index;
        sensors_[static_cast<std::size_t>(index)].command_pending = true;
        slave_pull_ = true;
        return;
    }

    Sensor& sensor = sensors_[static_cast<std::size_t>(addressed_)];
    if (sensor.command_pending) {
        sensor.command_pending = false;
        ++counters_.commands;
        switch (byte) {
        case 0xAC:
            sensor.pointer = Pointer::config;
            break;
        case 0xEE:
            if (!sensor.converting) {
                sensor.converting = true;
                sensor.converted_at = now() + conversion_time_;
            }
            sensor.pointer = Pointer::none;
            break;
        case 0x22:
            latch_finished_conversion(sensor);  // the last conversion stays
            sensor.converting = false;
            sensor.pointer = Pointer::none;
            break;
        case 0xAA:
            sensor.pointer = Pointer::temperature;
            break;
        case 0xA1:  // TH
        case 0xA2:  // TL
            sensor.pointer = Pointer::thermostat;
            break;
        default:
            sensor.pointer = Pointer::none;
            break;
        }
    } else if (sensor.pointer == Pointer::config) {
        sensor.config = byte;
        ++counters_.config_writes;
    } else if (sensor.pointer == Pointer::thermostat) {
        ++counters_.eeprom_writes;
    }
    slave_pull_ = true;
}

// Temperature reads alternate msb, lsb; other registers read as a released line.
std::uint8_t SimulatedBoard::next_byte_to_send()
{
    Sensor& sensor = sensors_[static_cast<std::size_t>(addressed_)];
    switch (sensor.pointer) {
    case Pointer::temperature: {
        // Converting continuously, the register follows the temperature once
        // the first conversion has finished.
        latch_finished_conversion(sensor);
        const bool first = reading_lsb_ == false;
        reading_lsb_ = !reading_lsb_;
        return first ? sensor.reg_msb : sensor.reg_lsb;
    }
    case Pointer::config:
        return sensor.config.value_or(0x00);
    case Pointer::thermostat:
    case Pointer::none:
        break;
    }
    return 0xFF;
}

// A device pulls the line low for a 0 and lets it float high for a 1.
void SimulatedBoard::put_bit() { slave_pull_ = ((sending_ >> (7 - clock_)) & 1) == 0; }

}  // namespace sensor
