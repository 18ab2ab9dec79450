// The bit-banged bus driver against a control that records every line access,
// so the order of writes (the waveform a device sees) is what is checked.
#include "bus/iic.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "tests/bus/recording_control.h"

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

// Bit cells as they must appear on the wire.
// Send: clock low, release data, data to the bit, clock high, clock low.
Log send_cell(bool bit) { return {rts(false), dtr(true), dtr(bit), rts(true), rts(false)}; }
// Read: release data, clock low, clock high, sample, clock low.
Log read_cell(bool sampled) { return {dtr(true), rts(false), rts(true), cts(sampled), rts(false)}; }

Log concat(std::initializer_list<Log> parts)
{
    Log all;
    for (const Log& part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

Log write_byte_wave(int byte, bool ack_line)
{
    Log wave;
    for (int bit = 7; bit >= 0; --bit) {
        const Log cell = send_cell(((byte >> bit) & 1) != 0);
        wave.insert(wave.end(), cell.begin(), cell.end());
    }
    const Log ack = read_cell(ack_line);
    wave.insert(wave.end(), ack.begin(), ack.end());
    return wave;
}

// Line levels at each CTS sample, as (data, clock).
std::vector<std::pair<bool, bool>> levels_at_samples(const Log& log, bool sda, bool scl)
{
    std::vector<std::pair<bool, bool>> levels;
    for (const Event& event : log) {
        if (event.op == Op::dtr) sda = event.level;
        if (event.op == Op::rts) scl = event.level;
        if (event.op == Op::cts) levels.emplace_back(sda, scl);
    }
    return levels;
}

class IicTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        iic::set_settle_time(0ns);
        control.start_open();
        iic::open_bus(control);  // open already: records nothing
        ASSERT_TRUE(control.log.empty());
    }
    void TearDown() override { iic::set_settle_time(iic::standard_settle_time); }

    RecordingControl control;
};

// --- Bytes ------------------------------------------------------------------

struct WriteCase {
    std::int32_t value;  // as passed
    int byte;            // what must go out
};

class IicWriteByte : public IicTest, public ::testing::WithParamInterface<WriteCase> {};

TEST_P(IicWriteByte, SendsEightCellsMsbFirstThenSamplesTheAcknowledge)
{
    const WriteCase c = GetParam();
    for (const bool device_acks : {true, false}) {
        SCOPED_TRACE(device_acks ? "acknowledged" : "not acknowledged");
        control.log.clear();
        control.cts_answers = {!device_acks};  // an acknowledge pulls the line low

        const std::int16_t answer = iic::iic_write_byte(c.value);

        EXPECT_EQ(answer, device_acks ? 0 : -1);
        EXPECT_EQ(control.log, write_byte_wave(c.byte, !device_acks));
        EXPECT_EQ(control.writes(), 44);
        EXPECT_EQ(control.reads(), 1);

        // As a device decodes it: eight data bits and a released ninth clock,
        // no start or stop inside the byte, clock left low.
        const WireView wire = replay(control.log, true, false);
        std::vector<bool> expected;
        for (int bit = 7; bit >= 0; --bit) expected.push_back(((c.byte >> bit) & 1) != 0);
        expected.push_back(true);
        EXPECT_EQ(wire.clocked, expected);
        EXPECT_TRUE(wire.conditions.empty());
        EXPECT_FALSE(wire.scl);
        // The acknowledge is sampled with the data line released, clock high.
        EXPECT_EQ(levels_at_samples(control.log, true, false), (std::vector<std::pair<bool, bool>>{{true, true}}));
    }
}

INSTANTIATE_TEST_SUITE_P(Values, IicWriteByte,
                         ::testing::Values(WriteCase{0xAC, 0xAC}, WriteCase{0x00, 0x00}, WriteCase{0xFF, 0xFF},
                                           WriteCase{0x91, 0x91}, WriteCase{0x5A, 0x5A},
                                           // Only the eight low bits go out.
                                           WriteCase{0x1AC, 0xAC}, WriteCase{-1, 0xFF},
                                           WriteCase{0x7FFFFF00, 0x00}));

