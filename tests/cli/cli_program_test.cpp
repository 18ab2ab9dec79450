// The real quelvane program's commands, end to end: run in a scratch
// directory, with no display, in a French locale, and with /dev/ttyS0
// emulated by umockdev and played by the simulated board. Runs under
// umockdev-wrapper only (in program_umockdev_tests); the child inherits the
// preload.
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <optional>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#include "sensor/simulated_board.h"
#include "tests/settings/temp_dir.h"
#include "tests/support/umockdev_port.h"

namespace {

using settings_test::read_bytes;

class CliProgram : public ::testing::Test {
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
    }

    void TearDown() override
    {
        if (child > 0) {
            ::kill(child, SIGKILL);
            ::waitpid(child, nullptr, 0);
        }
        port.reset();
    }

    // Starts the program with arguments; stdout and stderr go to files.
    void start(std::vector<std::string> arguments)
    {
        arguments.insert(arguments.begin(), QUELVANE_PROGRAM);
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const char* preload = std::getenv("LD_PRELOAD");
            if (preload == nullptr || std::string(preload).find("umockdev") == std::string::npos ||
                ::chdir(dir.path().c_str()) != 0) {
                ::_exit(127);  // never let the program near a real port
            }
            const int out = ::open("stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int err = ::open("stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (out < 0 || err < 0 || ::dup2(out, 1) < 0 || ::dup2(err, 2) < 0) ::_exit(125);
            for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) ::unsetenv(name);
            ::setenv("LC_ALL", "fr_FR.UTF-8", 1);
            ::execv(QUELVANE_PROGRAM, argv.data());
            ::_exit(126);
        }
    }

    // The exit status, or -1 for anything but an ordinary exit.
    int wait_for_exit()
    {
        int status = 0;
        EXPECT_EQ(::waitpid(child, &status, 0), child);
        child = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    int run(std::vector<std::string> arguments)
    {
        start(std::move(arguments));
        return wait_for_exit();
    }

    std::string output(const char* stream) const { return read_bytes(dir.file(stream)); }

    sensor::SimulatedBoard board;
    std::optional<testsupport::UmockdevSerialPort> port;
    settings_test::TempDir dir;
    pid_t child = -1;
};

TEST_F(CliProgram, HelpAndVersionNeedNoDisplayAndTouchNoPort)
{
    EXPECT_EQ(run({"--help"}), 0);
    EXPECT_NE(output("stdout").find("quelvane --read [--port P] [--sensors 1|2] [--json]\n"), std::string::npos);
    EXPECT_EQ(run({"--version"}), 0);
    EXPECT_EQ(output("stdout").rfind("quelvane ", 0), 0u);
    EXPECT_EQ(run({"--read", "--sensors", "3"}), 2);
    EXPECT_EQ(port->counts().total(), 0);
}

TEST_F(CliProgram, ReadPrintsADecimalPointInAFrenchLocale)
{
    EXPECT_EQ(run({"--read", "--sensors", "2"}), 0);
    EXPECT_EQ(output("stdout"), "sensor1 21.5\nsensor2 8.0\n");
    EXPECT_EQ(output("stderr"), "");
}

TEST_F(CliProgram, SigtermEndsLogWithStatusZero)
{
    start({"--log", "--sensors", "2"});
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (read_bytes(dir.file("Quelvane.txt")).empty() && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(::kill(child, SIGTERM), 0);
    EXPECT_EQ(wait_for_exit(), 0);
    const std::string log = read_bytes(dir.file("Quelvane.txt"));
    EXPECT_EQ(log.substr(28, 22), "8,0\xB0" "C         21,5\xB0" "C\r\n");  // the window's record, in French
}

}  // namespace
