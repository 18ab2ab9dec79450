// What the benchmark programs share: a reading through the simulated board
// directly, and through the real PosixSerialControl whose system calls play
// the board (no device at all), each with its counts.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>

#include "bus/iic.h"
#include "bus/posix_serial_control.h"
#include "sensor/read_sensor.h"
#include "sensor/simulated_board.h"
#include "tests/support/board_system_calls.h"

namespace bench {

// CPU time of the whole process: the settle waits spin, so they count.
inline std::chrono::nanoseconds process_cpu_time()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return std::chrono::seconds(now.tv_sec) + std::chrono::nanoseconds(now.tv_nsec);
}

// The real control on the simulated board. The port is opened by a first
// reading of each sensor (which waits for its conversion), so every later
// reading is a steady-state one.
struct PosixOnBoard {
    sensor::SimulatedBoard board;
    testsupport::BoardSystemCalls system{board};
    serial::PosixSerialControl control{serial::default_device_for_port, system.calls()};

    PosixOnBoard()
    {
        board.set_temperature(0, 21.5);
        board.set_temperature(1, -25.0);
        sensor::read_sensor(0, control);
        sensor::read_sensor(1, control);
        system.counts().reset();
        board.clear_record();
    }
};

}  // namespace bench
