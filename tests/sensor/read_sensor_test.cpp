// Sensor readings against the simulated board, which decodes the waveform the
// way a DS1621 does: values, addresses, the exchange's shape, and failures.
#include "sensor/read_sensor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <sys/ioctl.h>
#include <vector>

#include "bus/iic.h"
#include "bus/posix_serial_control.h"
#include "sensor/simulated_board.h"
#include "tests/bus/recording_control.h"
#include "tests/support/board_system_calls.h"

namespace {

using namespace std::chrono_literals;
using sensor::READ_FAILED;
using sensor::SimulatedBoard;
using testsupport::Event;
using testsupport::Log;

// Line accesses of one steady-state reading (port already open): three stops
// and four starts of four accesses each, eight bytes written (44 writes and
// one sample each), two read (37 writes and 8 samples each), and the one
// sample of the idle line.
constexpr long writes_per_reading = 3 * 4 + 4 * 4 + 8 * 44 + 2 * 37;  // 454
constexpr long reads_per_reading = 8 * 1 + 2 * 8 + 1;                  // 25

// Forwards to the board and records each access; can be told to fail one.
class Tap final : public serial::SerialControl {
public:
    explicit Tap(SimulatedBoard& board) : board_(board) {}

    void set_CommPort(int port) override { board_.set_CommPort(port); }
    int CommPort() const override { return board_.CommPort(); }
    void set_PortOpen(bool open) override
    {
        access(open ? testsupport::opened() : testsupport::closed());
        board_.set_PortOpen(open);
    }
    bool PortOpen() const override { return board_.PortOpen(); }
    void set_DTREnable(bool asserted) override
    {
        access(testsupport::dtr(asserted));
        board_.set_DTREnable(asserted);
    }
    void set_RTSEnable(bool asserted) override
    {
        access(testsupport::rts(asserted));
        board_.set_RTSEnable(asserted);
    }
    bool CTSHolding() override
    {
        access(testsupport::cts(false));
        const bool level = board_.CTSHolding();
        log.back().level = level;
        return level;
    }

    Log log;
    long fail_at = -1;  // index in log of the access that raises

private:
    void access(Event event)
    {
        log.push_back(event);
        if (static_cast<long>(log.size()) - 1 == fail_at) {
            throw serial::SerialError("tap:COM1", "set modem line", EIO);
        }
    }

    SimulatedBoard& board_;
};

class ReadSensorTest : public ::testing::Test {
protected:
    void SetUp() override { iic::set_settle_time(0ns); }
    void TearDown() override { iic::set_settle_time(iic::standard_settle_time); }

    // Reads once so that the port is open and the bus idle, then forgets
    // what the board recorded.
    void warm_up()
    {
        ASSERT_NE(sensor::read_sensor(0, board), READ_FAILED);
        board.clear_record();
    }

