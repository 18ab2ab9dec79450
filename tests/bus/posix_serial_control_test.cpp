// PosixSerialControl through its system-call seam. No test here opens a
// serial device: the fake hands out numbers, and the one test on real calls
// uses a pseudo-terminal it creates itself.
#include "bus/posix_serial_control.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "tests/bus/fake_system_calls.h"

namespace {

using testsupport::FakeSystemCalls;
using Call = FakeSystemCalls::Call;
using serial::PosixSerialControl;
using serial::SerialError;

constexpr int open_flags = O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC;

std::string fake_device(int port) { return "/fake/port" + std::to_string(port); }

class PosixControlTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        control.reset();
        EXPECT_TRUE(system.open_fds.empty()) << "descriptor leaked";
    }

    PosixSerialControl& make()
    {
        control.emplace(fake_device, system.calls());
        return *control;
    }

    PosixSerialControl& make_open()
    {
        PosixSerialControl& port = make();
        port.set_PortOpen(true);
        system.log.clear();
        return port;
    }

    FakeSystemCalls system;
    std::optional<PosixSerialControl> control;
};

// --- Opening ------------------------------------------------------------------

TEST_F(PosixControlTest, OpenTakesTheDeviceExclusivelyThenLocksIt)
{
    PosixSerialControl& port = make();
    EXPECT_FALSE(port.PortOpen());
    port.set_PortOpen(true);

    ASSERT_EQ(system.log.size(), 3U);
    const Call& open = system.log[0];
    EXPECT_EQ(open.kind, Call::open);
    EXPECT_EQ(open.path, "/fake/port1");
    EXPECT_EQ(open.flags, open_flags);
    EXPECT_EQ(system.log[1], (Call{Call::ioctl, open.fd, {}, 0, TIOCEXCL, 0}));
    EXPECT_EQ(system.log[2], (Call{Call::flock, open.fd, {}, LOCK_EX | LOCK_NB}));
    EXPECT_TRUE(port.PortOpen());
    EXPECT_EQ(port.device(), "/fake/port1");
}

struct OpenFailure {
    const char* name;
    int open_error;
    int excl_error;
    int flock_error;
    int reported;          // errno carried by the SerialError
    std::size_t opens;     // descriptors handed out (each must be closed)
};

class PosixOpenFailure : public PosixControlTest, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(PosixOpenFailure, RaisesWithDeviceAndErrnoAndLeaksNothing)
{
    const OpenFailure& c = GetParam();
    system.open_error = c.open_error;
    if (c.excl_error != 0) system.ioctl_errors[TIOCEXCL] = c.excl_error;
    system.flock_error = c.flock_error;
    PosixSerialControl& port = make();
    port.set_CommPort(2);

    try {
        port.set_PortOpen(true);
        FAIL() << "open did not fail";
    } catch (const SerialError& error) {
        EXPECT_EQ(error.device(), "/fake/port2");
        EXPECT_EQ(error.error_number(), c.reported);
        EXPECT_NE(std::string(error.what()).find("/fake/port2"), std::string::npos);
    }
    EXPECT_FALSE(port.PortOpen());
    EXPECT_TRUE(port.device().empty());
    EXPECT_TRUE(system.open_fds.empty());
    EXPECT_EQ(system.of_kind(Call::close).size(), c.opens);

    // Nothing half-open is left behind: once the cause is gone it opens.
    system.open_error = 0;
    system.ioctl_errors.clear();
    system.flock_error = 0;
    port.set_PortOpen(true);
    EXPECT_TRUE(port.PortOpen());
}

