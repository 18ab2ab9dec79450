// PosixSerialControl through its system-call seam. No test here opens any
// device: the fake system hands out numbers and logs each call.
#include "bus/posix_serial_control.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>

namespace {

using Raised = std::pair<std::string, int>;  // device and errno

template <typename Action> Raised raised(Action action)
{
    try { action(); } catch (const serial::SerialError& error) { return {error.device(), error.error_number()}; }
    return {"nothing raised", 0};
}

int fail(int error) { return errno = error, -1; }

// The control on a fake system that logs each call (the path opened, "close",
// "excl", "flock", "+DTR"/"-RTS" for TIOCMBIS/TIOCMBIC, "get" for TIOCMGET),
// each followed by ';', and hands out descriptor 40. Open, flock and the next
// ioctl fail with the errno set here; open with other flags logs "<path> ?".
struct PosixControlTest : ::testing::Test {
    void TearDown() override { control.reset(); EXPECT_EQ(open_fds, 0) << "descriptor leaked"; }
    // Line writes, upper case for high: D DTR, R RTS.
    void write(const std::string& lines)
    {
        for (char c : lines) c == 'D' || c == 'd' ? control->set_DTREnable(c == 'D') : control->set_RTSEnable(c == 'R');
    }

    int open_error = 0, flock_error = 0, ioctl_error = 0, modem = 0, open_fds = 0;
    std::string log;
    std::optional<serial::PosixSerialControl> control{
        std::in_place, [](int port) { return "/fake/" + std::to_string(port); },
        serial::SystemCalls{
            [this](const char* path, int flags) {
                log += path + std::string(flags == (O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC) ? ";" : " ?;");
                return open_error != 0 ? fail(open_error) : (++open_fds, 40);
            },
            [this](int closed) { return log += "close;", closed == 40 && open_fds-- > 0 ? 0 : fail(EBADF); },
            [this](int to, unsigned long request, int* bits) {
                log += request == TIOCEXCL ? "excl;" : request == TIOCMGET ? "get;" : request == TIOCMBIS ? "+" : "-";
                if (request == TIOCMBIS || request == TIOCMBIC) log += *bits == TIOCM_DTR ? "DTR;" : "RTS;";
                if (request == TIOCMGET) *bits = modem;
                return to != 40 || open_fds == 0 ? fail(EBADF) : ioctl_error ? fail(std::exchange(ioctl_error, 0)) : 0;
            },
            [this](int, int how) {
                return log += how == (LOCK_EX | LOCK_NB) ? "flock;" : "flock?;", flock_error ? fail(flock_error) : 0;
            }}};
};

TEST_F(PosixControlTest, OpensTheNumberedDeviceExclusiveAndLockedAndReadsCtsOnlyWhileOpen)
{
    control->set_CommPort(3);
    control->set_PortOpen(true);
    EXPECT_EQ(raised([&] { control->set_PortOpen(true); }), Raised("/fake/3", EBUSY));
    EXPECT_EQ(raised([&] { control->set_CommPort(2); }), Raised("/fake/3", EBUSY));
    const auto cts = [&](int modem_bits) { return modem = modem_bits, control->CTSHolding(); };
    EXPECT_TRUE(cts(TIOCM_CTS | TIOCM_DSR));
    EXPECT_FALSE(cts(~TIOCM_CTS));
    ioctl_error = EIO;
    EXPECT_EQ(raised([&] { control->CTSHolding(); }), Raised("/fake/3", EIO));
    control->set_PortOpen(false);
    control->set_PortOpen(false);  // closed already: no call
    EXPECT_THROW(control->CTSHolding(), serial::SerialError);  // closed: no line operation at all
    EXPECT_THROW(write("D"), serial::SerialError);
    EXPECT_EQ(log, "/fake/3;excl;flock;get;get;get;close;");
}

TEST_F(PosixControlTest, FailedOpenRaisesWithDeviceAndErrnoAndLeaksNothing)
{
    const struct { int open, ioctl, flock, reported; } cases[] = {
        {ENOENT, 0, 0, ENOENT}, {0, EBUSY, 0, EBUSY} /* TIOCEXCL */, {0, 0, ENOLCK, ENOLCK},
        {0, 0, EWOULDBLOCK, EBUSY},  // the lock held by another program
    };
    for (const auto& c : cases) {
        open_error = c.open, ioctl_error = c.ioctl, flock_error = c.flock;
        EXPECT_EQ(raised([&] { control->set_PortOpen(true); }), Raised("/fake/1", c.reported));
        EXPECT_TRUE(open_fds == 0 && !control->PortOpen()) << "left open or leaked, error " << c.reported;
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
        EXPECT_EQ(raised([&] { write("d"); }), Raised("/fake/1", EIO));
        write(next);
    }
    EXPECT_EQ(log, "/fake/1;excl;flock;+DTR;+RTS;-DTR;-RTS;+DTR;close;"
                   "/fake/1;excl;flock;+DTR;-RTS;-DTR;+DTR;-DTR;-DTR;");
}

}  // namespace
