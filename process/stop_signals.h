// Ending at a point of the program's own choosing, rather than wherever a
// termination signal happens to land: the window closes the ordinary way, and
// a command that runs until it is told to stop (--log) ends after the reading
// in flight.
#pragma once

#include <chrono>
#include <csignal>

namespace process {

// While one exists, SIGTERM, SIGINT and SIGHUP no longer end the process:
// they make wait_until return false, at once if it is waiting, or at its next
// call if the signal came while the program was busy. The previous actions
// come back when it is destroyed. One at a time per process.
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;

    // Sleeps until deadline (true), or until a stop signal (false).
    bool wait_until(std::chrono::steady_clock::time_point deadline);
    // Readable once a stop signal has come, and from then on (-1 when the
    // signals could not be taken over and keep their default action).
    int fd() const { return pipe_[0]; }

private:
    int pipe_[2] = {-1, -1};
    struct sigaction previous_[3] {};
};

}  // namespace process
