// The bit-banged bus driver against a control that logs every line access:
// the order of the accesses is the waveform a device sees.
#include "bus/iic.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>

#include "tests/bus/recording_control.h"

namespace {

using namespace std::chrono_literals;
using testsupport::RecordingControl;

// Cells sent (clock low, release data, data to the bit, clock high, clock low)
// or read (release data, clock low, clock high, sample, clock low).
std::string cells(const std::string& bits, bool read = false)
{
    std::string log;
    for (const char bit : bits) log += read ? (bit == '1' ? "DrRCr" : "DrRcr") : (bit == '1' ? "rDDRr" : "rDdRr");
    return log;
}

// An open bus port, its log cleared.
class IicTest : public ::testing::Test {
protected:
    void SetUp() override { iic::open_bus(control); control.log.clear(); }
    RecordingControl control;
};

TEST_F(IicTest, BytesTravelMsbFirstThenTheNinthCellAnswers)
{
    // What CTS shows, sample by sample, is `line`.
    const struct { std::function<int()> transfer; const char* line; int result; std::string log; } cases[] = {
        // A device acknowledges by pulling the line low; only the low eight bits go out.
        {[] { return iic::iic_write_byte(0xAC); }, "0", 0, cells("10101100") + cells("0", true)},
        {[] { return iic::iic_write_byte(0x1AC); }, "1", -1, cells("10101100") + cells("1", true)},
        // Non-zero asks for more: the master acknowledges, data low on the ninth clock.
        {[] { return iic::iic_read_byte(-1); }, "11111111", 255, cells("11111111", true) + cells("0")},
        {[] { return iic::iic_read_byte(0); }, "00000000", 0, cells("00000000", true) + cells("1")},
        {[] { return iic::iic_read_byte(1); }, "11000001", 0xC1, cells("11000001", true) + cells("0")},
    };
    for (const auto& c : cases) {
        control.log.clear();
        control.cts = c.line;
        EXPECT_EQ(c.transfer(), c.result) << c.log;
        EXPECT_EQ(control.log, c.log);
    }
}

TEST_F(IicTest, StartAndStopMoveDataWhileTheClockIsHighHoldingEachSettledStep)
{
    iic::set_settle_time(2ms);
    const auto begin = std::chrono::steady_clock::now();
    iic::bit_delay();
    iic::iic_start();
    iic::iic_stop();
    EXPECT_GE(std::chrono::steady_clock::now() - begin, 7 * 2ms);  // 1 + 3 + 3 settled steps
    iic::set_settle_time(iic::standard_settle_time);
    EXPECT_EQ(control.log, "DDRd" "DdRD");
}

TEST(IicBusPort, OpenAndCloseTouchOnlyWhatTheyMust)
{
    auto port = std::make_unique<RecordingControl>();
    EXPECT_TRUE(iic::open_bus(*port));  // clock, then data, to idle
    EXPECT_FALSE(iic::open_bus(*port));  // open already: no line touched
    { RecordingControl other; }  // destroying another control forgets nothing
    iic::close_bus();
    iic::close_bus();  // closed already
    EXPECT_EQ(port->log, "ORDo");

    port.reset();  // a destroyed control is forgotten: close does nothing, lines refuse
    EXPECT_NO_THROW(iic::close_bus());
    EXPECT_THROW(iic::sda_read(), std::logic_error);
}

}  // namespace
