// The real serial control on a port emulated by umockdev: COM1 is /dev/ttyS0,
// a pty whose modem-line ioctls play the simulated board. Runs under
// umockdev-wrapper only. Every open goes through the harness's guard, which
// aborts before opening anything that is not a pty node, and every test
// checks the node itself before the control is made.
#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "bus/posix_serial_control.h"
#include "sensor/read_sensor.h"
#include "sensor/simulated_board.h"
#include "tests/support/umockdev_port.h"

namespace {

using sensor::READ_FAILED;
using testsupport::UmockdevSerialPort;

class SerialUmockdevTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testsupport::umockdev_preloaded()) << "run under umockdev-wrapper";
        port.emplace(board);
        ASSERT_EQ(port->device(), "/dev/ttyS0");
        ASSERT_TRUE(testsupport::is_pty_node("/dev/ttyS0")) << "/dev/ttyS0 is not the emulated pty";
        control.emplace(serial::default_device_for_port, testsupport::pty_guarded_calls());
    }

    void TearDown() override
    {
        control.reset();  // closes the descriptor while the testbed still answers
        port.reset();
    }

    // Settle time stays at the default: this is the real control's timing.
    sensor::SimulatedBoard board;
    std::optional<UmockdevSerialPort> port;
    std::optional<serial::PosixSerialControl> control;
};

TEST_F(SerialUmockdevTest, ReadsBothSignsIssuingOnlyLineChanges)
{
    board.set_temperature(0, 21.5);
    board.set_temperature(1, -25.0);
    ASSERT_EQ(sensor::read_sensor(0, *control), 21.5);  // opens the port
    EXPECT_EQ(control->device(), "/dev/ttyS0");
    EXPECT_EQ(port->counts().of(TIOCEXCL), 1);

    // An unchanged level never reaches the driver: each 0 bit sent costs two
    // changes, and sensor 1's address has one 0 fewer in each of its four
    // address bytes. Then 24 bit samples and the idle-line sample.
    const struct {
        std::int16_t index;
        double degrees;
        long ioctls;
    } cases[] = {{0, 21.5, 284 + 25}, {1, -25.0, 276 + 25}};
    for (const auto& c : cases) {
        port->counts().reset();
        EXPECT_EQ(sensor::read_sensor(c.index, *control), c.degrees);
        EXPECT_EQ(port->counts().of(TIOCMGET), 25);
        EXPECT_EQ(port->counts().total(), c.ioctls) << "sensor " << c.index;
    }
}

TEST_F(SerialUmockdevTest, PortHeldByAnotherProgramFailsWithoutALineTouched)
{
    const int holder = testsupport::guarded_open("/dev/ttyS0", O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_TRUE(testsupport::is_pty_descriptor(holder));
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0);

    EXPECT_EQ(sensor::read_sensor(0, *control), READ_FAILED);
    EXPECT_FALSE(control->PortOpen());
    EXPECT_EQ(port->counts().line_writes(), 0);
    EXPECT_EQ(port->counts().of(TIOCMGET), 0);

    // Released, the port is usable on the next reading.
    ::close(holder);
    EXPECT_EQ(sensor::read_sensor(0, *control), 25.0);
}

TEST_F(SerialUmockdevTest, MissingDeviceFails)
{
    control.emplace([](int) { return std::string("/nonexistent/ttyQ9"); }, testsupport::pty_guarded_calls());
    EXPECT_EQ(sensor::read_sensor(0, *control), READ_FAILED);
    EXPECT_FALSE(control->PortOpen());
    EXPECT_EQ(port->counts().total(), 0);
}

// --- The guard itself, with no testbed ---------------------------------------------

TEST(UmockdevGuard, RefusesAnExistingNodeThatIsNotAPtyBeforeOpeningIt)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // /dev/null stands for a real UART node: present, not a link into /dev/pts.
    ASSERT_FALSE(testsupport::is_pty_node("/dev/null"));
    EXPECT_DEATH(testsupport::guarded_open("/dev/null", O_RDWR | O_NOCTTY | O_NONBLOCK), "not an emulated pty node");
}

TEST(UmockdevGuard, RefusesLineOperationsOnDescriptorsItDidNotOpen)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    const serial::SystemCalls calls = testsupport::pty_guarded_calls();
    int bits = 0;
    EXPECT_DEATH(calls.ioctl(pipe_ends[0], TIOCMGET, &bits), "not opened through the guard");
    EXPECT_DEATH(calls.flock(pipe_ends[0], LOCK_EX | LOCK_NB), "not opened through the guard");
    ::close(pipe_ends[0]);
    ::close(pipe_ends[1]);
}

TEST(UmockdevGuard, PassesMissingPathsOnToFail)
{
    errno = 0;
    EXPECT_EQ(testsupport::guarded_open("/nonexistent/ttyQ9", O_RDWR), -1);
    EXPECT_EQ(errno, ENOENT);
}

}  // namespace
