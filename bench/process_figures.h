// The process's own figures, from /proc and the clocks: resident memory and
// the time since the process was started. No Qt, no monitor code, so that
// the bare yardstick window can use it too.
#pragma once

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <iterator>
#include <string>
#include <unistd.h>

namespace bench {

// A field of /proc/self/status in kB (VmRSS, VmHWM, ...), or -1.
inline long status_kb(const std::string& field)
{
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string prefix = field + ":";
    while (std::getline(in, line)) {
        if (line.compare(0, prefix.size(), prefix) == 0) {
            return std::strtol(line.c_str() + prefix.size(), nullptr, 10);
        }
    }
    return -1;
}

inline double monotonic_ms()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Environment variable through which bench/launch_timed hands on the
// CLOCK_MONOTONIC time (ns) it read just before executing the program.
inline constexpr const char* launch_time_variable = "QUELVANE_BENCH_LAUNCH_NS";

// Milliseconds since this process was started: from the launcher's time when
// there is one (sub-millisecond), else from the kernel's start time in
// /proc/self/stat (field 22, clock ticks since boot: 10 ms steps at 100 Hz)
// against CLOCK_BOOTTIME.
inline double ms_since_process_start(const char** source)
{
    if (const char* launched = std::getenv(launch_time_variable)) {
        *source = "launcher";
        return monotonic_ms() - std::strtod(launched, nullptr) / 1e6;
    }
    *source = "proc-starttime";
    std::ifstream in("/proc/self/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name (field 2) may hold blanks: count fields after its ')'.
    std::size_t at = stat.rfind(')');
    unsigned long long start_ticks = 0;
    for (int field = 2; field < 22 && at != std::string::npos; ++field) {
        at = stat.find(' ', at + 1);
    }
    if (at != std::string::npos) {
        start_ticks = std::strtoull(stat.c_str() + at + 1, nullptr, 10);
    }
    timespec boot{};
    clock_gettime(CLOCK_BOOTTIME, &boot);
    const double boot_ms = static_cast<double>(boot.tv_sec) * 1e3 + static_cast<double>(boot.tv_nsec) / 1e6;
    return boot_ms - static_cast<double>(start_ticks) * 1e3 / static_cast<double>(sysconf(_SC_CLK_TCK));
}

}  // namespace bench
