// The real serial control on a port emulated by umockdev: COM1 is /dev/ttyS0,
// a pty whose modem-line ioctls play the simulated board. Runs under
// umockdev-wrapper only. Every open goes through the harness's guard, which
// aborts before opening anything that is not a pty node, and every test
// checks the node itself before a control is made.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>

#include "bus/posix_serial_control.h"
#include "sensor/read_sensor.h"
#include "tests/support/umockdev_port.h"

namespace {

using sensor::read_sensor;

// Settle time stays at the default: this is the real control's timing.
class SerialUmockdevTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testsupport::umockdev_preloaded()) << "run under umockdev-wrapper";
        port.emplace(board);
        ASSERT_TRUE(port->device() == "/dev/ttyS0" && testsupport::is_pty_node("/dev/ttyS0"));
        control.emplace(serial::default_device_for_port, testsupport::pty_guarded_calls());
    }

    sensor::SimulatedBoard board;
    std::optional<testsupport::UmockdevSerialPort> port;
    std::optional<serial::PosixSerialControl> control;  // closed before the testbed goes
};

TEST_F(SerialUmockdevTest, ReadsBothSignsIssuingOnlyLineChanges)
{
    board.set_temperature(0, 21.5);
    board.set_temperature(1, -25.0);
    ASSERT_EQ(read_sensor(0, *control), 21.5);  // opens the port
    EXPECT_EQ(port->counts().of(TIOCEXCL), 1);
    // An unchanged level never reaches the driver: each 0 bit sent costs two
    // changes, and sensor 2's address has one 0 fewer in each of its four
    // address bytes. Then 24 bit samples and the idle-line sample.
    const struct { std::int16_t index; double degrees; long ioctls; } cases[] = {
        {0, 21.5, 284 + 25}, {1, -25.0, 276 + 25}};
    for (const auto& c : cases) {
        port->counts().reset();
        EXPECT_EQ(read_sensor(c.index, *control), c.degrees);
        EXPECT_EQ(port->counts().total(), c.ioctls) << "sensor " << c.index + 1;
    }
}

TEST_F(SerialUmockdevTest, PortHeldByAnotherProgramOrMissingFailsWithoutALineTouched)
{
    serial::PosixSerialControl holder(serial::default_device_for_port, testsupport::pty_guarded_calls());
    holder.set_PortOpen(true);  // its own descriptor, locked
    serial::PosixSerialControl missing([](int) { return "/dev/nonexistent/ttyQ9"; }, testsupport::pty_guarded_calls());
    EXPECT_EQ(read_sensor(0, *control), sensor::READ_FAILED);
    EXPECT_EQ(read_sensor(0, missing), sensor::READ_FAILED);
    EXPECT_EQ(port->counts().line_writes() + port->counts().of(TIOCMGET), 0) << "a line touched";
    holder.set_PortOpen(false);  // released, the port is usable on the next reading
    EXPECT_EQ(port->counts().of(TIOCNXCL), 2) << "exclusive mode left on";  // the holder's, and the failed open's
    EXPECT_EQ(read_sensor(0, *control), 25.0);
}

TEST(UmockdevGuard, RefusesAnExistingNodeThatIsNotAPtyBeforeOpeningIt)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // /dev/null stands for a real UART node: present, not a link into /dev/pts.
    EXPECT_DEATH(testsupport::pty_guarded_calls().open("/dev/null", O_RDWR), "not an emulated pty node");
}

}  // namespace
