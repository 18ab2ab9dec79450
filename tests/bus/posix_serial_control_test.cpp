// PosixSerialControl through its system-call seam. No test here opens any
// device: the fake system hands out numbers and logs each call.
#include "bus/posix_serial_control.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <map>

namespace {

using Raised = std::pair<std::string, int>;  // device and errno

template <typename Action> Raised raised(Action action)
{
    try { action(); } catch (const serial::SerialError& error) { return {error.device(), error.error_number()}; }
    return {"nothing raised", 0};
}

int fail(int error) { return errno = error, -1; }

// The control on a fake system that logs each call (the path opened, "close",
// "gexcl"/"excl"/"nxcl" for TIOCGEXCL/TIOCEXCL/TIOCNXCL, "flock", "+DTR"/"-RTS"
// for TIOCMBIS/TIOCMBIC, "get" for TIOCMGET), each followed by ';', and hands
// out descriptor 40. Open and flock fail with the errno set here, and so does
// the next ioctl of failing_request (of any request when 0); open with other
// flags logs "<path> ?". The device opened for a port is /dev/fake/<port>
// unless device is set.
struct PosixControlTest : ::testing::Test {
    void TearDown() override { control.reset(); EXPECT_EQ(open_fds, 0) << "descriptor leaked"; }
    // Line writes, upper case for high: D DTR, R RTS.
    void write(const std::string& lines)
    {
        for (char c : lines) c == 'D' || c == 'd' ? control->set_DTREnable(c == 'D') : control->set_RTSEnable(c == 'R');
    }
    int ioctl(int to, unsigned long request, int* bits)
    {
        const std::map<unsigned long, const char*> names{{TIOCGEXCL, "gexcl;"}, {TIOCEXCL, "excl;"}, {TIOCNXCL, "nxcl;"},
                                                         {TIOCMGET, "get;"},     {TIOCMBIS, "+"},       {TIOCMBIC, "-"}};
        log += names.at(request);
        if (request == TIOCMBIS || request == TIOCMBIC) log += *bits == TIOCM_DTR ? "DTR;" : "RTS;";
        if (request == TIOCMGET) *bits = modem;
        if (request == TIOCGEXCL) *bits = exclusive_already;
        if (to != 40 || open_fds == 0) return fail(EBADF);
        if (ioctl_error != 0 && (failing_request == 0 || failing_request == request)) return fail(std::exchange(ioctl_error, 0));
        return 0;
    }

