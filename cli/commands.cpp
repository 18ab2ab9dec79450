#include "cli/commands.h"

#include <QString>
#include <algorithm>
#include <array>
#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <poll.h>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "bus/iic.h"
#include "bus/serial_control.h"
#include "log/measurement_log.h"
#include "log/reading_text.h"
#include "process/stop_signals.h"
#include "publish/publishing.h"
#include "sensor/board_probe.h"
#include "sensor/read_sensor.h"
#include "settings/ini.h"
#include "settings/saved_choices.h"
#include "text/cp1252.h"

namespace cli {
namespace {

constexpr int max_sensors = 2;

// ISO 8601 with the offset from UTC: 2026-12-06T22:10:00+01:00.
std::string iso_time(const QDateTime& when)
{
    const int offset = when.offsetFromUtc();
    const int minutes = (offset < 0 ? -offset : offset) / 60;
    char zone[16];
    std::snprintf(zone, sizeof zone, "%c%02d:%02d", offset < 0 ? '-' : '+', minutes / 60, minutes % 60);
    return when.toString(QStringLiteral("yyyy-MM-dd'T'HH:mm:ss")).toStdString() + zone;
}

// Whether everything printed reached standard output: a script must not take
// output it never got for a success.
bool written(Io& io)
{
    if (io.out.flush()) {
        return true;
    }
    io.err << "quelvane: standard output could not be written" << std::endl;
    return false;
}

std::string sensor_name(int index) { return "sensor " + std::to_string(index + 1); }

// Hands a reading of sensor index (0 or 1) to the publishers, if any.
void publish_reading(publish::Publishing* publishing, int index, const sensor::Reading& reading,
                     std::chrono::seconds interval)
{
    if (publishing != nullptr) {
        publishing->reading({index + 1, reading.ok() ? std::optional(reading.celsius) : std::nullopt,
                             std::chrono::system_clock::now(), interval});
    }
}

// How long a single reading waits for the broker's acknowledgements.
constexpr std::chrono::seconds delivery_time{10};

// Tells err when a sensor fails, fails for another reason, or reads again.
class FailureReport {
public:
    explicit FailureReport(std::ostream& err) : err_(err) {}

    void sensor(int index, const sensor::Reading& reading)
    {
        std::string& told = told_[static_cast<std::size_t>(index)];
        if (reading.failure != told) {
            err_ << sensor_name(index) << ": " << (reading.ok() ? "reading again" : reading.failure) << std::endl;
            told = reading.failure;
        }
    }

