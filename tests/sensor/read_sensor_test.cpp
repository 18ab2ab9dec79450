// Sensor readings against the simulated board, which decodes the waveform the
// way a DS1621 does. Why a reading fails is told by the window's tests, which
// see each failure's line on stderr.
#include "sensor/read_sensor.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "sensor/simulated_board.h"
#include "tests/bus/recording_control.h"

namespace {

using sensor::read_sensor;
using sensor::SimulatedBoard;

// The board converts at once unless a test says otherwise.
class ReadSensor : public ::testing::Test {
protected:
    void SetUp() override { sensor::set_conversion_wait([] {}); }
    void TearDown() override { sensor::set_conversion_wait(nullptr); }
};

TEST_F(ReadSensor, AddressesConfiguresAndDecodesOnlyTheChosenSensor)
{
    const struct { std::uint8_t msb, lsb; double degrees; } registers[] = {
        {0x19, 0x80, 25.5},   {0xFF, 0x80, -0.5},  {0xE7, 0x00, -25.0},        {0x00, 0x00, 0.0},
        {0x80, 0x00, -128.0}, {0x7F, 0x80, 127.5}, {0x7F, 0xFF, 127.99609375},
    };
    for (const std::int16_t index : {0, 1}) {
        SimulatedBoard board;
        board.set_temperature(1 - index, 99.0);  // must never show up
        for (const auto& r : registers) {
            board.set_register(index, r.msb, r.lsb);
            EXPECT_EQ(read_sensor(index, board), r.degrees) << index << std::hex << ' ' << +r.msb << ' ' << +r.lsb;
        }
        // Configure, convert, point at the temperature, read it.
        const std::vector<std::uint8_t> addresses = board.addresses();
        const std::uint8_t write = 0x90 + 2 * index, read = write + 1;
        EXPECT_EQ(std::vector(addresses.end() - 4, addresses.end()), (std::vector{write, write, write, read}));
        EXPECT_EQ(board.config(index), std::uint8_t{0x02});
        EXPECT_TRUE(board.converting(index));
        EXPECT_FALSE(board.config(1 - index) || board.converting(1 - index));
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

// A board fed from the port powers up at every opening with -60 °C in its
// registers: the first reading of each sensor after an opening waits for a
// conversion, the next ones do not.
TEST_F(ReadSensor, FirstReadingOfEachSensorAfterAnOpeningWaitsForAConversion)
{
    SimulatedBoard board;
    board.set_temperature(1, 8.0);
    board.set_conversion_time(std::chrono::milliseconds(20));
    int waits = 0;
    sensor::set_conversion_wait([&waits] { ++waits, std::this_thread::sleep_for(std::chrono::milliseconds(25)); });
    for (int opening = 0; opening < 2; ++opening) {
        waits = 0;
        for (const auto& [index, degrees, after] : {std::tuple(0, 25.0, 1), {0, 25.0, 1}, {1, 8.0, 2}, {1, 8.0, 2}}) {
            EXPECT_EQ(read_sensor(index, board), degrees) << "opening " << opening << " sensor " << index + 1;
            EXPECT_EQ(waits, after);
        }
        board.set_PortOpen(false);
    }
    sensor::set_conversion_wait([] {});
    EXPECT_EQ(read_sensor(0, board), -60.0);  // what a reading without the wait shows
}

}  // namespace
