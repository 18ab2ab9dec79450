// PosixSerialControl through its system-call seam. No test here opens any
// device: the fake hands out numbers.
#include "bus/posix_serial_control.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <set>
#include <string>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <utility>
#include <vector>

namespace {

using serial::PosixSerialControl;
using serial::SerialError;
using Calls = std::vector<std::string>;
using Raised = std::pair<std::string, int>;  // device and errno

template <typename Action>
Raised raised(Action action)
{
    try {
        action();
    } catch (const SerialError& error) {
        return {error.device(), error.error_number()};
    }
    return {"nothing raised", 0};
}

std::string ioctl_name(unsigned long request, const int* argument)
{
    const int bits = argument != nullptr ? *argument : 0;
    const std::string line = bits == TIOCM_DTR ? " DTR" : bits == TIOCM_RTS ? " RTS" : " ?";
    return request == TIOCEXCL ? "excl"
           : request == TIOCMBIS ? "set" + line
           : request == TIOCMBIC ? "clear" + line
           : request == TIOCMGET ? "get" : "other";
}

// System calls on no device: descriptors are numbers, each call is logged by
// name, and open, TIOCEXCL, flock or the next ioctl can be made to fail.
struct FakeSystem {
    int open_error = 0, excl_error = 0, flock_error = 0, next_ioctl_error = 0;
    int modem_bits = 0;  // what TIOCMGET reports
    int open_flags = 0;
    Calls log;
    std::set<int> open_fds;
    int next_fd = 40;

    static int result(int error) { return error == 0 ? 0 : (errno = error, -1); }

    serial::SystemCalls calls()
    {
        return {
            [this](const char* path, int flags) {
                log.push_back(std::string("open ") + path);
                open_flags = flags;
                return open_error != 0 ? result(open_error) : *open_fds.insert(next_fd++).first;
            },
            [this](int fd) {
                log.push_back("close");
                return result(open_fds.erase(fd) != 0 ? 0 : EBADF);
            },
            [this](int fd, unsigned long request, int* argument) {
                log.push_back(ioctl_name(request, argument));
                int error = std::exchange(next_ioctl_error, 0);
                if (request == TIOCEXCL && error == 0) error = excl_error;
                if (open_fds.count(fd) == 0) error = EBADF;
                if (error == 0 && request == TIOCMGET) *argument = modem_bits;
                return result(error);
            },
            [this](int fd, int operation) {
                log.push_back(operation == (LOCK_EX | LOCK_NB) ? "flock" : "flock other");
                return result(open_fds.count(fd) == 0 ? EBADF : flock_error);
            },
        };
    }
};

class PosixControlTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        control.emplace([](int port) { return "/fake/port" + std::to_string(port); }, system.calls());
    }
    void TearDown() override
    {
        control.reset();
        EXPECT_TRUE(system.open_fds.empty()) << "descriptor leaked";
    }
    PosixSerialControl& opened()
    {
        control->set_PortOpen(true);
        system.log.clear();
        return *control;
    }

    FakeSystem system;
    std::optional<PosixSerialControl> control;
};