    SimulatedBoard board;
};

// --- Values --------------------------------------------------------------------

TEST(ToDegrees, WorkedValues)
{
    struct Case {
        int msb;
        int lsb;
        double degrees;
    };
    const Case cases[] = {
        {0x19, 0x80, 25.5},         {0xFF, 0x80, -0.5},   {0xE7, 0x00, -25.0},
        {0x00, 0x00, 0.0},          {0x00, 0x80, 0.5},    {0x7F, 0x80, 127.5},
        {0x80, 0x00, -128.0},       {0x7F, 0xFF, 127.99609375}, {0xFF, 0x00, -1.0},
        {0x01, 0x40, 1.25},         {0xC9, 0x00, -55.0},  {0x7D, 0x00, 125.0},
    };
    for (const Case& c : cases) {
        EXPECT_DOUBLE_EQ(sensor::to_degrees(c.msb, c.lsb), c.degrees) << std::hex << c.msb << ' ' << c.lsb;
    }
}

TEST_F(ReadSensorTest, ReadsTheTemperatureOfEitherSensor)
{
    const double temperatures[] = {25.0, 21.5, 0.0, 0.5, -0.5, -25.0, 125.0, -55.0, 85.5, -10.5};
    for (const std::int16_t index : {std::int16_t{0}, std::int16_t{1}}) {
        const int other = 1 - index;
        board.set_temperature(other, 99.0);  // must never show up
        for (const double celsius : temperatures) {
            board.set_temperature(index, celsius);
            EXPECT_EQ(sensor::read_sensor(index, board), celsius) << "sensor " << index;
        }
    }
}

TEST_F(ReadSensorTest, ReadsRawRegisterValuesExactly)
{
    struct Case {
        std::uint8_t msb;
        std::uint8_t lsb;
        double degrees;
    };
    // Including values a DS1621 never sends: the whole register is decoded.
    const Case cases[] = {
        {0x7F, 0x80, 127.5},  {0x80, 0x00, -128.0}, {0x7F, 0xFF, 127.99609375}, {0xFF, 0x80, -0.5},
        {0x19, 0x80, 25.5},   {0xE7, 0x00, -25.0},  {0x00, 0x00, 0.0},          {0xFF, 0xFF, -0.00390625},
        {0x80, 0x80, -127.5}, {0x00, 0x01, 0.00390625},
    };
    for (const std::int16_t index : {std::int16_t{0}, std::int16_t{1}}) {
        for (const Case& c : cases) {
            board.set_register(index, c.msb, c.lsb);
            EXPECT_EQ(sensor::read_sensor(index, board), c.degrees)
                << "sensor " << index << " bytes " << std::hex << int{c.msb} << ' ' << int{c.lsb};
        }
    }
}

// --- The exchange -------------------------------------------------------------------

TEST_F(ReadSensorTest, AddressesTheSensorByIndex)
{
    struct Case {
        std::int16_t index;
        std::uint8_t write;
        std::uint8_t read;
    };
    for (const Case c : {Case{0, 0x90, 0x91}, Case{1, 0x92, 0x93}}) {
        board.clear_record();
        ASSERT_NE(sensor::read_sensor(c.index, board), READ_FAILED);
        // Configure, convert, point at the temperature, read it.
        EXPECT_EQ(board.addresses(), (std::vector<std::uint8_t>{c.write, c.write, c.write, c.read}))
            << "sensor " << c.index;
    }
}

TEST_F(ReadSensorTest, ConfiguresContinuousConversionOnTheAddressedSensorOnly)
{
    ASSERT_FALSE(board.config(0).has_value());
    ASSERT_NE(sensor::read_sensor(0, board), READ_FAILED);
    EXPECT_EQ(board.config(0), std::optional<std::uint8_t>{0x02});
    EXPECT_TRUE(board.converting(0));
    EXPECT_FALSE(board.config(1).has_value());
    EXPECT_FALSE(board.converting(1));

    ASSERT_NE(sensor::read_sensor(1, board), READ_FAILED);
    EXPECT_EQ(board.config(1), std::optional<std::uint8_t>{0x02});
    EXPECT_TRUE(board.converting(1));
}

TEST_F(ReadSensorTest, FirstReadingOpensThePortAndIdlesTheBus)
{
    Tap tap(board);
    ASSERT_FALSE(board.PortOpen());
    EXPECT_EQ(sensor::read_sensor(0, tap), 25.0);
    EXPECT_TRUE(board.PortOpen());
    EXPECT_EQ(board.counters().opens, 1);
    ASSERT_GE(tap.log.size(), 3U);
    EXPECT_EQ(Log(tap.log.begin(), tap.log.begin() + 3),
              (Log{testsupport::opened(), testsupport::rts(true), testsupport::dtr(true)}));
    EXPECT_EQ(board.counters().line_writes, 2 + writes_per_reading);

    EXPECT_EQ(sensor::read_sensor(0, tap), 25.0);
    EXPECT_EQ(board.counters().opens, 1);  // stays open between readings
}

TEST_F(ReadSensorTest, EveryReadingHasTheSameShapeAndBeginsWithAStop)
{
    warm_up();
    Tap tap(board);
    for (int reading = 0; reading < 3; ++reading) {
        SCOPED_TRACE(reading);
        tap.log.clear();
        board.clear_record();
        ASSERT_EQ(sensor::read_sensor(0, tap), 25.0);

        // A stop (after a reset start on the idle bus), then the idle sample.
        ASSERT_GE(tap.log.size(), 5U);
        EXPECT_EQ(Log(tap.log.begin(), tap.log.begin() + 5),
                  (Log{testsupport::dtr(true), testsupport::dtr(false), testsupport::rts(true),
                       testsupport::dtr(true), testsupport::cts(true)}));
        const SimulatedBoard::Counters counters = board.counters();
        EXPECT_EQ(counters.line_writes, writes_per_reading);
        EXPECT_EQ(counters.line_reads, reads_per_reading);
        EXPECT_EQ(counters.starts, 1 + 4);  // the reset, then four
        EXPECT_EQ(counters.stops, 3);       // reset, after convert, at the end
        EXPECT_EQ(counters.opens, 0);
        // Ends idle.
        EXPECT_TRUE(board.dtr());
        EXPECT_TRUE(board.rts());
    }
}

TEST_F(ReadSensorTest, AReadingRecoversABusLeftMidExchange)
{
    warm_up();
    // Abandon an exchange half-way through a temperature byte, with the
    // sensor driving the data line.
    iic::open_bus(board);
    iic::iic_start();
    iic::iic_write_byte(0x90);
    iic::iic_write_byte(0xAA);
    iic::iic_start();
    iic::iic_write_byte(0x91);
    for (int bit = 0; bit < 3; ++bit) iic::read_bit();

    board.set_temperature(0, -25.0);
    EXPECT_EQ(sensor::read_sensor(0, board), -25.0);
}

// --- Failures ---------------------------------------------------------------------

TEST_F(ReadSensorTest, AbsentSensorFailsWithTheSameWaveform)
{
    warm_up();
    board.set_present(1, false);
    EXPECT_EQ(sensor::read_sensor(1, board), READ_FAILED);
    // Unanswered, the exchange still runs to its end.
    EXPECT_EQ(board.counters().line_writes, writes_per_reading);
    EXPECT_EQ(board.counters().line_reads, reads_per_reading);
    EXPECT_EQ(board.counters().stops, 3);
    EXPECT_EQ(board.addresses(), (std::vector<std::uint8_t>{0x92, 0x92, 0x92, 0x93}));
    EXPECT_FALSE(board.config(1).has_value());
}

TEST_F(ReadSensorTest, OneAbsentSensorDoesNotDisturbTheOther)
{
    board.set_present(1, false);
    board.set_temperature(0, 21.5);
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(sensor::read_sensor(1, board), READ_FAILED);
        EXPECT_EQ(sensor::read_sensor(0, board), 21.5);
    }
    board.set_present(1, true);
    board.set_temperature(1, -0.5);
    EXPECT_EQ(sensor::read_sensor(1, board), -0.5);
}

