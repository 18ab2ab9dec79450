// The bus driver's conditions and its port against a control that logs every
// line access; bytes are checked against the simulated board's decoder.
#include "bus/iic.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "tests/bus/recording_control.h"

namespace {

using namespace std::chrono_literals;
using testsupport::RecordingControl;

// An open bus port, its log cleared.
class IicTest : public ::testing::Test {
protected:
    void SetUp() override { iic::open_bus(control); control.log.clear(); }
    RecordingControl control;
};

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
