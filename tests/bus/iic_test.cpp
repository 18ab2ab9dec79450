// The bit-banged bus driver against a control that records every line access:
// the order of writes is the waveform a device sees.
#include "bus/iic.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <memory>

#include "tests/bus/recording_control.h"

namespace {

using namespace testsupport;
using namespace std::chrono_literals;

// Send: clock low, release data, data to the bit, clock high, clock low.
Log send_cell(bool bit) { return {rts(false), dtr(true), dtr(bit), rts(true), rts(false)}; }
// Read: release data, clock low, clock high, sample, clock low.
Log read_cell(bool sampled) { return {dtr(true), rts(false), rts(true), cts(sampled), rts(false)}; }

Log concat(std::initializer_list<Log> pieces)
{
    Log all;
    for (const Log& piece : pieces) all.insert(all.end(), piece.begin(), piece.end());
    return all;
}

class IicTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        iic::set_settle_time(0ns);
        control.open_ = true;
        iic::open_bus(control);
    }
    void TearDown() override { iic::set_settle_time(iic::standard_settle_time); }

    RecordingControl control;
};

TEST_F(IicTest, WriteByteSendsTheLowEightBitsMsbFirstAndReturnsTheAck)
{
    const Log ac = concat({send_cell(1), send_cell(0), send_cell(1), send_cell(0), send_cell(1), send_cell(1),
                           send_cell(0), send_cell(0)});
    for (const std::int32_t value : {0xAC, 0x1AC, -0x54}) {
        for (const bool acked : {true, false}) {
            SCOPED_TRACE(::testing::Message() << value << (acked ? " acked" : " not acked"));
            control.log.clear();
            control.cts_answers = {!acked};  // an acknowledge pulls the line low
            EXPECT_EQ(iic::iic_write_byte(value), acked ? 0 : -1);
            EXPECT_EQ(control.log, concat({ac, read_cell(!acked)}));
        }
    }
}

TEST_F(IicTest, ReadByteSamplesEightCellsMsbFirstThenAnswers)
{
    const struct {
        std::vector<bool> line;
        std::int16_t value;
    } cases[] = {
        {std::vector<bool>(8, true), 255},
        {std::vector<bool>(8, false), 0},
        {{true, false, true, false, false, true, false, true}, 0xA5},
    };
    for (const auto& c : cases) {
        // Non-zero asks for more: acknowledge, data low on the ninth clock.
        for (const std::int16_t ack : {std::int16_t{-1}, std::int16_t{1}, std::int16_t{0}}) {
            SCOPED_TRACE(::testing::Message() << c.value << " ack=" << ack);
            control.log.clear();
            control.cts_answers.assign(c.line.begin(), c.line.end());
            control.cts_default = false;  // a ninth sample would show up
            EXPECT_EQ(iic::iic_read_byte(ack), c.value);
            Log expected;
            for (const bool bit : c.line) expected = concat({expected, read_cell(bit)});
            EXPECT_EQ(control.log, concat({expected, send_cell(ack == 0)}));
        }
    }
}

TEST_F(IicTest, StartAndStopMoveDataWhileTheClockIsHigh)
{
    iic::iic_start();
    EXPECT_EQ(control.log, (Log{dtr(true), dtr(true), rts(true), dtr(false)}));
    control.log.clear();
    iic::iic_stop();
    EXPECT_EQ(control.log, (Log{dtr(true), dtr(false), rts(true), dtr(true)}));
}

TEST(IicBusPort, OpenAndCloseTouchOnlyWhatTheyMust)
{
    auto port = std::make_unique<RecordingControl>();
    iic::open_bus(*port);
    iic::open_bus(*port);  // open already: no line touched
    EXPECT_EQ(port->log, (Log{opened(), rts(true), dtr(true)}));

    { RecordingControl other; }  // destroying another control forgets nothing
    iic::close_bus();
    iic::close_bus();  // closed already
    EXPECT_EQ(port->log, (Log{opened(), rts(true), dtr(true), closed()}));

    // A destroyed control is forgotten: close does nothing, lines refuse.
    port.reset();
    EXPECT_NO_THROW(iic::close_bus());
    EXPECT_THROW(iic::sda_read(), std::logic_error);
}

TEST(IicTiming, EachSettledStepHoldsAtLeastTheSettleTime)
{
    RecordingControl port;
    port.open_ = true;
    iic::open_bus(port);
    iic::set_settle_time(2ms);
    auto begin = std::chrono::steady_clock::now();
    iic::bit_delay();
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 2ms);
    // A start settles three steps: data high, clock high, data low.
    begin = std::chrono::steady_clock::now();
    iic::iic_start();
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 6ms);
    iic::set_settle_time(iic::standard_settle_time);
}

}  // namespace
