// The real quelvane program, end to end: started in a scratch directory with
// /dev/ttyS0 emulated by umockdev and played by the simulated board. Runs
// under umockdev-wrapper only; the child inherits the preload.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
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

    sensor::SimulatedBoard board;
    std::optional<testsupport::UmockdevSerialPort> port;
    std::filesystem::path dir = std::filesystem::temp_directory_path() / ("quelvane-program-" + std::to_string(::getpid()));
    pid_t child = -1;
};

TEST_F(ProgramTest, ReadsLogsAndSavesItsSettingsOnSigterm)
{
    std::ofstream(dir / "Quelvane.INI", std::ios::binary)
        << "[CT]\r\nFileId=quelv\r\nfrm_quelvaner.option_double.value=1\r\n"
           "frm_quelvaner.option_single.value=0\r\nfrm_quelvaner.check_log_to_file.value=1\r\n";
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

}  // namespace
