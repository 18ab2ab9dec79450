// The real quelvane program, end to end: started in a scratch directory with
// /dev/ttyS0 emulated by umockdev and played by the simulated board, it reads
// both sensors, logs, and on SIGTERM closes the port and saves its settings.
// Runs under umockdev-wrapper only; the child inherits the preload.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sensor/simulated_board.h"
#include "tests/support/umockdev_port.h"

#ifndef QUELVANE_PROGRAM
#error "QUELVANE_PROGRAM must name the program under test"
#endif

namespace {

std::string read_file(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::size_t count_lines(const std::string& text) { return static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')); }

class ProgramTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(testsupport::umockdev_preloaded()) << "run under umockdev-wrapper";
        board.set_temperature(0, 21.5);
        board.set_temperature(1, 8.0);
        port.emplace(board);
        // The program opens /dev/ttyS0 with plain system calls: it must be the
        // emulated pty, or the test does not start it at all.
        ASSERT_TRUE(testsupport::is_pty_node("/dev/ttyS0"));
        dir = std::filesystem::temp_directory_path() / ("quelvane-program-" + std::to_string(::getpid()));
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
                std::getenv("UMOCKDEV_DIR") == nullptr || ::chdir(dir.c_str()) != 0) {
                ::_exit(127);  // never let the program near a real port
            }
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::setenv("LC_ALL", "fr_FR.UTF-8", 1);
            ::execl(QUELVANE_PROGRAM, QUELVANE_PROGRAM, static_cast<char*>(nullptr));
            ::_exit(126);
        }
    }

    // Polls until pred holds or the time is up.
    template <class Pred> bool wait_for(Pred pred, std::chrono::seconds limit)
    {
        const auto until = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < until) {
            if (pred()) {
                return true;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return pred();
    }

    // Whether the child has its SIGTERM handler in place (SigCgt in its status).
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

    // Sends SIGTERM and expects an ordinary exit.
    void terminate()
    {
        ASSERT_EQ(::kill(child, SIGTERM), 0);
        int status = 0;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        child = -1;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }

    sensor::SimulatedBoard board;
    std::optional<testsupport::UmockdevSerialPort> port;
    std::filesystem::path dir;
    pid_t child = -1;
};

TEST_F(ProgramTest, ReadsLogsAndSavesItsSettingsOnSigterm)
{
    std::ofstream(dir / "Quelvane.INI", std::ios::binary) << "[CT]\r\nFileId=quelv\r\n"
                                                             "frm_quelvaner.option_double.value=1\r\n"
                                                             "frm_quelvaner.option_single.value=0\r\n"
                                                             "frm_quelvaner.check_log_to_file.value=1\r\n";
    start();
    ASSERT_TRUE(wait_for([&] { return count_lines(read_file(dir / "Quelvane.txt")) >= 2; }, std::chrono::seconds(30)))
        << "no log records";

    terminate();

    const std::string log = read_file(dir / "Quelvane.txt");
    EXPECT_EQ(log.substr(28, 22), "8,0\xB0" "C         21,5\xB0" "C\r\n");
    const std::string settings = read_file(dir / "Quelvane.INI");
    for (const char* line : {"frm_quelvaner.label_temperature_indoor.caption=21,5\xB0" "C\r\n",
                             "frm_quelvaner.label_temperature_outside.caption=8,0\xB0" "C\r\n",
                             "frm_quelvaner.option_double.value=1\r\n", "frm_quelvaner.check_log_to_file.value=1\r\n",
                             "frm_quelvaner.option_com1.value=1\r\n"}) {
        EXPECT_NE(settings.find(line), std::string::npos) << line;
    }
    EXPECT_EQ(count_lines(settings), 34u);
    EXPECT_GE(board.counters().opens, 1);
}

TEST_F(ProgramTest, SigtermWhileTheStartUpMessageWaitsStillSavesAndExits)
{
    start();  // no settings file: the start-up message waits for OK
    ASSERT_TRUE(wait_for([&] { return catches_sigterm(); }, std::chrono::seconds(30)));
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    terminate();
    const std::string settings = read_file(dir / "Quelvane.INI");
    EXPECT_EQ(count_lines(settings), 34u);
    EXPECT_NE(settings.find("frm_quelvaner.option_single.value=1\r\n"), std::string::npos);
}

}  // namespace
