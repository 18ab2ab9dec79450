// The real quelvane program, end to end: started in a scratch directory with
// /dev/ttyS0 emulated by umockdev and played by the simulated board. Runs
// under umockdev-wrapper only; the child inherits the preload. The demo runs
// on its simulated board, here under the same guard.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>

#include "tests/support/program_fixture.h"

namespace {

using testsupport::read_bytes;
using testsupport::lines_of;

class ProgramTest : public testsupport::ProgramFixture {
protected:
    // A settings file selecting both sensors and logging.
    void two_sensors_logging() const
    {
        std::ofstream(dir / "Quelvane.INI", std::ios::binary)
            << "[CT]\r\nFileId=quelv\r\nfrm_quelvaner.option_double.value=1\r\n"
               "frm_quelvaner.option_single.value=0\r\nfrm_quelvaner.check_log_to_file.value=1\r\n";
    }
};

TEST_F(ProgramTest, ReadsLogsAndSavesItsSettingsOnSigterm)
{
    two_sensors_logging();
    start();
    terminate_when([&] { return lines_of(dir / "Quelvane.txt") >= 2; });

    EXPECT_EQ(read_bytes(dir / "Quelvane.txt").substr(28, 22), "8,0\xB0" "C         21,5\xB0" "C\r\n");
    const std::string settings = read_bytes(dir / "Quelvane.INI");
    EXPECT_NE(settings.find("frm_quelvaner.label_temperature_indoor.caption=21,5\xB0" "C\r\n"), std::string::npos);
    EXPECT_NE(settings.find("frm_quelvaner.option_double.value=1\r\n"), std::string::npos);
    EXPECT_EQ(lines_of(dir / "Quelvane.INI"), 34);
}

// SIGTERM while a failure box waits: the reading under way was finished, the
// port is closed, the settings saved, and the tick goes no further: no reading
// of sensor 2, no line call after the close, no log record after the save.
TEST_F(ProgramTest, SigtermWhileAFailureBoxWaitsEndsTheTick)
{
    board.set_line_latency(std::chrono::milliseconds(1));  // as on a USB adapter
    two_sensors_logging();
    board.set_present(0, false);
    start();
    terminate_when([&] {
        return read_bytes(dir / "stderr").find("quelvane: sensor 1 (IC2): no acknowledge at 0x48\n") != std::string::npos;
    });
    // The two lines raised at the opening, then one reading of sensor 1.
    EXPECT_EQ(port->counts().line_writes() + port->counts().of(TIOCMGET), 2 + 309);
    EXPECT_FALSE(std::filesystem::exists(dir / "Quelvane.txt"));
    const std::string settings = read_bytes(dir / "Quelvane.INI");
    EXPECT_NE(settings.find("frm_quelvaner.label_temperature_indoor.caption=--.-\r\n"), std::string::npos);
    EXPECT_EQ(lines_of(dir / "Quelvane.INI"), 34);
}

// Every display that cannot be used: the program says so in one line and
// ends with status 1 within 3 s (the probe waits 2 s at most for a display
// that takes the connection and never answers), before the toolkit can abort
// and before any port or file is touched.
TEST_F(ProgramTest, EveryDisplayThatCannotBeUsedGivesOneLineAndStatusOne)
{
    // Loopback TCP ports of X displays: one that refuses (bound, not
    // listening), one that takes connections and never answers.
    const auto bound = [](bool listening, int& number) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        for (number = 100 + ::getpid() % 400; number < 1000; ++number) {
            sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(6000 + number)), {htonl(INADDR_LOOPBACK)}, {}};
            if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) break;
        }
        if (listening) ::listen(fd, 1);
        return fd;
    };
    int refusing = 0, silent = 0;
    const int refusing_fd = bound(false, refusing), silent_fd = bound(true, silent);
    const std::string no_compositor = dir / "wayland-refuses";
    sockaddr_un address{AF_UNIX, {}};
    no_compositor.copy(address.sun_path, sizeof address.sun_path - 1);
    const int unix_fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    ASSERT_EQ(::bind(unix_fd, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    ::close(unix_fd);  // the socket file stays; nobody listens on it
    const std::string x = std::to_string(refusing), no_wayland = ", WAYLAND_DISPLAY is not set";

    const struct {
        std::vector<std::string> environment;
        std::string reason;
    } cases[] = {
        {{}, "DISPLAY is not set" + no_wayland},
        {{"DISPLAY=", "WAYLAND_DISPLAY="}, "DISPLAY is not set" + no_wayland},
        {{"WAYLAND_DISPLAY=" + no_compositor}, "DISPLAY is not set, no compositor answers at WAYLAND_DISPLAY " + no_compositor},
        {{"DISPLAY=localhost:" + x}, "no X server answers at DISPLAY localhost:" + x + no_wayland},
        {{"DISPLAY=unix/path:" + x + ".0"}, "no X server answers at DISPLAY unix/path:" + x + ".0" + no_wayland},
        {{"DISPLAY=127.0.0.1:" + std::to_string(silent)},
         "no X server answers at DISPLAY 127.0.0.1:" + std::to_string(silent) + no_wayland},
        {{"QT_QPA_PLATFORM=bogus", "DISPLAY=:" + x}, "Qt has no platform plugin named bogus"},
    };
    std::vector<const char*> programs{QUELVANE_PROGRAM, QUELVANE_DEMO_PROGRAM};
    for (const auto& [environment, reason] : cases) {
        for (const char* program : programs) {
            SCOPED_TRACE(::testing::PrintToString(environment) + program);
            std::filesystem::remove(dir / "stderr");
            extra_environment = environment;
            const auto started = std::chrono::steady_clock::now();
            start(program, {}, false);
            EXPECT_EQ(exit_status(), 1);
            EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(3));
            const std::string said = read_bytes(dir / "stderr");
            EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
            const std::string name = std::filesystem::path(program).filename();
            EXPECT_EQ(said, name + ": the window needs a display, and there is none here (" + reason +
                                "); without one, readings can be taken with " + name + " --read or " + name +
                                " --log\n");
            EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 2) << "its stderr, and the socket";
        }
        programs.resize(1);  // the demo checks as the monitor does
    }
    EXPECT_EQ(port->counts().total(), 0);
    ::close(refusing_fd), ::close(silent_fd);
}

