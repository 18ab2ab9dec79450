// Ending at a point of the program's own choosing, rather than wherever a
// termination signal happens to land: the window closes the ordinary way, and
// a command that runs until it is told to stop (--log) ends after the reading
// in flight.
#pragma once

#include <chrono>
#include <csignal>
#include <functional>
#include <thread>

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

// A bound on how long the program may take to stop: for a command whose work
// can hang in a system call (a line call on a wedged USB adapter) and so never
// get back to look at its stop. Once a stop signal has come, the program has
// limit() to leave the scope of this object; past that, overrun() runs on a
// thread of this object's own, and is expected to end the process.
class StopDeadline {
public:
    using Limit = std::function<std::chrono::milliseconds()>;
    // Does nothing when stop has no pipe (its signals then end the process).
    StopDeadline(const StopSignals& stop, Limit limit, std::function<void()> overrun);
    ~StopDeadline();
    StopDeadline(const StopDeadline&) = delete;
    StopDeadline& operator=(const StopDeadline&) = delete;

private:
    void watch(int stop_fd);

    Limit limit_;
    std::function<void()> overrun_;
    int done_[2] = {-1, -1};  // written to when the program got out in time
    std::thread watcher_;
};

}  // namespace process
