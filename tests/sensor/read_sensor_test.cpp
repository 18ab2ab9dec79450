// Sensor readings against the simulated board, which decodes the waveform the
// way a DS1621 does.
#include "sensor/read_sensor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <thread>
#include <vector>

#include "sensor/simulated_board.h"
#include "tests/bus/recording_control.h"

namespace {

using sensor::read_sensor;

// The board converts at once unless a test says otherwise; the conversion
// wait is tested on its own.
class ReadSensor : public ::testing::Test {
protected:
    void SetUp() override { sensor::set_conversion_wait([] {}); }
    void TearDown() override { sensor::set_conversion_wait(nullptr); }
};
using sensor::SimulatedBoard;

TEST_F(ReadSensor, AddressesConfiguresAndDecodesOnlyTheChosenSensor)
{
    const struct { std::uint8_t msb, lsb; double degrees; } registers[] = {
        {0x19, 0x80, 25.5},   {0xFF, 0x80, -0.5},  {0xE7, 0x00, -25.0},        {0x00, 0x00, 0.0},
        {0x80, 0x00, -128.0}, {0x7F, 0x80, 127.5}, {0x7F, 0xFF, 127.99609375},
    };
    const struct { std::int16_t index; std::uint8_t write, read; } sensors[] = {{0, 0x90, 0x91}, {1, 0x92, 0x93}};
    for (const auto& s : sensors) {
        SimulatedBoard board;
        board.set_temperature(1 - s.index, 99.0);  // must never show up
        for (const auto& r : registers) {
            board.set_register(s.index, r.msb, r.lsb);
            EXPECT_EQ(read_sensor(s.index, board), r.degrees) << s.index << std::hex << ' ' << +r.msb << ' ' << +r.lsb;
        }
        // Configure, convert, point at the temperature, read it.
        const std::vector<std::uint8_t> addresses = board.addresses();
        EXPECT_EQ(std::vector(addresses.end() - 4, addresses.end()), (std::vector{s.write, s.write, s.write, s.read}));
        EXPECT_EQ(board.config(s.index), std::uint8_t{0x02});
        EXPECT_TRUE(board.converting(s.index));
        EXPECT_FALSE(board.config(1 - s.index) || board.converting(1 - s.index));
    }
}

TEST_F(ReadSensor, EachReadingBeginsWithAStopThenSamplesTheIdleLine)
{
    SimulatedBoard board;
    testsupport::RecordingControl tap(&board);
    // A stop (its falling data makes a start first on the idle bus), the idle
    // sample, then the first start; the first reading opens the port before.
    for (const std::string opening : {"ORD", ""}) {
        tap.log.clear();
        ASSERT_EQ(read_sensor(0, tap), 25.0);
        EXPECT_TRUE(tap.log.starts_with(opening + "DdRD" "C" "DDRd")) << tap.log;
    }
}

TEST_F(ReadSensor, EveryFailureSaysWhy)
{
    const struct {
        const char* fault;
        std::function<void(SimulatedBoard&)> make;
        std::string failure;
        bool lines_touched;
    } faults[] = {
        {"absent sensor", [](SimulatedBoard& board) { board.set_present(1, false); }, "no acknowledge at 0x49", true},
        {"unplugged adapter", [](SimulatedBoard& board) { board.set_unplugged(true); },
         "sim:COM1: the data line reads low on an idle bus (adapter unplugged, or the line stuck)", true},
        {"port held", [](SimulatedBoard& board) { board.set_open_error(EBUSY); },
         "sim:COM1: open: Device or resource busy (another program holds the port)", false},
        {"no permission", [](SimulatedBoard& board) { board.set_open_error(EACCES); },
         "sim:COM1: open: Permission denied (the user needs read and write access to the device, usually by being in "
         "the dialout group)",
         false},
    };
    for (const auto& f : faults) {
        SimulatedBoard board;
        f.make(board);
        const sensor::Reading reading = sensor::read_sensor_with_reason(1, board);
        EXPECT_EQ(reading.celsius, sensor::READ_FAILED) << f.fault;
        EXPECT_EQ(reading.failure, f.failure) << f.fault;
        const SimulatedBoard::Counters counters = board.counters();
        EXPECT_EQ(counters.line_writes + counters.line_reads > 0, f.lines_touched) << f.fault;
    }
}

// A board fed from the port powers up at every opening with -60 °C in its
// registers: the first reading of each sensor after an opening waits for a
// conversion, the next ones do not.
TEST_F(ReadSensor, FirstReadingOfEachSensorAfterAnOpeningWaitsForAConversion)
{
    SimulatedBoard board;
    board.set_temperature(0, 21.5);
    board.set_temperature(1, 8.0);
    board.set_conversion_time(std::chrono::milliseconds(20));
    int waits = 0;
    sensor::set_conversion_wait([&waits] {
        ++waits;
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
    });
    const struct { std::int16_t index; double degrees; int waits; } readings[] = {
        {0, 21.5, 1}, {0, 21.5, 1}, {1, 8.0, 2}, {1, 8.0, 2},
    };
    for (int opening = 0; opening < 2; ++opening) {
        waits = 0;
        for (const auto& r : readings) {
            EXPECT_EQ(read_sensor(r.index, board), r.degrees) << "opening " << opening << " sensor " << r.index + 1;
            EXPECT_EQ(waits, r.waits);
        }
        board.set_PortOpen(false);
    }
    sensor::set_conversion_wait([] {});
    EXPECT_EQ(read_sensor(0, board), -60.0);  // what a reading without the wait shows
}

}  // namespace
