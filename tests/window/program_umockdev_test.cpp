// The real quelvane program, end to end: started in a scratch directory with
// /dev/ttyS0 emulated by umockdev and played by the simulated board. Runs
// under umockdev-wrapper only; the child inherits the preload. The demo runs
// on its simulated board, here under the same guard.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sensor/simulated_board.h"
#include "tests/support/umockdev_port.h"

namespace {

std::string file_bytes(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

long lines_of(const std::filesystem::path& path)
{
    const std::string text = file_bytes(path);
    return std::count(text.begin(), text.end(), '\n');
}

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testsupport::umockdev_preloaded()) << "run under umockdev-wrapper";
        board.set_temperature(0, 21.5);
        board.set_temperature(1, 8.0);
        port.emplace(board);
        // The program opens /dev/ttyS0 with plain system calls: it must be the
        // emulated pty, or the program is not started at all.
        ASSERT_TRUE(testsupport::is_pty_node("/dev/ttyS0"));
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
    }

    void TearDown() override
    {
        if (child > 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        port.reset();
        std::filesystem::remove_all(dir);
    }

    // Starts program in dir (or in cwd, inside dir), on the offscreen platform
    // unless there is to be no display at all; HOME is dir/home, and its
    // standard error goes to dir/stderr.
    void start(const char* program = QUELVANE_PROGRAM, const std::filesystem::path& cwd = {}, bool display = true)
    {
        std::filesystem::create_directories(dir / cwd);
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const char* preload = std::getenv("LD_PRELOAD");
            if (preload == nullptr || std::string(preload).find("umockdev") == std::string::npos ||
                ::chdir((dir / cwd).c_str()) != 0) {
                ::_exit(127);  // never let the program near a real port
            }
            for (const char* unset : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_STATE_HOME"}) ::unsetenv(unset);
            if (display) ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::setenv("LC_ALL", "fr_FR.UTF-8", 1);
            ::setenv("HOME", (dir / "home").c_str(), 1);
            const int err = ::open((dir / "stderr").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            if (err < 0 || ::dup2(err, 2) < 0) ::_exit(125);
            ::execl(program, program, static_cast<char*>(nullptr));
            ::_exit(126);
        }
    }

    // The child's exit status once it has ended by itself (30 s at most).
    int exit_status()
    {
        int status = 0;
        for (int waited = 0; waited < 600 && ::waitpid(child, &status, WNOHANG) == 0; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (::kill(child, 0) == 0) return -1;  // still running
        child = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    // Waits (30 s at most) until ready holds, then sends SIGTERM and expects
    // an ordinary exit.
    template <class Ready> void terminate_when(Ready ready)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!ready() && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        ASSERT_TRUE(ready());
        ASSERT_EQ(::kill(child, SIGTERM), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        child = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }

    // Whether the child's SIGTERM handler is in place (SigCgt in its status).
    bool catches_sigterm() const
    {
        std::ifstream status("/proc/" + std::to_string(child) + "/status");
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("SigCgt:", 0) == 0) {
                return (std::stoull(line.substr(7), nullptr, 16) & (1ull << (SIGTERM - 1))) != 0;
            }
        }
        return false;
    }

    // A settings file selecting both sensors and logging.
    void two_sensors_logging() const
    {
        std::ofstream(dir / "Quelvane.INI", std::ios::binary)
            << "[CT]\r\nFileId=quelv\r\nfrm_quelvaner.option_double.value=1\r\n"
               "frm_quelvaner.option_single.value=0\r\nfrm_quelvaner.check_log_to_file.value=1\r\n";
    }

    sensor::SimulatedBoard board;
    std::optional<testsupport::UmockdevSerialPort> port;
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("quelvane-program-" + std::to_string(::getpid()));
    pid_t child = -1;
};

TEST_F(ProgramTest, ReadsLogsAndSavesItsSettingsOnSigterm)
{
    two_sensors_logging();
    start();
    terminate_when([&] { return lines_of(dir / "Quelvane.txt") >= 2; });

    EXPECT_EQ(file_bytes(dir / "Quelvane.txt").substr(28, 22), "8,0\xB0" "C         21,5\xB0" "C\r\n");
    const std::string settings = file_bytes(dir / "Quelvane.INI");
    EXPECT_NE(settings.find("frm_quelvaner.label_temperature_indoor.caption=21,5\xB0" "C\r\n"), std::string::npos);
    EXPECT_NE(settings.find("frm_quelvaner.option_double.value=1\r\n"), std::string::npos);
    EXPECT_EQ(lines_of(dir / "Quelvane.INI"), 34);
}

TEST_F(ProgramTest, SigtermWhileTheStartUpMessageWaitsStillSavesAndExits)
{
    start();  // no settings file: the start-up message waits for OK
    terminate_when([&] { return catches_sigterm(); });
    EXPECT_EQ(lines_of(dir / "Quelvane.INI"), 34);
}

// SIGTERM while the first tick waits for its reading, or for the user to
// close a failure box: the reading under way is finished, the port closed, the
// settings saved, and the tick goes no further: no reading of sensor 2, no
// line call after the close, no log record after the save.
TEST_F(ProgramTest, SigtermWhileATickWaitsEndsItAfterTheReadingUnderWay)
{
    board.set_line_latency(std::chrono::milliseconds(1));  // as on a USB adapter
    for (const bool box : {false, true}) {
        SCOPED_TRACE(box ? "failure box" : "reading");
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        two_sensors_logging();
        board.set_present(0, !box);
        port->counts().reset();
        start();
        if (box) {
            terminate_when([&] {
                return file_bytes(dir / "stderr").find("quelvane: sensor 1 (IC2): no acknowledge at 0x48\n") !=
                       std::string::npos;
            });
        } else {
            terminate_when([&] { return port->counts().total() >= 100; });
        }
        // The two lines raised at the opening, then one reading of sensor 1.
        EXPECT_EQ(port->counts().line_writes() + port->counts().of(TIOCMGET), 2 + 309);
        EXPECT_FALSE(std::filesystem::exists(dir / "Quelvane.txt"));
        const std::string settings = file_bytes(dir / "Quelvane.INI");
        EXPECT_NE(settings.find("frm_quelvaner.label_temperature_indoor.caption=--.-\r\n"), std::string::npos);
        EXPECT_EQ(lines_of(dir / "Quelvane.INI"), 34);
    }
}

// Without a display the program says so in one line and ends with status 1,
// before the toolkit can abort and before any port or file is touched.
TEST_F(ProgramTest, WithoutADisplayEndsWithOneLineAndStatusOneTouchingNothing)
{
    for (const char* program : {QUELVANE_PROGRAM, QUELVANE_DEMO_PROGRAM}) {
        std::filesystem::remove(dir / "stderr");
        start(program, {}, false);
        EXPECT_EQ(exit_status(), 1) << program;
        const std::string said = file_bytes(dir / "stderr");
        EXPECT_EQ(std::count(said.begin(), said.end(), '\n'), 1) << said;
        EXPECT_NE(said.find(": the window needs a display, and there is none here (DISPLAY is not set, "
                            "WAYLAND_DISPLAY is not set); without one, readings can be taken with quelvane --read or "
                            "quelvane --log\n"),
                  std::string::npos)
            << said;
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir), {}), 1) << "only its stderr";
    }
    EXPECT_EQ(port->counts().total(), 0);
}