TEST_F(PosixControlTest, OpenTakesTheNumberedDeviceExclusivelyThenLocksIt)
{
    control->set_PortOpen(true);
    EXPECT_EQ(system.log, (Calls{"open /fake/port1", "excl", "flock"}));
    EXPECT_EQ(system.open_flags, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    EXPECT_EQ(control->device(), "/fake/port1");

    // While open: no second descriptor, no other port number.
    EXPECT_EQ(raised([&] { control->set_PortOpen(true); }), Raised("/fake/port1", EBUSY));
    EXPECT_EQ(raised([&] { control->set_CommPort(2); }), Raised("/fake/port1", EBUSY));
    control->set_PortOpen(false);
    control->set_PortOpen(false);  // closed already: no call
    EXPECT_EQ(system.log, (Calls{"open /fake/port1", "excl", "flock", "close"}));

    for (const int bad : {0, 5}) EXPECT_THROW(control->set_CommPort(bad), SerialError) << bad;
    control->set_CommPort(4);
    control->set_PortOpen(true);
    EXPECT_EQ(control->device(), "/fake/port4");
}

TEST_F(PosixControlTest, FailedOpenRaisesWithDeviceAndErrnoAndLeaksNothing)
{
    const struct {
        int FakeSystem::*cause;
        int error, reported;
    } cases[] = {
        {&FakeSystem::open_error, ENOENT, ENOENT},
        {&FakeSystem::excl_error, EBUSY, EBUSY},
        {&FakeSystem::flock_error, EWOULDBLOCK, EBUSY},  // held by another program
        {&FakeSystem::flock_error, ENOLCK, ENOLCK},
    };
    control->set_CommPort(2);
    for (const auto& c : cases) {
        system.*c.cause = c.error;
        EXPECT_EQ(raised([&] { control->set_PortOpen(true); }), Raised("/fake/port2", c.reported));
        EXPECT_FALSE(control->PortOpen());
        EXPECT_TRUE(system.open_fds.empty()) << c.error;
        system.*c.cause = 0;
    }
    control->set_PortOpen(true);  // once the cause is gone it opens
    EXPECT_TRUE(control->PortOpen());
}

TEST_F(PosixControlTest, OnlyLineChangesGoOut)
{
    // Each write, and the ioctl it must cause ("" for none).
    const struct {
        char line;
        bool level;
        const char* call;
    } steps[] = {
        {'D', true, "set DTR"},    {'D', true, ""}, {'R', true, "set RTS"}, {'R', true, ""},
        {'D', false, "clear DTR"}, {'R', true, ""}, {'D', false, ""},       {'R', false, "clear RTS"},
        {'D', true, "set DTR"},    {'R', false, ""},
    };
    // The second round on a fresh open, which forgets the levels.
    for (int round = 0; round < 2; ++round) {
        opened();
        for (const auto& step : steps) {
            SCOPED_TRACE(::testing::Message() << "round " << round << ' ' << step.line << step.level);
            system.log.clear();
            step.line == 'D' ? control->set_DTREnable(step.level) : control->set_RTSEnable(step.level);
            EXPECT_EQ(system.log, *step.call != '\0' ? Calls{step.call} : Calls{});
        }
        control->set_PortOpen(false);
    }

    // After a failed write the level is unknown: even the one set before goes out.
    opened().set_DTREnable(true);
    system.next_ioctl_error = EIO;
    EXPECT_EQ(raised([&] { control->set_DTREnable(false); }), Raised("/fake/port1", EIO));
    system.log.clear();
    control->set_DTREnable(true);
    EXPECT_EQ(system.log, Calls{"set DTR"});
}

TEST_F(PosixControlTest, CtsIsReadFreshWithTiocmgetAndOnlyWhileOpen)
{
    PosixSerialControl& port = opened();
    for (const auto& [bits, cts] : {std::pair{TIOCM_CTS, true}, std::pair{0, false},
                                    std::pair{TIOCM_DSR | TIOCM_CAR | TIOCM_RNG | TIOCM_DTR | TIOCM_RTS, false}}) {
        system.modem_bits = bits;
        EXPECT_EQ(port.CTSHolding(), cts) << bits;
    }
    EXPECT_EQ(system.log, (Calls{"get", "get", "get"}));
    system.next_ioctl_error = EIO;
    EXPECT_EQ(raised([&] { port.CTSHolding(); }), Raised("/fake/port1", EIO));

    // Closed, every line operation raises without a system call.
    port.set_PortOpen(false);
    system.log.clear();
    EXPECT_THROW(port.CTSHolding(), SerialError);
    EXPECT_THROW(port.set_DTREnable(true), SerialError);
    EXPECT_THROW(port.set_RTSEnable(false), SerialError);
    EXPECT_TRUE(system.log.empty());
}

}  // namespace
