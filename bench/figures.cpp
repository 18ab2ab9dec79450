// Prints the cost of one steady-state sensor reading: line operations the bus
// driver makes, ioctls the real PosixSerialControl issues for them, and CPU
// time. No device is opened: the control's system calls play the simulated
// board. Exits non-zero if a reading comes back wrong.
#include <chrono>
#include <cstdio>
#include <sys/ioctl.h>

#include "bench/reading_setup.h"

namespace {

using namespace std::chrono_literals;

struct Ops {
    long writes;
    long reads;
};

Ops line_ops_of_reading(std::int16_t index)
{
    sensor::SimulatedBoard board;
    sensor::read_sensor(index, board);
    board.clear_record();
    sensor::read_sensor(index, board);
    const auto counters = board.counters();
    return {counters.line_writes, counters.line_reads};
}

struct Ioctls {
    long changes;
    long samples;
    long total;
};

Ioctls ioctls_of(bench::PosixOnBoard& setup, std::initializer_list<std::int16_t> indexes, bool& wrong)
{
    setup.system.counts().reset();
    for (const std::int16_t index : indexes) {
        const double expected = index == 0 ? 21.5 : -25.0;
        wrong = wrong || sensor::read_sensor(index, setup.control) != expected;
    }
    const auto& counts = setup.system.counts();
    return {counts.line_writes(), counts.of(TIOCMGET), counts.total()};
}

// CPU time per reading, averaged over enough readings to last ~0.2 s.
double cpu_microseconds_per_reading(std::chrono::nanoseconds settle, bool& wrong)
{
    iic::set_settle_time(settle);
    sensor::SimulatedBoard board;
    board.set_temperature(0, 21.5);
    sensor::read_sensor(0, board);
    const int readings = settle.count() == 0 ? 20000 : 100;
    const auto begin = bench::process_cpu_time();
    for (int i = 0; i < readings; ++i) {
        wrong = wrong || sensor::read_sensor(0, board) != 21.5;
    }
    const auto spent = bench::process_cpu_time() - begin;
    iic::set_settle_time(iic::standard_settle_time);
    return std::chrono::duration<double, std::micro>(spent).count() / readings;
}

}  // namespace

int main()
{
    bool wrong = false;
    iic::set_settle_time(0ns);

    std::printf("One steady-state reading (port already open)\n\n");
    std::printf("Line operations made by the bus driver (simulated board counters):\n");
    long both_ops = 0;
    for (const std::int16_t index : {std::int16_t{0}, std::int16_t{1}}) {
        const Ops ops = line_ops_of_reading(index);
        both_ops += ops.writes + ops.reads;
        std::printf("  sensor %d: %ld writes + %ld reads (24 bit samples + idle sample) = %ld\n", index + 1,
                    ops.writes, ops.reads, ops.writes + ops.reads);
    }
    std::printf("  both sensors: %ld  (= ioctls of a control that issued every operation)\n\n", both_ops);

    std::printf("Ioctls issued by PosixSerialControl (unchanged levels skipped):\n");
    bench::PosixOnBoard setup;
    for (const std::int16_t index : {std::int16_t{0}, std::int16_t{1}}) {
        const Ioctls n = ioctls_of(setup, {index}, wrong);
        std::printf("  sensor %d: %ld line changes + %ld TIOCMGET = %ld\n", index + 1, n.changes, n.samples,
                    n.total);
    }
    const Ioctls both = ioctls_of(setup, {0, 1}, wrong);
    std::printf("  both sensors: %ld\n\n", both.total);

    std::printf("CPU time of a reading on the simulated board:\n");
    std::printf("  settle time 0:    %8.2f us\n", cpu_microseconds_per_reading(0ns, wrong));
    std::printf("  settle time 5 us: %8.2f us\n", cpu_microseconds_per_reading(iic::standard_settle_time, wrong));

    if (wrong) {
        std::fprintf(stderr, "a reading came back wrong\n");
        return 1;
    }
    return 0;
}
