// Sensor readings against the simulated board, which decodes the waveform the
// way a DS1621 does.
#include "sensor/read_sensor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "bus/iic.h"
#include "sensor/simulated_board.h"
#include "tests/bus/recording_control.h"

namespace {

using namespace std::chrono_literals;
using sensor::READ_FAILED;
using sensor::read_sensor;
using sensor::SimulatedBoard;
using namespace testsupport;

// Line accesses of one reading on an open port: three stops and four starts
// of four writes each, eight bytes written (44 writes, one sample each), two
// read (37 writes, eight samples each), and the sample of the idle line.
constexpr long writes_per_reading = 3 * 4 + 4 * 4 + 8 * 44 + 2 * 37;
constexpr long reads_per_reading = 8 + 2 * 8 + 1;

class ReadSensorTest : public ::testing::Test {
protected:
    void SetUp() override { iic::set_settle_time(0ns); }
    void TearDown() override { iic::set_settle_time(iic::standard_settle_time); }

    SimulatedBoard board;
};

TEST_F(ReadSensorTest, DecodesTheWholeRegisterOfEitherSensor)
{
    const struct {
        std::uint8_t msb, lsb;
        double degrees;
    } cases[] = {
        {0x19, 0x80, 25.5},   {0xFF, 0x80, -0.5},   {0xE7, 0x00, -25.0},        {0x00, 0x00, 0.0},
        {0x80, 0x00, -128.0}, {0x7F, 0x80, 127.5},  {0x7F, 0xFF, 127.99609375}, {0xFF, 0xFF, -0.00390625},
        {0x00, 0x01, 0.00390625},
    };
    for (const int index : {0, 1}) {
        board.set_register(1 - index, 0x63, 0x00);  // must never show up
        for (const auto& c : cases) {
            board.set_register(index, c.msb, c.lsb);
            EXPECT_EQ(read_sensor(static_cast<std::int16_t>(index), board), c.degrees)
                << "sensor " << index << " bytes " << std::hex << int{c.msb} << ' ' << int{c.lsb};
            EXPECT_EQ(sensor::to_degrees(c.msb, c.lsb), c.degrees);
        }
    }
}

TEST_F(ReadSensorTest, AddressesConfiguresAndStartsOnlyTheChosenSensor)
{
    const struct {
        std::int16_t index;
        std::uint8_t write, read;
    } cases[] = {{0, 0x90, 0x91}, {1, 0x92, 0x93}};
    for (const auto& c : cases) {
        SimulatedBoard fresh;
        ASSERT_NE(read_sensor(c.index, fresh), READ_FAILED);
        // Configure, convert, point at the temperature, read it.
        EXPECT_EQ(fresh.addresses(), (std::vector<std::uint8_t>{c.write, c.write, c.write, c.read}));
        EXPECT_EQ(fresh.config(c.index), std::optional<std::uint8_t>{0x02});
        EXPECT_TRUE(fresh.converting(c.index));
        EXPECT_FALSE(fresh.config(1 - c.index).has_value());
        EXPECT_FALSE(fresh.converting(1 - c.index));
    }
}

TEST_F(ReadSensorTest, EveryReadingBeginsWithAStopAndEndsIdle)
{
    ASSERT_EQ(read_sensor(0, board), 25.0);  // opens the port
    board.clear_record();
    RecordingControl tap(&board);
    ASSERT_EQ(read_sensor(0, tap), 25.0);
    // A stop (a start first, on the idle bus), then the idle-line sample.
    EXPECT_EQ(Log(tap.log.begin(), tap.log.begin() + 5), (Log{dtr(true), dtr(false), rts(true), dtr(true), cts(true)}));
    const SimulatedBoard::Counters counters = board.counters();
    EXPECT_EQ(counters.line_writes, writes_per_reading);
    EXPECT_EQ(counters.line_reads, reads_per_reading);
    EXPECT_EQ(counters.starts, 1 + 4);
    EXPECT_EQ(counters.stops, 3);
    EXPECT_EQ(counters.opens, 0);  // stays open between readings
    EXPECT_TRUE(board.dtr() && board.rts());
}

TEST_F(ReadSensorTest, AbsentSensorOrUnpluggedAdapterFailsTheReading)
{
    board.set_present(1, false);
    EXPECT_EQ(read_sensor(1, board), READ_FAILED);
    // Unanswered, the exchange still runs to its end.
    EXPECT_EQ(board.addresses(), (std::vector<std::uint8_t>{0x92, 0x92, 0x92, 0x93}));
    EXPECT_EQ(board.counters().line_writes, 2 + writes_per_reading);
    EXPECT_EQ(read_sensor(0, board), 25.0);

    board.set_unplugged(true);
    EXPECT_EQ(read_sensor(0, board), READ_FAILED);
    board.set_unplugged(false);
    EXPECT_EQ(read_sensor(0, board), 25.0);
}

TEST_F(ReadSensorTest, UnopenablePortOrIndexWithoutAnAddressTouchesNoLine)
{
    board.set_open_error(EBUSY);
    EXPECT_EQ(read_sensor(0, board), READ_FAILED);
    board.set_open_error(0);
    EXPECT_EQ(read_sensor(-1, board), READ_FAILED);
    EXPECT_EQ(read_sensor(8, board), READ_FAILED);
    EXPECT_EQ(board.counters().line_writes + board.counters().line_reads, 0);
    EXPECT_FALSE(board.PortOpen());
    EXPECT_EQ(read_sensor(0, board), 25.0);  // the next reading tries again
}

TEST_F(ReadSensorTest, AFailingControlAbandonsTheExchangeOnTheSpot)
{
    board.set_temperature(0, -25.0);
    ASSERT_EQ(read_sensor(0, board), -25.0);
    // The first access, the idle sample, inside a byte the sensor sends, the last.
    for (const long fail_at : {0L, 4L, 300L, writes_per_reading + reads_per_reading - 1}) {
        RecordingControl tap(&board);
        tap.fail_at = fail_at;
        EXPECT_EQ(read_sensor(0, tap), READ_FAILED) << fail_at;
        EXPECT_EQ(static_cast<long>(tap.log.size()), fail_at + 1) << "went on after the failure";
        EXPECT_EQ(read_sensor(0, board), -25.0) << "the next reading puts the bus right";
    }
}

}  // namespace