TEST_F(ReadSensorTest, UnpluggedAdapterFails)
{
    board.set_unplugged(true);
    EXPECT_EQ(sensor::read_sensor(0, board), READ_FAILED);
    EXPECT_EQ(sensor::read_sensor(1, board), READ_FAILED);
    board.set_unplugged(false);
    EXPECT_EQ(sensor::read_sensor(0, board), 25.0);
}

TEST_F(ReadSensorTest, PortThatCannotBeOpenedFailsWithoutTouchingALine)
{
    for (const int error : {EBUSY, ENOENT, EACCES}) {
        SCOPED_TRACE(error);
        board.set_open_error(error);
        EXPECT_EQ(sensor::read_sensor(0, board), 1000.0);
        const SimulatedBoard::Counters counters = board.counters();
        EXPECT_EQ(counters.opens, 0);
        EXPECT_EQ(counters.line_writes, 0);
        EXPECT_EQ(counters.line_reads, 0);
        EXPECT_FALSE(board.PortOpen());
    }
    board.set_open_error(0);
    EXPECT_EQ(sensor::read_sensor(0, board), 25.0);  // the next reading tries again
}

TEST_F(ReadSensorTest, IndexesWithoutASensorFail)
{
    // No bus address at all: nothing is touched.
    for (const std::int16_t index : {std::int16_t{-1}, std::int16_t{8}, std::int16_t{32767}}) {
        EXPECT_EQ(sensor::read_sensor(index, board), READ_FAILED) << index;
    }
    EXPECT_EQ(board.counters().opens, 0);
    EXPECT_EQ(board.counters().line_writes, 0);

    // A valid address no sensor on the board answers.
    warm_up();
    EXPECT_EQ(sensor::read_sensor(7, board), READ_FAILED);
    EXPECT_EQ(board.addresses(), (std::vector<std::uint8_t>{0x9E, 0x9E, 0x9E, 0x9F}));
}

