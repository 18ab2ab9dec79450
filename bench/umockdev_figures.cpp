// The same reading through the real control on a port emulated by umockdev
// (run under umockdev-wrapper): per single- and two-sensor reading, the line
// operations the bus driver makes (line writes + CTS reads, which is also
// what a control issuing an ioctl for every operation would send), the
// ioctls that reach the driver, and the wall time per reading, which
// umockdev's socket round trip per ioctl dominates. Opens nothing but the
// emulated pty (see the harness's guard).
#include <chrono>
#include <cstdio>
#include <optional>
#include <sys/ioctl.h>

#include "bus/iic.h"
#include "bus/posix_serial_control.h"
#include "sensor/read_sensor.h"
#include "sensor/simulated_board.h"
#include "tests/support/umockdev_port.h"

namespace {

// Passes every access on and counts it: one ioctl each for a control that
// kept no memory of the lines.
class CountingControl final : public serial::SerialControl {
public:
    explicit CountingControl(serial::SerialControl& inner) : inner_(inner) {}
    void set_CommPort(int port) override { inner_.set_CommPort(port); }
    int CommPort() const override { return inner_.CommPort(); }
    void set_PortOpen(bool open) override { inner_.set_PortOpen(open); }
    bool PortOpen() const override { return inner_.PortOpen(); }
    void set_DTREnable(bool asserted) override
    {
        ++writes;
        inner_.set_DTREnable(asserted);
    }
    void set_RTSEnable(bool asserted) override
    {
        ++writes;
        inner_.set_RTSEnable(asserted);
    }
    bool CTSHolding() override
    {
        ++reads;
        return inner_.CTSHolding();
    }

    long writes = 0;
    long reads = 0;

private:
    serial::SerialControl& inner_;
};

}  // namespace

int main()
{
    if (!testsupport::umockdev_preloaded()) {
        std::fprintf(stderr, "run under umockdev-wrapper\n");
        return 2;
    }
    sensor::SimulatedBoard board;
    board.set_temperature(0, 21.5);
    board.set_temperature(1, -25.0);
    std::optional<testsupport::UmockdevSerialPort> port;
    try {
        port.emplace(board);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 2;
    }
    bool wrong = false;
    {
        serial::PosixSerialControl real(serial::default_device_for_port, testsupport::pty_guarded_calls());
        CountingControl control(real);
        // Opens the port; a first reading of each sensor waits for its conversion.
        wrong = sensor::read_sensor(0, control) != 21.5 || sensor::read_sensor(1, control) != -25.0;
        if (!real.PortOpen()) {
            std::fprintf(stderr, "could not open %s\n", port->device().c_str());
            return 1;
        }

        struct Row {
            const char* name;
            std::initializer_list<std::int16_t> indexes;
        };
        const Row rows[] = {{"sensor 1", {0}}, {"sensor 2", {1}}, {"both sensors", {0, 1}}};
        std::printf("Real PosixSerialControl on umockdev's %s, settle time %lld ns, port open:\n",
                    port->device().c_str(), static_cast<long long>(iic::settle_time().count()));
        std::printf("  %-13s %21s %8s %24s %10s %9s\n", "reading", "line ops (w + r)", "ioctls",
                    "(changes + TIOCMGET)", "wall ms", "ms/ioctl");
        for (const Row& row : rows) {
            port->counts().reset();
            control.writes = 0;
            control.reads = 0;
            const auto begin = std::chrono::steady_clock::now();
            for (const std::int16_t index : row.indexes) {
                wrong = wrong || sensor::read_sensor(index, control) != (index == 0 ? 21.5 : -25.0);
            }
            const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - begin;
            const auto& counts = port->counts();
            char ops[32];
            std::snprintf(ops, sizeof ops, "%ld (%ld + %ld)", control.writes + control.reads, control.writes,
                          control.reads);
            char split[32];
            std::snprintf(split, sizeof split, "(%ld + %ld)", counts.line_writes(), counts.of(TIOCMGET));
            std::printf("  %-13s %21s %8ld %24s %10.2f %9.3f\n", row.name, ops, counts.total(), split, wall.count(),
                        wall.count() / static_cast<double>(counts.total()));
        }
        std::printf("  A control issuing an ioctl for every operation would send the line ops; this one\n"
                    "  skips writes of a level the line already has. Wall time is umockdev's emulation.\n");
    }
    if (wrong) {
        std::fprintf(stderr, "a reading came back wrong\n");
        return 1;
    }
    return 0;
}