INSTANTIATE_TEST_SUITE_P(
    Causes, PosixOpenFailure,
    ::testing::Values(OpenFailure{"no_such_device", ENOENT, 0, 0, ENOENT, 0},
                      OpenFailure{"permission", EACCES, 0, 0, EACCES, 0},
                      OpenFailure{"exclusive_refused", 0, EBUSY, 0, EBUSY, 1},
                      OpenFailure{"not_a_tty", 0, ENOTTY, 0, ENOTTY, 1},
                      // Held by another program: reported as busy.
                      OpenFailure{"locked_elsewhere", 0, 0, EWOULDBLOCK, EBUSY, 1},
                      OpenFailure{"lock_error", 0, 0, ENOLCK, ENOLCK, 1}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(PosixControlTest, OpeningAnOpenPortIsRefusedWithoutASecondDescriptor)
{
    PosixSerialControl& port = make_open();
    try {
        port.set_PortOpen(true);
        FAIL() << "second open accepted";
    } catch (const SerialError& error) {
        EXPECT_EQ(error.error_number(), EBUSY);
    }
    EXPECT_TRUE(system.log.empty());
    EXPECT_TRUE(port.PortOpen());
}

TEST_F(PosixControlTest, CloseAndDestructorReleaseTheDescriptorOnce)
{
    PosixSerialControl& port = make_open();
    const int fd = *system.open_fds.begin();
    port.set_PortOpen(false);
    port.set_PortOpen(false);  // already closed: no call
    EXPECT_EQ(system.log, (std::vector<Call>{{Call::close, fd}}));
    EXPECT_FALSE(port.PortOpen());
    EXPECT_TRUE(port.device().empty());

    port.set_PortOpen(true);
    control.reset();
    EXPECT_TRUE(system.open_fds.empty());
    EXPECT_EQ(system.of_kind(Call::close).size(), 2U);
}

// --- Port numbers ---------------------------------------------------------------

TEST_F(PosixControlTest, TheOwnersMappingNamesTheDevice)
{
    std::vector<int> asked;
    control.emplace(
        [&asked](int port) {
            asked.push_back(port);
            return "/owner/choice-" + std::to_string(port);
        },
        system.calls());
    control->set_CommPort(3);
    EXPECT_EQ(control->CommPort(), 3);
    control->set_PortOpen(true);
    EXPECT_EQ(asked, (std::vector<int>{3}));
    EXPECT_EQ(system.log.front().path, "/owner/choice-3");
    EXPECT_EQ(control->device(), "/owner/choice-3");
}

TEST_F(PosixControlTest, PortNumberIsOneToFourAndFixedWhileOpen)
{
    PosixSerialControl& port = make();
    for (const int bad : {0, -1, 5, 100}) {
        try {
            port.set_CommPort(bad);
            ADD_FAILURE() << "accepted COM" << bad;
        } catch (const SerialError& error) {
            EXPECT_EQ(error.error_number(), EINVAL);
        }
    }
    EXPECT_EQ(port.CommPort(), 1);

    port.set_PortOpen(true);
    try {
        port.set_CommPort(2);
        FAIL() << "port changed while open";
    } catch (const SerialError& error) {
        EXPECT_EQ(error.error_number(), EBUSY);
        EXPECT_EQ(error.device(), "/fake/port1");
    }
    EXPECT_EQ(port.CommPort(), 1);
    EXPECT_TRUE(port.PortOpen());

    port.set_PortOpen(false);
    port.set_CommPort(4);
    port.set_PortOpen(true);
    EXPECT_EQ(port.device(), "/fake/port4");
}

TEST(PosixDefaultMapping, ComOneToFourAreTheFirstFourUarts)
{
    // Names only: nothing is opened.
    const std::pair<int, const char*> table[] = {
        {1, "/dev/ttyS0"}, {2, "/dev/ttyS1"}, {3, "/dev/ttyS2"}, {4, "/dev/ttyS3"}};
    for (const auto& [port, device] : table) {
        EXPECT_EQ(serial::default_device_for_port(port), device) << "COM" << port;
    }
}

// --- Lines ------------------------------------------------------------------------

struct LineCase {
    const char* name;
    bool dtr;  // which output
    bool level;
    unsigned long request;
    int bit;
};

class PosixLineWrite : public PosixControlTest, public ::testing::WithParamInterface<LineCase> {};

TEST_P(PosixLineWrite, OneIoctlWithTheLinesBit)
{
    const LineCase& c = GetParam();
    PosixSerialControl& port = make_open();
    const int fd = *system.open_fds.begin();
    const auto write = [&](bool level) {
        c.dtr ? port.set_DTREnable(level) : port.set_RTSEnable(level);
    };

    write(c.level);
    EXPECT_EQ(system.log, (std::vector<Call>{{Call::ioctl, fd, {}, 0, c.request, c.bit}}));

    write(c.level);  // same level again: the line would not change
    EXPECT_EQ(system.ioctls(), 1);

    write(!c.level);
    ASSERT_EQ(system.ioctls(), 2);
    EXPECT_EQ(system.log.back().request, c.request == TIOCMBIS ? TIOCMBIC : TIOCMBIS);
    EXPECT_EQ(system.log.back().argument, c.bit);
}

INSTANTIATE_TEST_SUITE_P(Lines, PosixLineWrite,
                         ::testing::Values(LineCase{"dtr_on", true, true, TIOCMBIS, TIOCM_DTR},
                                           LineCase{"dtr_off", true, false, TIOCMBIC, TIOCM_DTR},
                                           LineCase{"rts_on", false, true, TIOCMBIS, TIOCM_RTS},
                                           LineCase{"rts_off", false, false, TIOCMBIC, TIOCM_RTS}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(PosixControlTest, OnlyChangesGoOutAndEachLineIsRememberedApart)
{
    // (line, level) written in order, and whether an ioctl must follow.
    struct Step {
        char line;
        bool level;
        bool issued;
    };
    const Step steps[] = {
        {'D', true, true},   {'D', true, false},  {'R', true, true},  {'R', true, false},
        {'D', false, true},  {'R', true, false},  {'D', false, false}, {'R', false, true},
        {'D', true, true},   {'R', false, false}, {'R', true, true},  {'D', true, false},
    };
    PosixSerialControl& port = make_open();
    long expected = 0;
    for (std::size_t i = 0; i < std::size(steps); ++i) {
        const Step& step = steps[i];
        step.line == 'D' ? port.set_DTREnable(step.level) : port.set_RTSEnable(step.level);
        expected += step.issued ? 1 : 0;
        EXPECT_EQ(system.ioctls(), expected) << "step " << i;
    }
}

TEST_F(PosixControlTest, AReopenedPortRemembersNothing)
{
    PosixSerialControl& port = make_open();
    port.set_DTREnable(true);
    port.set_RTSEnable(false);
    port.set_PortOpen(false);
    port.set_PortOpen(true);
    system.log.clear();

    // The device may have reset its lines on open: both writes go out.
    port.set_DTREnable(true);
    port.set_RTSEnable(false);
    EXPECT_EQ(system.ioctls(), 2);
}

TEST_F(PosixControlTest, AFailedWriteRaisesAndTheNextWriteGoesOutAgain)
{
    PosixSerialControl& port = make_open();
    port.set_DTREnable(true);
    system.fail_next_ioctl = EIO;
    try {
        port.set_DTREnable(false);
        FAIL() << "no exception";
    } catch (const SerialError& error) {
        EXPECT_EQ(error.error_number(), EIO);
        EXPECT_EQ(error.device(), "/fake/port1");
    }
    // The level is unknown now: even the level set before goes out again.
    port.set_DTREnable(true);
    EXPECT_EQ(system.ioctls(), 3);
    EXPECT_EQ(system.log.back().request, static_cast<unsigned long>(TIOCMBIS));
    port.set_DTREnable(true);
    EXPECT_EQ(system.ioctls(), 3);

    // The other line's memory is untouched.
    port.set_RTSEnable(true);
    port.set_RTSEnable(true);
    EXPECT_EQ(system.ioctls(), 4);
}

TEST_F(PosixControlTest, CtsIsReadWithTiocmget)
{
    PosixSerialControl& port = make_open();
    struct Case {
        int bits;
        bool cts;
    };
    const Case cases[] = {
        {TIOCM_CTS, true},
        {0, false},
        {TIOCM_DSR | TIOCM_CAR | TIOCM_RNG | TIOCM_DTR | TIOCM_RTS, false},
        {TIOCM_CTS | TIOCM_DSR, true},
    };
    for (const Case& c : cases) {
        system.modem_bits = c.bits;
        EXPECT_EQ(port.CTSHolding(), c.cts) << "bits " << c.bits;
    }
    // Every read is a fresh look at the line.
    ASSERT_EQ(system.ioctls(), static_cast<long>(std::size(cases)));
    for (const Call& call : system.log) {
        EXPECT_EQ(call.request, static_cast<unsigned long>(TIOCMGET));
    }
}

TEST_F(PosixControlTest, AFailedCtsReadRaises)
{
    PosixSerialControl& port = make_open();
    system.ioctl_errors[TIOCMGET] = EIO;
    try {
        port.CTSHolding();
        FAIL() << "no exception";
    } catch (const SerialError& error) {
        EXPECT_EQ(error.error_number(), EIO);
    }
}

TEST_F(PosixControlTest, LineOperationsOnAClosedPortRaiseWithoutASystemCall)
{
    PosixSerialControl& port = make();
    // Closed from the start, and closed again with levels remembered.
    for (int round = 0; round < 2; ++round) {
        system.log.clear();
        EXPECT_THROW(port.set_DTREnable(true), SerialError);
        EXPECT_THROW(port.set_RTSEnable(false), SerialError);
        try {
            port.CTSHolding();
            ADD_FAILURE() << "CTS read on a closed port";
        } catch (const SerialError& error) {
            EXPECT_EQ(error.error_number(), EBADF);
        }
        EXPECT_TRUE(system.log.empty());

        port.set_PortOpen(true);
        port.set_DTREnable(true);
        port.set_RTSEnable(false);
        port.set_PortOpen(false);
    }
}

// --- Real system calls, on a pseudo-terminal made here ---------------------------

class PtyPair {
public:
    PtyPair()
    {
        master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master_ >= 0 && ::grantpt(master_) == 0 && ::unlockpt(master_) == 0) {
            const char* name = ::ptsname(master_);
            slave_ = name != nullptr ? name : "";
        }
    }
    ~PtyPair()
    {
        if (master_ >= 0) ::close(master_);
    }
    const std::string& slave() const { return slave_; }

private:
    int master_ = -1;
    std::string slave_;
};

TEST(PosixRealCalls, OpensAndLocksAPtyAndASecondControlIsRefused)
{
    PtyPair pty;
    ASSERT_EQ(pty.slave().rfind("/dev/pts/", 0), 0U) << "no pseudo-terminal: " << pty.slave();
    const auto to_pty = [&pty](int) { return pty.slave(); };

    PosixSerialControl first(to_pty);
    first.set_PortOpen(true);
    EXPECT_EQ(first.device(), pty.slave());

    PosixSerialControl second(to_pty);
    try {
        second.set_PortOpen(true);
        FAIL() << "a held port opened twice";
    } catch (const SerialError& error) {
        EXPECT_EQ(error.error_number(), EBUSY);  // TIOCEXCL for users, the lock for root
    }
    EXPECT_FALSE(second.PortOpen());

    // Released by close, the port can be taken.
    first.set_PortOpen(false);
    second.set_PortOpen(true);
    EXPECT_TRUE(second.PortOpen());
}

TEST(PosixRealCalls, AMissingDeviceIsReportedAsSuch)
{
    PosixSerialControl port([](int) { return std::string("/nonexistent/ttyQ9"); });
    try {
        port.set_PortOpen(true);
        FAIL() << "opened a missing device";
    } catch (const SerialError& error) {
        EXPECT_EQ(error.error_number(), ENOENT);
        EXPECT_EQ(error.device(), "/nonexistent/ttyQ9");
    }
}

}  // namespace