    // error: 0 when the record was written, else as LogWriter::append says.
    void file(const std::string& path, int error)
    {
        const bool written = error == 0;
        if (written == file_written_) {
            return;
        }
        file_written_ = written;
        if (written) {
            err_ << "quelvane: writing to " << text::printable(path) << " again" << std::endl;
        } else {
            err_ << "quelvane: cannot write to " << text::printable(path) << " (" << measurement::log_error_text(error)
                 << "); the readings go on" << std::endl;
        }
    }

private:
    std::ostream& err_;
    std::array<std::string, max_sensors> told_;  // the failure last told, empty while reading
    bool file_written_ = true;
};

// One reading of sensors 1..sensors; prints them (text or JSON) and every
// failure, then closes the port; then waits for the publishers, if any. 0
// when every sensor was read (and published), else 1.
int run_read(serial::SerialControl& control, int sensors, bool json, Io& io, publish::Publishing* publishing)
{
    std::array<sensor::Reading, max_sensors> readings;
    bool all_read = true;
    for (int i = 0; i < sensors; ++i) {
        sensor::Reading& reading = readings[static_cast<std::size_t>(i)];
        reading = sensor::read_sensor_with_reason(static_cast<std::int16_t>(i), control);
        publish_reading(publishing, i, reading, std::chrono::seconds(0));
        if (!reading.ok()) {
            all_read = false;
            io.err << sensor_name(i) << ": " << reading.failure << sensor::other_devices_hint(reading, io.devices)
                   << '\n';
        }
    }
    iic::close_bus();

    if (json) {
        io.out << "{\"time\":\"" << iso_time(io.now()) << '"';
        for (int i = 0; i < sensors; ++i) {
            const sensor::Reading& reading = readings[static_cast<std::size_t>(i)];
            io.out << ",\"sensor" << i + 1 << "\":" << (reading.ok() ? measurement::decimal_text(reading.celsius) : "null");
        }
        io.out << "}\n";
    } else {
        for (int i = 0; i < sensors; ++i) {
            const sensor::Reading& reading = readings[static_cast<std::size_t>(i)];
            if (reading.ok()) {
                io.out << "sensor" << i + 1 << ' ' << measurement::decimal_text(reading.celsius) << '\n';
            }
        }
    }
    const bool printed = written(io);
    const bool delivered = publishing == nullptr || publishing->deliver(std::chrono::steady_clock::now() + delivery_time);
    return printed && all_read && delivered ? 0 : 1;
}

struct LogPlan {
    int sensors = 1;
    std::chrono::seconds every{1};
    std::string file;
    std::string device;  // for the messages only
    publish::Publishing* publishing = nullptr;
};

// A reading every plan.every appended to plan.file, as the window logs it,
// until io.wait_until says to end; then closes the port. Failures of a sensor
// or of the file are told on io.err once per change. Returns 0.
int run_log(serial::SerialControl& control, const LogPlan& plan, Io& io)
{
    io.err << "quelvane: logging " << (plan.sensors == 2 ? "sensors 1 and 2" : "sensor 1") << " from "
           << (io.source.empty() ? text::printable(plan.device) : io.source) << " every " << plan.every.count()
           << " s to " << text::printable(plan.file) << std::endl;
    FailureReport report(io.err);
    measurement::LogWriter log(plan.file);
    auto next = std::chrono::steady_clock::now();
    do {
        // The window's labels after a tick: a reading text, or the no-reading
        // text for a failed sensor and for sensor 2 in one-sensor mode.
        std::array<QString, max_sensors> shown{measurement::no_reading_text, measurement::no_reading_text};
        bool port_fault = false;
        for (int i = 0; i < plan.sensors; ++i) {
            const sensor::Reading reading = sensor::read_sensor_with_reason(static_cast<std::int16_t>(i), control);
            report.sensor(i, reading);
            publish_reading(plan.publishing, i, reading, plan.every);
            if (reading.ok()) {
                shown[static_cast<std::size_t>(i)] = measurement::reading_text(reading.celsius);
            }
            port_fault = port_fault || reading.port_fault;
        }
        if (port_fault) {
            // The next interval starts from a fresh open: an adapter that was
            // unplugged and came back is a new device behind the same name.
            // A sensor that does not answer is no reason: closing would power
            // the board down, and the other sensor would lose its readings
            // to the conversion wait of every opening.
            iic::close_bus();
        }
        report.file(plan.file, log.append(measurement::log_record(io.now(), shown[1], shown[0])));

        // Readings keep to their schedule; one that overran skips the times
        // it missed rather than bunching up.
        const auto now = std::chrono::steady_clock::now();
        next += plan.every;
        if (next <= now) {
            next += (now - next) / plan.every * plan.every + plan.every;
        }
    } while (io.wait_until(next));
    iic::close_bus();
    return 0;
}

std::string json_string(std::string_view text)
{
    std::string json = "\"";
    for (const char c : text) {
        if (c == '"' || c == '\\') {
            json += '\\';
        }
        json += c;
    }
    return json + '"';
}

// Probes the devices named, or every one present, and prints what each holds
// (a line each, or a JSON array), then how to use the first board found. 0
// when a board was found, else 1.
int run_find(const Options& options, Io& io)
{
    const std::vector<serial::SerialDevice> devices = sensor::candidates(options.devices, io.devices);
    const std::vector<sensor::Found> found = sensor::find_board(devices, io.devices.open);
    const auto board = std::find_if(found.begin(), found.end(), [](const sensor::Found& f) { return f.probe.found(); });
    if (options.json) {
        io.out << '[';
        for (const sensor::Found& each : found) {
            io.out << (&each == found.data() ? "" : ",") << "{\"device\":" << json_string(each.device.device)
                   << ",\"by_id\":" << (each.device.stable.empty() ? "null" : json_string(each.device.stable))
                   << ",\"found\":" << json_string(sensor::probe_text(each.probe)) << ",\"sensors\":[";
            const auto& answered = each.probe.answered;
            io.out << (answered[0] ? "1" : "") << (answered[0] && answered[1] ? "," : "") << (answered[1] ? "2" : "")
                   << ']';
            if (each.probe.found()) {
                io.out << ",\"port\":" << json_string(each.device.lasting_name());
            }
            io.out << '}';
        }
        io.out << "]\n";
        return written(io) && board != found.end() ? 0 : 1;
    }
    for (const sensor::Found& each : found) {
        io.out << each.device.device << (each.device.stable.empty() ? "" : " (" + each.device.stable + ")") << ": "
               << sensor::probe_text(each.probe) << '\n';
    }
    if (found.empty()) {
        io.out << "No serial device found.\n";
    } else if (board == found.end()) {
        io.out << "\nNo sensor board found.\n";
    } else {
        const std::string& name = board->device.lasting_name();
        io.out << "\nThe sensor board is on " << board->device.device
               << ". For the window (or its menu \"Ports série…\"), in Quelvane.INI:\n"
               << "[Ports]\nCOM1=" << name << "\nFor the commands: --port " << name << '\n';
    }
    return written(io) && board != found.end() ? 0 : 1;
}

}  // namespace

int run_command(const Options& options, const ControlFactory& make_control, Io& io)
{
    switch (options.command) {
    case Command::help:
        io.out << (options.history_help ? history_usage_text() : usage_text());
        return written(io) ? 0 : 1;
    case Command::version:
        io.out << version_text() << '\n';
        return written(io) ? 0 : 1;
    case Command::find:
        return run_find(options, io);
    case Command::read:
    case Command::log:
        break;
    case Command::usage_error:
    case Command::window:
    case Command::history:
        io.err << "quelvane: " << (options.command == Command::usage_error ? options.error : "not a command")
               << " (see quelvane --help)" << std::endl;
        return 2;
    }

    const ini::Snapshot settings = ini::Snapshot::read();
    const ini::SavedChoices saved = ini::saved_choices(settings);
    std::string device;
    if (!options.port) {
        device = ini::device_for_port(saved.port, settings);
    } else if (options.port->starts_with("COM")) {
        device = ini::device_for_port(options.port->back() - '0', settings);
    } else {
        device = *options.port;
    }
    const int sensors = options.sensors.value_or(saved.sensors);
    // Before the port is opened: a password file that cannot be read is a
    // bad option, and a metrics port that cannot be bound ends the command.
    std::unique_ptr<publish::Publishing> publishing;
    if (options.publishing.any()) {
        publish::Plan plan;
        if (std::string why = publish::make_plan(options.publishing, device, options.command == Command::read, plan);
            !why.empty()) {
            io.err << "quelvane: " << why << std::endl;
            return 2;
        }
        std::string error;
        publishing = publish::Publishing::start(plan, error);
        if (!publishing) {
            io.err << "quelvane: " << error << std::endl;
            return 1;
        }
        if (options.command == Command::log) {
            if (!publishing->mqtt_destination().empty()) {
                io.err << "quelvane: publishing to " << publishing->mqtt_destination() << std::endl;
            }
            if (!publishing->metrics_endpoint().empty()) {
                io.err << "quelvane: metrics at http://" << publishing->metrics_endpoint() << "/metrics" << std::endl;
            }
        }
    }
    const std::unique_ptr<serial::SerialControl> control = make_control(device);
    if (options.command == Command::read) {
        return run_read(*control, sensors, options.json, io, publishing.get());
    }
    const LogPlan plan{sensors, std::chrono::seconds(options.every_seconds.value_or(saved.every_seconds)),
                       options.file.value_or(measurement::log_file_name), device, publishing.get()};
    return run_log(*control, plan, io);
}

int run_command(const Options& options, const ControlFactory& make_control, serial::Devices devices,
                const std::string& source)
{
    // Only --log waits to be stopped; the other commands end by themselves
    // and keep the default actions, so Ctrl+C still interrupts a --read.
    std::optional<process::StopSignals> stop;
    std::optional<process::StopDeadline> deadline;
    if (options.command == Command::log) {
        stop.emplace();
        // A reading that never ends (a line call on a wedged adapter) must
        // not keep --log from ending: the port is then left to the kernel.
        deadline.emplace(*stop, sensor::reading_wait_limit, [] {
            static constexpr char said[] =
                "quelvane: the reading in flight has not ended; stopping without it (the port is left to the system)\n";
            // Only when it cannot block: a stalled reader of stderr may be
            // what holds the reading up.
            pollfd err{STDERR_FILENO, POLLOUT, 0};
            if (::poll(&err, 1, 0) == 1 && (err.revents & POLLOUT) != 0) {
                (void)!::write(STDERR_FILENO, said, sizeof said - 1);
            }
            ::_exit(0);
        });
    }
    Io io{std::cout, std::cerr, [] { return QDateTime::currentDateTime(); },
          [&stop](std::chrono::steady_clock::time_point deadline) { return stop->wait_until(deadline); },
          std::move(devices), source};
    return run_command(options, make_control, io);
}

}  // namespace cli
