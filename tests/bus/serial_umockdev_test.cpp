// The real serial control on a port emulated by umockdev: COM1 is /dev/ttyS0,
// a pty whose modem-line ioctls play the simulated board. Runs under
// umockdev-wrapper only. Every open goes through the harness's guard, which
// aborts before opening anything that is not a pty node, and every test
// checks the node itself before a control is made.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/ioctl.h>

#include "bus/posix_serial_control.h"
#include "sensor/board_probe.h"
#include "sensor/read_sensor.h"
#include "tests/support/umockdev_port.h"

namespace {

using sensor::read_sensor;

// A port held by another program, or a missing one, fails before any line
// is touched; the holder clears the exclusive mode it set when it lets go,
// and so does the failed open, and the port then reads. (What a reading
// costs in ioctls on this port is counted by the program's tests.) Settle
// time stays at the default: this is the real control's timing.
TEST(SerialUmockdevTest, PortHeldByAnotherProgramOrMissingFailsWithoutALineTouched)
{
    ASSERT_TRUE(testsupport::umockdev_preloaded()) << "run under umockdev-wrapper";
    sensor::SimulatedBoard board;
    testsupport::UmockdevSerialPort port(board);
    ASSERT_TRUE(port.device() == "/dev/ttyS0" && testsupport::is_pty_node("/dev/ttyS0"));
    serial::PosixSerialControl control(serial::default_device_for_port, testsupport::pty_guarded_calls());
    serial::PosixSerialControl holder(serial::default_device_for_port, testsupport::pty_guarded_calls());
    holder.set_PortOpen(true);  // its own descriptor, locked
    serial::PosixSerialControl missing([](int) { return "/dev/nonexistent/ttyQ9"; }, testsupport::pty_guarded_calls());
    EXPECT_EQ(read_sensor(0, control), sensor::READ_FAILED);
    EXPECT_EQ(read_sensor(0, missing), sensor::READ_FAILED);
    EXPECT_EQ(port.counts().line_writes() + port.counts().of(TIOCMGET), 0) << "a line touched";
    holder.set_PortOpen(false);  // released, the port is usable on the next reading
    EXPECT_EQ(port.counts().of(TIOCNXCL), 2) << "exclusive mode left on";  // the holder's, and the failed open's
    board.set_temperature(1, -25.0);
    EXPECT_EQ(read_sensor(1, control), -25.0);
}

// The search on the emulated port: a port another program holds is skipped
// without a line touched; free, the two address bytes alone go out and the
// port is left as found (exclusive mode cleared, closed), so another program
// can take it at once.
TEST(SerialUmockdevTest, TheSearchSkipsAHeldPortAndLeavesAFreeOneAsFound)
{
    ASSERT_TRUE(testsupport::umockdev_preloaded()) << "run under umockdev-wrapper";
    sensor::SimulatedBoard board;
    testsupport::UmockdevSerialPort port(board);
    ASSERT_TRUE(testsupport::is_pty_node("/dev/ttyS0"));
    const auto open = [](const std::string& device) {
        return std::make_unique<serial::PosixSerialControl>([device](int) { return device; },
                                                            testsupport::pty_guarded_calls());
    };
    const auto search = [&] { return sensor::probe_text(sensor::find_board({{"/dev/ttyS0", ""}}, open)[0].probe); };
    auto holder = open("/dev/ttyS0");
    holder->set_PortOpen(true);
    EXPECT_EQ(search(), "busy");
    holder->set_PortOpen(false);
    EXPECT_EQ(port.counts().line_writes() + port.counts().of(TIOCMGET), 0) << "a line touched";

    port.counts().reset();
    board.clear_record();
    EXPECT_EQ(search(), "sensors 1 and 2");
    EXPECT_EQ(board.addresses(), (std::vector<std::uint8_t>{0x90, 0x92}));
    EXPECT_EQ(board.counters().commands, 0);
    EXPECT_EQ(port.counts().of(TIOCNXCL), 1);
    holder->set_PortOpen(true);  // free again
    EXPECT_TRUE(holder->PortOpen());
}

TEST(UmockdevGuard, RefusesAnExistingNodeThatIsNotAPtyBeforeOpeningIt)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // /dev/null stands for a real UART node: present, not a link into /dev/pts.
    EXPECT_DEATH(testsupport::pty_guarded_calls().open("/dev/null", O_RDWR), "not an emulated pty node");
}

}  // namespace