TEST_F(ReadSensorTest, AFailingControlAbandonsTheExchangeOnTheSpot)
{
    warm_up();
    // Accesses 0..478 make a reading; fail at the first, a few inside, the
    // idle sample (4), a sample inside a byte, and the very last access.
    const long total = writes_per_reading + reads_per_reading;
    for (const long fail_at : {0L, 3L, 4L, 60L, 250L, total - 20, total - 1}) {
        SCOPED_TRACE(fail_at);
        Tap tap(board);
        tap.fail_at = fail_at;
        EXPECT_EQ(sensor::read_sensor(0, tap), READ_FAILED);
        // Nothing after the failing access: in particular no stop.
        EXPECT_EQ(static_cast<long>(tap.log.size()), fail_at + 1);
    }
    // The next reading puts the bus right.
    EXPECT_EQ(sensor::read_sensor(0, board), 25.0);
}

// --- Through the real control, on the board instead of a device ---------------------

TEST_F(ReadSensorTest, PosixControlSkipsUnchangedWritesInARealReading)
{
    testsupport::BoardSystemCalls system(board);
    {
        serial::PosixSerialControl port(serial::default_device_for_port, system.calls());
        board.set_temperature(0, 21.5);
        board.set_temperature(1, -25.0);
        ASSERT_EQ(sensor::read_sensor(0, port), 21.5);
        EXPECT_EQ(system.counts().of(TIOCEXCL), 1);

        // Level changes depend on the address bits only: each 0 bit sent
        // costs two (data lowered, then released again), so sensor 1, with
        // one 0 fewer in each of its four address bytes, needs 8 fewer.
        struct Case {
            std::int16_t index;
            double degrees;
            long changes;
        };
        for (const Case c : {Case{0, 21.5, 284}, Case{1, -25.0, 276}, Case{0, 21.5, 284}}) {
            SCOPED_TRACE(c.index);
            system.counts().reset();
            board.clear_record();
            EXPECT_EQ(sensor::read_sensor(c.index, port), c.degrees);
            // Each sample is an ioctl; of the line writes only the changes
            // are, and those are the writes the board saw.
            EXPECT_EQ(system.counts().of(TIOCMGET), reads_per_reading);
            EXPECT_EQ(system.counts().line_writes(), board.counters().line_writes);
            EXPECT_EQ(system.counts().line_writes(), c.changes);
            EXPECT_EQ(system.counts().total(), c.changes + reads_per_reading);
        }
        EXPECT_EQ(system.open_descriptors(), 1);
    }
    EXPECT_EQ(system.open_descriptors(), 0);
}

}  // namespace
