// Sensor readings against the simulated board, which decodes the waveform the
// way a DS1621 does. Why a reading fails is told by the window's tests, which
// see each failure's line on stderr.
#include "sensor/read_sensor.h"

#include <gtest/gtest.h>

#include <algorithm>
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
// conversion, the next ones do not. A slower sensor is waited for up to three
// conversion times in all; its power-up value is never a reading. The board's
// time moves only by the waits, so nothing here depends on the machine's speed.
TEST_F(ReadSensor, FirstReadingAfterAnOpeningWaitsForAConversionAndNeverGivesThePowerUpValue)
{
    using namespace std::chrono_literals;
    const std::string unconverted = "no conversion finished (the register still holds its power-up value after 3 s)";
    // Waits of the first reading, and of the next (a failed sensor is waited
    // for again, and its conversion has run on meanwhile).
    const struct { std::chrono::milliseconds conversion; bool read; int waits, next_waits; } cases[] = {
        {1000ms, true, 1, 0}, {1200ms, true, 2, 0}, {2000ms, true, 2, 0}, {3000ms, true, 3, 0}, {5000ms, false, 3, 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.conversion.count());
        SimulatedBoard board;
        board.set_temperature(1, 8.0);
        board.stop_time();
        board.set_conversion_time(c.conversion);
        int waits = 0;
        sensor::set_conversion_wait([&] { ++waits, board.advance(sensor::max_conversion_time); });
        for (int opening = 0; opening < 2; ++opening) {
            for (const auto& [index, degrees] : {std::pair(0, 25.0), {1, 8.0}}) {
                waits = 0;
                const sensor::Reading first = sensor::read_sensor_with_reason(index, board);
                EXPECT_EQ(first.celsius, c.read ? degrees : sensor::READ_FAILED) << "sensor " << index + 1;
                EXPECT_EQ(first.failure, c.read ? "" : unconverted);
                EXPECT_FALSE(first.port_fault);
                EXPECT_EQ(waits, c.waits);
                waits = 0;
                EXPECT_EQ(read_sensor(index, board), degrees);
                EXPECT_EQ(waits, c.next_waits);
            }
            board.set_PortOpen(false);
        }
    }

    // Plugged out and in again: nothing waited for while it does not answer,
    // then a conversion, whether a failed reading came between or not; only
    // without one is the power-up value read first.
    SimulatedBoard board;
    board.stop_time();
    board.set_conversion_time(sensor::max_conversion_time);
    int waits = 0;
    sensor::set_conversion_wait([&] { ++waits, board.advance(sensor::max_conversion_time); });
    ASSERT_EQ(read_sensor(0, board), 25.0);
    for (const bool read_while_out : {true, false}) {
        board.set_present(0, false);
        waits = 0;
        if (read_while_out) {
            EXPECT_EQ(sensor::read_sensor_with_reason(0, board).failure, "no acknowledge at 0x48");
        }
        board.set_present(0, true);
        board.clear_record();
        EXPECT_EQ(read_sensor(0, board), 25.0);
        EXPECT_EQ(waits, 1);
        const auto addresses = board.addresses();
        EXPECT_EQ(std::count(addresses.begin(), addresses.end(), 0x91), read_while_out ? 1 : 2);
    }
}

}  // namespace