TEST_F(IicTest, WriteOfAcMatchesTheDocumentedCells)
{
    control.cts_answers = {false};
    iic::iic_write_byte(0xAC);
    EXPECT_EQ(control.log, concat({send_cell(1), send_cell(0), send_cell(1), send_cell(0), send_cell(1),
                                   send_cell(1), send_cell(0), send_cell(0), read_cell(false)}));
}

struct ReadCase {
    const char* name;
    std::vector<bool> line;  // CTS at each of the eight samples
    std::int16_t expected;
};

class IicReadByte : public IicTest, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(IicReadByte, AssemblesEightSamplesMsbFirstAndAnswers)
{
    const ReadCase& c = GetParam();
    for (const std::int16_t ack : {std::int16_t{-1}, std::int16_t{1}, std::int16_t{0}}) {
        SCOPED_TRACE(::testing::Message() << "ack=" << ack);
        control.log.clear();
        control.cts_answers.assign(c.line.begin(), c.line.end());
        control.cts_default = false;  // a ninth sample would read 0 and show up

        EXPECT_EQ(iic::iic_read_byte(ack), c.expected);
        EXPECT_EQ(control.writes(), 37);
        EXPECT_EQ(control.reads(), 8);

        Log expected;
        for (const bool bit : c.line) {
            const Log cell = read_cell(bit);
            expected.insert(expected.end(), cell.begin(), cell.end());
        }
        const Log answer = send_cell(ack == 0);  // acknowledge: data low
        expected.insert(expected.end(), answer.begin(), answer.end());
        EXPECT_EQ(control.log, expected);

        // Every sample with the data line released and the clock high.
        const auto levels = levels_at_samples(control.log, true, false);
        EXPECT_EQ(levels, (std::vector<std::pair<bool, bool>>(8, {true, true})));
        // The answer is the last clocked level: low for acknowledge.
        const WireView wire = replay(control.log, true, false);
        ASSERT_EQ(wire.clocked.size(), 9U);
        EXPECT_EQ(wire.clocked.back(), ack == 0);
        EXPECT_TRUE(wire.conditions.empty());
        EXPECT_FALSE(wire.scl);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Patterns, IicReadByte,
    ::testing::Values(ReadCase{"all_high", std::vector<bool>(8, true), 255},
                      ReadCase{"all_low", std::vector<bool>(8, false), 0},
                      ReadCase{"a5", {true, false, true, false, false, true, false, true}, 0xA5},
                      ReadCase{"msb_only", {true, false, false, false, false, false, false, false}, 0x80},
                      ReadCase{"lsb_only", {false, false, false, false, false, false, false, true}, 0x01}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Conditions and cells ------------------------------------------------------

TEST_F(IicTest, StartLowersDataWhileClockIsHigh)
{
    for (const bool scl_before : {true, false}) {
        SCOPED_TRACE(scl_before ? "from idle" : "from clock low");
        control.log.clear();
        iic::iic_start();
        EXPECT_EQ(control.log, (Log{dtr(true), dtr(true), rts(true), dtr(false)}));
        const WireView wire = replay(control.log, scl_before, scl_before);
        EXPECT_EQ(wire.conditions, (Log{dtr(false)}));  // exactly one start
        EXPECT_FALSE(wire.sda);
        EXPECT_TRUE(wire.scl);
    }
}

TEST_F(IicTest, StopRaisesDataWhileClockIsHighAndLeavesTheBusIdle)
{
    iic::iic_stop();
    EXPECT_EQ(control.log, (Log{dtr(true), dtr(false), rts(true), dtr(true)}));

    // After a byte (clock low) the stop is the only condition.
    const WireView after_byte = replay(control.log, false, false);
    EXPECT_EQ(after_byte.conditions, (Log{dtr(true)}));
    EXPECT_TRUE(after_byte.sda);
    EXPECT_TRUE(after_byte.scl);

    // On an idle bus it makes a start first, which resets every device.
    const WireView from_idle = replay(control.log, true, true);
    EXPECT_EQ(from_idle.conditions, (Log{dtr(false), dtr(true)}));
}

TEST_F(IicTest, CellsEndWithTheClockLow)
{
    iic::send_one();
    EXPECT_EQ(control.log, send_cell(true));
    control.log.clear();
    iic::send_zero();
    EXPECT_EQ(control.log, send_cell(false));
    control.log.clear();

    control.cts_answers = {false, true};
    EXPECT_EQ(iic::read_bit(), 0);
    EXPECT_EQ(iic::read_bit(), -1);
    EXPECT_EQ(control.log, concat({read_cell(false), read_cell(true)}));
}

TEST_F(IicTest, ControlFailuresPassThroughUnchanged)
{
    control.fail_reads = true;
    try {
        iic::iic_write_byte(0x90);
        FAIL() << "no exception";
    } catch (const serial::SerialError& error) {
        EXPECT_EQ(error.error_number(), EIO);
    }
    EXPECT_EQ(control.writes(), 8 * 5 + 3);  // eight cells, then up to the sample
    EXPECT_EQ(control.log.back(), rts(true));

    control.fail_reads = false;
    control.fail_writes = true;
    EXPECT_THROW(iic::iic_start(), serial::SerialError);
    EXPECT_THROW(iic::iic_read_byte(0), serial::SerialError);
}

// --- Bus port -------------------------------------------------------------------

TEST(IicBusPort, OpenBusOnAClosedPortOpensItAndIdlesClockThenData)
{
    RecordingControl port;
    iic::open_bus(port);
    EXPECT_TRUE(port.PortOpen());
    EXPECT_EQ(port.log, (Log{opened(), rts(true), dtr(true)}));

    port.log.clear();
    iic::open_bus(port);  // already open: no line touched
    EXPECT_TRUE(port.log.empty());
}

TEST(IicBusPort, LineOperationsGoToTheLatestBusPort)
{
    RecordingControl first;
    RecordingControl second;
    iic::open_bus(first);
    iic::open_bus(second);
    first.log.clear();
    second.log.clear();

    iic::set_settle_time(0ns);
    iic::sda_low();
    iic::set_settle_time(iic::standard_settle_time);
    EXPECT_TRUE(first.log.empty());
    EXPECT_EQ(second.log, (Log{dtr(false)}));
}

TEST(IicBusPort, CloseBusClosesTheStoredPortOnlyWhenOpen)
{
    RecordingControl port;
    iic::open_bus(port);
    port.log.clear();

    iic::close_bus();
    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ(port.log, (Log{closed()}));

    iic::close_bus();  // stored but closed
    EXPECT_EQ(port.log, (Log{closed()}));
}

TEST(IicBusPort, DestroyedControlIsForgottenAndOnlyThatOne)
{
    auto port = std::make_unique<RecordingControl>();
    iic::open_bus(*port);
    port->log.clear();
    {
        RecordingControl other;  // never the bus port
    }
    iic::set_settle_time(0ns);
    iic::scl_low();
    iic::set_settle_time(iic::standard_settle_time);
    EXPECT_EQ(port->log, (Log{rts(false)}));

    port.reset();
    // Nothing stored any more: close does nothing, line operations refuse
    // instead of reaching freed memory.
    EXPECT_NO_THROW(iic::close_bus());
    EXPECT_THROW(iic::sda_release(), std::logic_error);
    EXPECT_THROW(iic::sda_read(), std::logic_error);
}

// --- Timing -------------------------------------------------------------------

TEST(IicTiming, BitDelayHoldsAtLeastTheSettleTime)
{
    iic::set_settle_time(2ms);
    const auto begin = std::chrono::steady_clock::now();
    iic::bit_delay();
    const auto held = std::chrono::steady_clock::now() - begin;
    iic::set_settle_time(iic::standard_settle_time);
    EXPECT_GE(held, 2ms);
}

TEST(IicTiming, StartHoldsEachSettledStep)
{
    // The release does not wait; data high, clock high and data low each do.
    RecordingControl port;
    port.start_open();
    iic::open_bus(port);
    iic::set_settle_time(1ms);
    const auto begin = std::chrono::steady_clock::now();
    iic::iic_start();
    const auto held = std::chrono::steady_clock::now() - begin;
    iic::set_settle_time(iic::standard_settle_time);
    EXPECT_GE(held, 3ms);
}

}  // namespace
