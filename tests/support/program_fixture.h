// The real quelvane program (or the demo), started as a child process in a
// scratch folder with /dev/ttyS0 emulated by umockdev and played by the
// simulated board: sensor 1 at 21.5 °C, sensor 2 at 8.0 °C. For test binaries
// that run under umockdev-wrapper only (QUELVANE_PROGRAM names the program).
// The program opens the port with plain system calls, so it is started only
// when the preload is in this process, /dev/ttyS0 is the emulated pty node,
// and the environment handed to the program still holds the preload.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "sensor/simulated_board.h"
#include "tests/support/temp_dir.h"
#include "tests/support/umockdev_port.h"

extern char** environ;

namespace testsupport {

// The number of line feeds in a file (0 when there is none).
inline long lines_of(const std::filesystem::path& path)
{
    const std::string text = read_bytes(path);
    return std::count(text.begin(), text.end(), '\n');
}

class ProgramFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(umockdev_preloaded()) << "run under umockdev-wrapper";
        board.set_temperature(0, 21.5);
        board.set_temperature(1, 8.0);
        port.emplace(board);
        ASSERT_TRUE(is_pty_node("/dev/ttyS0"));
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

    // Starts program in dir / cwd, in a French locale, with HOME at dir/home,
    // its standard error to dir/stderr and, for a command (arguments given),
    // its standard output to dir/stdout (both to a pipe nobody reads when
    // outputs_gone). With display, the toolkit gets the offscreen platform;
    // without, there is no display at all but what extra_environment sets.
    void start(const char* program = QUELVANE_PROGRAM, const std::filesystem::path& cwd = {}, bool display = true,
               std::vector<std::string> arguments = {})
    {
        const std::string folder = dir / cwd, out = dir / "stdout", err = dir / "stderr";
        const bool command = !arguments.empty();
        std::filesystem::create_directories(folder);
        arguments.insert(arguments.begin(), program);
        std::vector<std::string> environment{"LC_ALL=fr_FR.UTF-8", "HOME=" + (dir / "home").string()};
        if (display) environment.push_back("QT_QPA_PLATFORM=offscreen");
        environment.insert(environment.end(), extra_environment.begin(), extra_environment.end());
        const std::string_view replaced[] = {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XDG_STATE_HOME", "HOME",
                                             "LC_ALL"};
        for (char** entry = environ; *entry != nullptr; ++entry) {
            const std::string_view name(*entry, std::strcspn(*entry, "="));
            if (std::find(std::begin(replaced), std::end(replaced), name) == std::end(replaced)) {
                environment.push_back(*entry);
            }
        }
        // Made before the fork: the child of a threaded process (the testbed
        // has a worker thread) must not allocate.
        const auto pointers = [](std::vector<std::string>& strings) {
            std::vector<char*> list;
            for (std::string& string : strings) list.push_back(string.data());
            list.push_back(nullptr);
            return list;
        };
        const std::vector<char*> argv = pointers(arguments), envp = pointers(environment);
        child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            bool preloaded = false;
            for (char* const* entry = envp.data(); *entry != nullptr; ++entry) {
                preloaded = preloaded || (std::strncmp(*entry, "LD_PRELOAD=", 11) == 0 &&
                                          std::strstr(*entry, "libumockdev-preload") != nullptr);
            }
            if (!preloaded || ::chdir(folder.c_str()) != 0) ::_exit(127);  // never let the program near a real port
            ::signal(SIGPIPE, SIG_DFL);  // as from a shell: the testbed ignores it, and exec would pass that on
            int error_file = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int out_file = command ? ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644) : 1;
            if (int gone[2]; outputs_gone && ::pipe(gone) == 0 && ::close(gone[0]) == 0) error_file = out_file = gone[1];
            if (error_file < 0 || out_file < 0 || ::dup2(error_file, 2) < 0 || ::dup2(out_file, 1) < 0) ::_exit(125);
            ::execve(program, argv.data(), envp.data());
            ::_exit(126);
        }
    }

    // A command run in dir with no display: its exit status.
    int run(std::vector<std::string> arguments)
    {
        start(QUELVANE_PROGRAM, {}, false, std::move(arguments));
        return exit_status();
    }

    // The child's exit status (128 + the signal that ended it) once it has
    // ended by itself; -1 while it still runs after 30 s.
    int exit_status()
    {
        int status = 0;
        pid_t ended = 0;
        for (int waited = 0; waited < 600 && (ended = ::waitpid(child, &status, WNOHANG)) == 0; ++waited) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (ended != child) return -1;
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
        EXPECT_EQ(exit_status(), 0);
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

    std::vector<std::string> extra_environment;  // NAME=value, for the next start
    bool outputs_gone = false;
    sensor::SimulatedBoard board;
    std::optional<UmockdevSerialPort> port;
    std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("quelvane-program-" + std::to_string(::getpid()));
    pid_t child = -1;
};

}  // namespace testsupport
