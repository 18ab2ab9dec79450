// Sensor readings against the simulated board, which decodes the waveform the
// way a DS1621 does.
#include "sensor/read_sensor.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <vector>

#include "sensor/simulated_board.h"
#include "tests/bus/recording_control.h"

namespace {

using sensor::read_sensor;
using sensor::SimulatedBoard;

TEST(ReadSensor, AddressesConfiguresAndDecodesOnlyTheChosenSensor)
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

TEST(ReadSensor, EachReadingBeginsWithAStopThenSamplesTheIdleLine)
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

TEST(ReadSensor, AbsentSensorUnpluggedAdapterOrUnopenablePortFailTheReading)
{
    const struct { const char* fault; std::function<void(SimulatedBoard&)> make; bool lines_touched; } faults[] = {
        {"absent sensor", [](SimulatedBoard& board) { board.set_present(1, false); }, true},
        {"unplugged adapter", [](SimulatedBoard& board) { board.set_unplugged(true); }, true},
        {"port failing to open", [](SimulatedBoard& board) { board.set_open_error(EBUSY); }, false},
    };
    for (const auto& f : faults) {
        SimulatedBoard board;
        f.make(board);
        EXPECT_EQ(read_sensor(1, board), sensor::READ_FAILED) << f.fault;
        const SimulatedBoard::Counters counters = board.counters();
        EXPECT_EQ(counters.line_writes + counters.line_reads > 0, f.lines_touched) << f.fault;
    }
}

}  // namespace