// The demo keeps its settings and log in its own folder, made on its first
// start: the files of the folder it is started from are never read or
// written, even with logging on in them.
TEST_F(ProgramTest, TheDemoKeepsToItsOwnFolder)
{
    const std::string settings = "[CT]\r\nFileId=quelv\r\nfrm_quelvaner.check_log_to_file.value=1\r\n";
    const std::string log = "01-02-2026    10:00:00      8,0\xB0" "C         21,5\xB0" "C\r\n";
    std::filesystem::create_directories(dir / "work");
    std::ofstream(dir / "work" / "Quelvane.INI", std::ios::binary) << settings;
    std::ofstream(dir / "work" / "Quelvane.txt", std::ios::binary) << log;
    const std::filesystem::path own = dir / "home" / ".local" / "state" / "quelvane-demo";

    start(QUELVANE_DEMO_PROGRAM, "work");  // first start: the start-up message, then a whole file at exit
    terminate_when([&] { return catches_sigterm(); });
    EXPECT_EQ(lines_of(own / "Quelvane.INI"), 34);
    EXPECT_EQ(std::filesystem::status(own).permissions(), std::filesystem::perms::owner_all);

    std::string own_settings = file_bytes(own / "Quelvane.INI");
    const std::string logging_off = "check_log_to_file.value=0";
    ASSERT_NE(own_settings.find(logging_off), std::string::npos);
    own_settings.replace(own_settings.find(logging_off), logging_off.size(), "check_log_to_file.value=1");
    std::ofstream(own / "Quelvane.INI", std::ios::binary) << own_settings;
    start(QUELVANE_DEMO_PROGRAM, "work");
    terminate_when([&] { return lines_of(own / "Quelvane.txt") >= 1; });
    EXPECT_EQ(file_bytes(dir / "work" / "Quelvane.INI"), settings);
    EXPECT_EQ(file_bytes(dir / "work" / "Quelvane.txt"), log);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir / "work"), {}), 2);
}

}  // namespace
