// Runs a program, handing it the CLOCK_MONOTONIC time read just before the
// exec (variable QUELVANE_BENCH_LAUNCH_NS, nanoseconds), so that it can time
// its own start-up from the exec on: loading, library set-up and all.
//   quelvane_launch_timed PROGRAM [ARGS...]
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unistd.h>

int main(int argc, char* argv[])
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s PROGRAM [ARGS...]\n", argv[0]);
        return 2;
    }
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const std::string ns = std::to_string(static_cast<long long>(now.tv_sec) * 1000000000LL + now.tv_nsec);
    setenv("QUELVANE_BENCH_LAUNCH_NS", ns.c_str(), 1);
    execv(argv[1], argv + 1);
    std::perror(argv[1]);
    return 127;
}