    int open_error = 0, flock_error = 0, ioctl_error = 0, modem = 0, open_fds = 0, exclusive_already = 0;
    unsigned long failing_request = 0;
    std::string log;
    std::optional<std::string> device;
    std::optional<serial::PosixSerialControl> control{
        std::in_place, [this](int port) { return device.value_or("/dev/fake/" + std::to_string(port)); },
        serial::SystemCalls{
            [this](const char* path, int flags) {
                log += path + std::string(flags == (O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) ? ";" : " ?;");
                return open_error != 0 ? fail(open_error) : (++open_fds, 40);
            },
            [this](int closed) { return log += "close;", closed == 40 && open_fds-- > 0 ? 0 : fail(EBADF); },
            [this](int to, unsigned long request, int* bits) { return ioctl(to, request, bits); },
            [this](int, int how) {
                return log += how == (LOCK_EX | LOCK_NB) ? "flock;" : "flock?;", flock_error ? fail(flock_error) : 0;
            }}};
};

TEST_F(PosixControlTest, OpensTheNumberedDeviceExclusiveAndLockedAndReadsCtsOnlyWhileOpen)
{
    control->set_CommPort(3);
    control->set_PortOpen(true);
    EXPECT_EQ(raised([&] { control->set_PortOpen(true); }), Raised("/dev/fake/3", EBUSY));
    EXPECT_EQ(raised([&] { control->set_CommPort(2); }), Raised("/dev/fake/3", EBUSY));
    const auto cts = [&](int modem_bits) { return modem = modem_bits, control->CTSHolding(); };
    EXPECT_TRUE(cts(TIOCM_CTS | TIOCM_DSR));
    EXPECT_FALSE(cts(~TIOCM_CTS));
    ioctl_error = EIO;
    EXPECT_EQ(raised([&] { control->CTSHolding(); }), Raised("/dev/fake/3", EIO));
    control->set_PortOpen(false);
    control->set_PortOpen(false);  // closed already: no call
    EXPECT_THROW(control->CTSHolding(), serial::SerialError);  // closed: no line operation at all
    EXPECT_THROW(write("D"), serial::SerialError);
    EXPECT_EQ(log, "/dev/fake/3;gexcl;excl;flock;get;get;get;nxcl;close;");  // left as it was found
}

// Exclusive mode set here is cleared again before the descriptor goes; a tty
// found exclusive (open for root only) is left so.
TEST_F(PosixControlTest, FailedOpenRaisesWithDeviceAndErrnoAndLeavesTheTtyAsFound)
{
    const struct { int open, excl, flock, exclusive_already, reported; const char* log; } cases[] = {
        {ENOENT, 0, 0, 0, ENOENT, ""}, {0, EBUSY, 0, 0, EBUSY, "gexcl;excl;close;"},
        {0, 0, ENOLCK, 0, ENOLCK, "gexcl;excl;flock;nxcl;close;"},
        {0, 0, EWOULDBLOCK, 0, EBUSY, "gexcl;excl;flock;nxcl;close;"},  // the lock held by another program
        {0, 0, EWOULDBLOCK, 1, EBUSY, "gexcl;flock;close;"},
    };
    for (const auto& c : cases) {
        open_error = c.open, ioctl_error = c.excl, failing_request = TIOCEXCL, flock_error = c.flock;
        exclusive_already = c.exclusive_already, log.clear();
        EXPECT_EQ(raised([&] { control->set_PortOpen(true); }), Raised("/dev/fake/1", c.reported));
        EXPECT_TRUE(open_fds == 0 && !control->PortOpen()) << "left open or leaked, error " << c.reported;
        EXPECT_EQ(log, "/dev/fake/1;" + std::string(c.log));
    }
    exclusive_already = 1, flock_error = 0, log.clear();
    control->set_PortOpen(true);
    control->set_PortOpen(false);
    EXPECT_EQ(log, "/dev/fake/1;gexcl;flock;close;");
}

// A device text that is not a plausible port is refused before any open, with
// a message that quotes it (shortened, escaped) and says why.
TEST_F(PosixControlTest, RefusesADevicePathThatIsCutRelativeOrOutsideDevBeforeAnyOpen)
{
    const std::string by_id = "/dev/serial/by-id/", longest = by_id + std::string(126 - by_id.size(), 'x');
    const struct { std::string device; int error; std::string message; } cases[] = {
        {by_id + std::string(5000, 'x'), ENAMETOOLONG,
         "\"" + by_id + std::string(30, 'x') + "\"...: not opened as a port: a device path must be shorter than 127 bytes"},
        {longest + "x", ENAMETOOLONG, "shorter than 127 bytes"},  // fills the settings read: maybe cut
        {"ttyUSB0", EINVAL, "\"ttyUSB0\": not opened as a port: a port must be an absolute device path under /dev/"},
        {"/tmp/ttyUSB0", EINVAL, "under /dev/"}, {"/dev/../etc/passwd", EINVAL, "under /dev/"},
        {"/dev/", EINVAL, "under /dev/"}, {"/dev/pts/..", EINVAL, "under /dev/"},
        {"/dev/tty\nS0", EINVAL, "\"/dev/tty\\x0AS0\": not opened as a port: the path holds a control character"},
    };
    for (const auto& c : cases) {
        device = c.device;
        try {
            control->set_PortOpen(true);
            ADD_FAILURE() << "opened " << c.device;
        } catch (const serial::SerialError& error) {
            EXPECT_EQ(Raised(error.device(), error.error_number()), Raised(c.device, c.error));
            EXPECT_NE(std::string(error.what()).find(c.message), std::string::npos) << error.what();
        }
    }
    EXPECT_EQ(log, "");
    for (const std::string& accepted : {longest, std::string("/dev/ttyS0..")}) {
        device = accepted;
        control->set_PortOpen(true);
        control->set_PortOpen(false);
        EXPECT_EQ(std::exchange(log, ""), accepted + ";gexcl;excl;flock;nxcl;close;");
    }
}

TEST_F(PosixControlTest, OnlyLineChangesGoOutUntilAFreshOpenOrAFailedWriteForgetsTheLevel)
{
    control->set_PortOpen(true);
    write("DDRRdRdrDr");
    control->set_PortOpen(false);
    control->set_PortOpen(true);
    write("Dr");  // the levels last set before the close
    for (const char* next : {"D", "d"}) {  // after a failed write, either level goes out
        ioctl_error = EIO;
        EXPECT_EQ(raised([&] { write("d"); }), Raised("/dev/fake/1", EIO));
        write(next);
    }
    EXPECT_EQ(log, "/dev/fake/1;gexcl;excl;flock;+DTR;+RTS;-DTR;-RTS;+DTR;nxcl;close;"
                   "/dev/fake/1;gexcl;excl;flock;+DTR;-RTS;-DTR;+DTR;-DTR;-DTR;");
}

}  // namespace
