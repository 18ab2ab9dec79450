#include "process/stop_signals.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <span>
#include <unistd.h>

namespace process {
namespace {

constexpr int stop_signal_numbers[3] = {SIGTERM, SIGINT, SIGHUP};

// Write end of the pipe of the StopSignals in place.
volatile sig_atomic_t stop_pipe_write = -1;

// The index of the first of fds found readable, or -1 once deadline has
// passed (time_point::max(): never). A signal that cuts poll short, or a
// time-out a little early, waits on.
int poll_until(std::span<pollfd> fds, std::chrono::steady_clock::time_point deadline)
{
    using namespace std::chrono;
    for (;;) {
        const auto left = std::max(ceil<milliseconds>(deadline - steady_clock::now()), milliseconds(0));
        const int timeout = deadline == steady_clock::time_point::max() ? -1 : static_cast<int>(left.count());
        if (::poll(fds.data(), fds.size(), timeout) > 0) {
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i].revents != 0) {
                    return static_cast<int>(i);
                }
            }
        } else if (steady_clock::now() >= deadline) {
            return -1;
        }
    }
}

extern "C" void on_stop_signal(int)
{
    const int saved_errno = errno;
    const char byte = 1;
    // Async-signal-safe; a full pipe already holds a pending stop.
    (void)!::write(stop_pipe_write, &byte, 1);
    errno = saved_errno;
}

}  // namespace

StopSignals::StopSignals()
{
    // Without the pipe the signals keep their default action: the program
    // still stops on them, only not at a point of its choosing.
    if (::pipe2(pipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;
    }
    stop_pipe_write = pipe_[1];
    struct sigaction action {};
    action.sa_handler = on_stop_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i) {
        ::sigaction(stop_signal_numbers[i], &action, &previous_[i]);
    }
}

StopSignals::~StopSignals()
{
    if (pipe_[0] < 0) {
        return;
    }
    for (int i = 0; i < 3; ++i) {
        ::sigaction(stop_signal_numbers[i], &previous_[i], nullptr);
    }
    stop_pipe_write = -1;
    ::close(pipe_[0]);
    ::close(pipe_[1]);
}

bool StopSignals::wait_until(std::chrono::steady_clock::time_point deadline)
{
    pollfd stop{pipe_[0], POLLIN, 0};
    // The byte stays in the pipe: every later wait returns false too.
    return poll_until(std::span(&stop, pipe_[0] < 0 ? 0 : 1), deadline) < 0;
}

StopDeadline::StopDeadline(const StopSignals& stop, Limit limit, std::function<void()> overrun)
    : limit_(std::move(limit)), overrun_(std::move(overrun))
{
    if (stop.fd() < 0 || ::pipe2(done_, O_CLOEXEC) != 0) {
        return;
    }
    watcher_ = std::thread([this, fd = stop.fd()] { watch(fd); });
}

StopDeadline::~StopDeadline()
{
    if (!watcher_.joinable()) {
        return;
    }
    const char byte = 1;
    (void)!::write(done_[1], &byte, 1);
    watcher_.join();
    ::close(done_[0]);
    ::close(done_[1]);
}

void StopDeadline::watch(int stop_fd)
{
    using namespace std::chrono;
    pollfd fds[2] = {{done_[0], POLLIN, 0}, {stop_fd, POLLIN, 0}};
    // The stop's byte stays in its pipe, so this sees it whoever else does.
    if (poll_until(fds, steady_clock::time_point::max()) == 0) {
        return;
    }
    if (poll_until(std::span(fds, 1), steady_clock::now() + limit_()) == 0) {
        return;
    }
    overrun_();
}

}  // namespace process
