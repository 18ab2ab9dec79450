// The search for the board: the real serial control on the simulated board
// behind its modem-line ioctls (no device at all), with failures injected at
// the system calls. The same on umockdev's emulated port is in
// serial_umockdev_tests.
#include "sensor/board_probe.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <sys/file.h>

#include "bus/posix_serial_control.h"
#include "sensor/simulated_board.h"
#include "tests/support/board_system_calls.h"

namespace {

using sensor::SimulatedBoard;
using serial::SerialDevice;

int fail(int error) { return errno = error, -1; }

// Each case on a fresh board with both sensors. What a probe may send is the
// two address bytes and nothing else, whatever it finds; every descriptor it
// opens is closed, after the exclusive mode it set is cleared.
TEST(BoardProbe, ProbesOnlyTheTwoAddressesAndLeavesTheDeviceAsFound)
{
    const std::string denied = std::strerror(EACCES) + std::string(" (the user needs read and write access to the "
                                                                   "device, usually by being in the dialout group)");
    const struct {
        const char* name;
        std::function<void(SimulatedBoard&)> board;
        int open_error, flock_error, exclusive_error, line_error;
        std::string text;
        bool probed;  // the address bytes went out
        long exclusive_cleared;
    } cases[] = {
        {"board present", nullptr, 0, 0, 0, 0, "sensors 1 and 2", true, 1},
        {"sensor 1 alone", [](SimulatedBoard& b) { b.set_present(1, false); }, 0, 0, 0, 0, "sensor 1", true, 1},
        {"sensor 2 alone", [](SimulatedBoard& b) { b.set_present(0, false); }, 0, 0, 0, 0, "sensor 2", true, 1},
        {"no sensor", [](SimulatedBoard& b) { b.set_present(0, false), b.set_present(1, false); }, 0, 0, 0, 0,
         "no sensor", true, 1},
        {"idle line low", [](SimulatedBoard& b) { b.set_unplugged(true); }, 0, 0, 0, 0,
         "no sensor (the data line reads low on the idle bus)", false, 1},
        {"busy: exclusive elsewhere", nullptr, EBUSY, 0, 0, 0, "busy", false, 0},
        {"busy: locked elsewhere", nullptr, 0, EWOULDBLOCK, 0, 0, "busy", false, 1},
        {"no permission", nullptr, EACCES, 0, 0, 0, "cannot open: " + denied, false, 0},
        {"not a tty", nullptr, 0, 0, ENOTTY, 0,
         "cannot open: " + std::string(std::strerror(ENOTTY)) + " (not a serial port)", false, 0},
        {"a line that fails", nullptr, 0, 0, 0, EIO, "failed: set modem line: " + std::string(std::strerror(EIO)),
         false, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimulatedBoard board;
        if (c.board) c.board(board);
        testsupport::BoardSystemCalls wire(board);
        serial::SystemCalls calls = wire.calls();
        int opened = 0, closed = 0;
        calls.open = [&, open = calls.open](const char* path, int flags) {
            return c.open_error != 0 ? fail(c.open_error) : (++opened, open(path, flags));
        };
        calls.close = [&closed](int) { return ++closed, 0; };
        calls.flock = [&c](int, int) { return c.flock_error != 0 ? fail(c.flock_error) : 0; };
        calls.ioctl = [&, ioctl = calls.ioctl](int fd, unsigned long request, int* bits) {
            if (request == TIOCEXCL && c.exclusive_error != 0) return fail(c.exclusive_error);
            if (request == TIOCMBIS && c.line_error != 0) return fail(c.line_error);
            return ioctl(fd, request, bits);
        };
        const auto found = sensor::find_board({{"/dev/ttyUSB0", ""}}, [&calls](const std::string& device) {
            return std::make_unique<serial::PosixSerialControl>([device](int) { return device; }, calls);
        });

        ASSERT_EQ(found.size(), 1u);
        EXPECT_EQ(sensor::probe_text(found[0].probe), c.text);
        EXPECT_EQ(found[0].probe.found(), c.text.starts_with("sensor"));
        EXPECT_EQ(board.addresses(), (c.probed ? std::vector<std::uint8_t>{0x90, 0x92} : std::vector<std::uint8_t>{}));
        const SimulatedBoard::Counters counters = board.counters();
        EXPECT_EQ(counters.commands + counters.config_writes + counters.eeprom_writes, 0);
        EXPECT_FALSE(board.converting(0) || board.converting(1));
        EXPECT_EQ(closed, opened);
        EXPECT_EQ(wire.counts().of(TIOCNXCL), c.exclusive_cleared);
    }
}

TEST(BoardProbe, CandidatesAreTheNamedDevicesResolvedOrEveryOnePresentEachOnce)
{
    const SerialDevice usb0{"/dev/ttyUSB0", "/dev/serial/by-id/usb-A"}, s0{"/dev/ttyS0", ""};
    int listings = 0;
    const serial::Devices devices{[&] { return ++listings, std::vector{s0, usb0}; },
                                  [&] { return std::vector{usb0}; }, nullptr};
    EXPECT_EQ(sensor::candidates({}, devices), (std::vector{s0, usb0}));
    EXPECT_EQ(sensor::candidates({"/dev/serial/by-id/usb-A", "/dev/ttyS3", "/dev/ttyUSB0"}, devices),
              (std::vector{usb0, SerialDevice{"/dev/ttyS3", ""}}));
    EXPECT_EQ(listings, 1) << "named devices list the stable names alone";
    EXPECT_EQ(sensor::probe_text(sensor::find_board({s0}, nullptr)[0].probe),
              "cannot open: " + std::string(std::strerror(ENODEV)));

    // The hint after a port that would not open names every other device.
    const struct {
        sensor::Reading reading;
        std::string hint;
    } hints[] = {
        {{sensor::READ_FAILED, "…", true, "/dev/ttyS0"},
         "; other serial devices: /dev/ttyUSB0; `quelvane --find` probes them"},
        {{sensor::READ_FAILED, "…", true, "/dev/serial/by-id/usb-A"},
         "; other serial devices: /dev/ttyS0; `quelvane --find` probes them"},
        {{sensor::READ_FAILED, "…", true, "/dev/ttyACM0"},
         "; other serial devices: /dev/ttyS0, /dev/ttyUSB0; `quelvane --find` probes them"},
        {{sensor::READ_FAILED, "no acknowledge at 0x48"}, ""},  // the port opened
    };
    for (const auto& [reading, hint] : hints) EXPECT_EQ(sensor::other_devices_hint(reading, devices), hint);
    EXPECT_EQ(sensor::other_devices_hint(hints[0].reading, {}), "");
}

}  // namespace
