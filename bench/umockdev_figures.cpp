// The same reading through the real control on a port emulated by umockdev
// (run under umockdev-wrapper): ioctls that reach the driver per single- and
// two-sensor reading, what a control issuing every operation would send, and
// the wall time per reading, which umockdev's socket round trip per ioctl
// dominates. Opens nothing but the emulated pty (see the harness's guard).
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
        ++operations;
        inner_.set_DTREnable(asserted);
    }
    void set_RTSEnable(bool asserted) override
    {
        ++operations;
        inner_.set_RTSEnable(asserted);
    }
    bool CTSHolding() override
    {
        ++operations;
        return inner_.CTSHolding();
    }

    long operations = 0;

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
        wrong = sensor::read_sensor(0, control) != 21.5;  // opens the port
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
        std::printf("  %-14s %8s %10s %14s %16s\n", "reading", "ioctls", "(changes)", "every-op ctl",
                    "wall ms/reading");
        for (const Row& row : rows) {
            port->counts().reset();
            control.operations = 0;
            const auto begin = std::chrono::steady_clock::now();
            for (const std::int16_t index : row.indexes) {
                wrong = wrong || sensor::read_sensor(index, control) != (index == 0 ? 21.5 : -25.0);
            }
            const std::chrono::duration<double, std::milli> wall = std::chrono::steady_clock::now() - begin;
            std::printf("  %-14s %8ld %10ld %14ld %16.2f\n", row.name, port->counts().total(),
                        port->counts().line_writes(), control.operations,
                        wall.count() / static_cast<double>(row.indexes.size()));
        }
    }
    if (wrong) {
        std::fprintf(stderr, "a reading came back wrong\n");
        return 1;
    }
    return 0;
}