// The demo keeps its settings and log in its own folder, made on its first
// start: the files of the folder it is started from are never read or
// written, even with logging on in them. Its first start waits on the
// start-up message, and SIGTERM then still saves the whole file.
TEST_F(ProgramTest, TheDemoKeepsToItsOwnFolder)
{
    const std::string settings = "[CT]\r\nFileId=quelv\r\nfrm_quelvaner.check_log_to_file.value=1\r\n";
    const std::string log = "01-02-2026    10:00:00      8,0\xB0" "C         21,5\xB0" "C\r\n";
    std::filesystem::create_directories(dir / "work");
    std::ofstream(dir / "work" / "Quelvane.INI", std::ios::binary) << settings;
    std::ofstream(dir / "work" / "Quelvane.txt", std::ios::binary) << log;
    const std::filesystem::path own = dir / "home" / ".local" / "state" / "quelvane-demo";

    start(QUELVANE_DEMO_PROGRAM, "work");
    terminate_when([&] { return catches_sigterm(); });
    EXPECT_EQ(lines_of(own / "Quelvane.INI"), 34);
    EXPECT_EQ(std::filesystem::status(own).permissions(), std::filesystem::perms::owner_all);

    std::ofstream(own / "Quelvane.INI", std::ios::binary) << settings;  // logging on in its own file
    start(QUELVANE_DEMO_PROGRAM, "work");
    terminate_when([&] { return lines_of(own / "Quelvane.txt") >= 1; });
    EXPECT_EQ(read_bytes(dir / "work" / "Quelvane.INI"), settings);
    EXPECT_EQ(read_bytes(dir / "work" / "Quelvane.txt"), log);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "work"), {}), 2);

    // Its --log says what it reads and where it writes.
    const long logged = lines_of(own / "Quelvane.txt");
    start(QUELVANE_DEMO_PROGRAM, "work", false, {"--log"});
    terminate_when([&] { return lines_of(own / "Quelvane.txt") > logged; });
    EXPECT_EQ(read_bytes(dir / "stderr"), "quelvane: logging sensor 1 from the simulated board every 1 s to " +
                                              (own / "Quelvane.txt").string() + "\n");
    EXPECT_EQ(read_bytes(dir / "work" / "Quelvane.txt"), log);
}

}  // namespace
