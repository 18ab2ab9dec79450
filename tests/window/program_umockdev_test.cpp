// The real quelvane program, end to end: started in a scratch directory with
// /dev/ttyS0 emulated by umockdev and played by the simulated board. Runs
// under umockdev-wrapper only; the child inherits the preload.
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

    void start()
    {
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const char* preload = std::getenv("LD_PRELOAD");
            if (preload == nullptr || std::string(preload).find("umockdev") == std::string::npos ||
                ::chdir(dir.c_str()) != 0) {
                ::_exit(127);  // never let the program near a real port
            }
            const int errors = ::open("stderr.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (errors < 0 || ::dup2(errors, STDERR_FILENO) < 0) {
                ::_exit(125);
            }
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::setenv("LC_ALL", "fr_FR.UTF-8", 1);
            ::execl(QUELVANE_PROGRAM, QUELVANE_PROGRAM, static_cast<char*>(nullptr));
            ::_exit(126);
        }
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
                return file_bytes(dir / "stderr.txt").find("quelvane: sensor 1 (IC2): no acknowledge at 0x48\n") !=
                       std::string::npos;
            });
        } else {
            terminate_when([&] { return port->counts().total() >= 100; });
        }
        // Exclusive mode, the two lines raised at the opening, one reading of sensor 1.
        EXPECT_EQ(port->counts().total(), 1 + 2 + 309);
        EXPECT_FALSE(std::filesystem::exists(dir / "Quelvane.txt"));
        const std::string settings = file_bytes(dir / "Quelvane.INI");
        EXPECT_NE(settings.find("frm_quelvaner.label_temperature_indoor.caption=--.-\r\n"), std::string::npos);
        EXPECT_EQ(lines_of(dir / "Quelvane.INI"), 34);
    }
}

}  // namespace
