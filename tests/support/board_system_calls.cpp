#include "tests/support/board_system_calls.h"

#include <cerrno>
#include <sys/ioctl.h>

namespace testsupport {
namespace {

constexpr int board_descriptor = 1000;  // far above anything the process has open

}  // namespace

bool is_modem_ioctl(unsigned long request)
{
    return request == TIOCMBIS || request == TIOCMBIC || request == TIOCMSET || request == TIOCMGET;
}

int play_modem_ioctl(sensor::SimulatedBoard& board, unsigned long request, int& bits)
{
    try {
        switch (request) {
        case TIOCMBIS:
        case TIOCMBIC: {
            const bool level = request == TIOCMBIS;
            // A UART changes both outputs at once; the board takes one
            // edge per call, so with both bits the data line goes first.
            if ((bits & TIOCM_DTR) != 0) board.set_DTREnable(level);
            if ((bits & TIOCM_RTS) != 0) board.set_RTSEnable(level);
            return 0;
        }
        case TIOCMSET:
            if (((bits & TIOCM_DTR) != 0) != board.dtr()) board.set_DTREnable((bits & TIOCM_DTR) != 0);
            if (((bits & TIOCM_RTS) != 0) != board.rts()) board.set_RTSEnable((bits & TIOCM_RTS) != 0);
            return 0;
        case TIOCMGET:
            bits = (board.dtr() ? TIOCM_DTR : 0) | (board.rts() ? TIOCM_RTS : 0) |
                   (board.CTSHolding() ? TIOCM_CTS : 0);
            return 0;
        default:
            return EINVAL;
        }
    } catch (const serial::SerialError&) {
        return EIO;
    }
}

void IoctlCounts::add(unsigned long request)
{
    std::lock_guard lock(mutex_);
    ++counts_[request];
}

long IoctlCounts::of(unsigned long request) const
{
    std::lock_guard lock(mutex_);
    const auto found = counts_.find(request);
    return found == counts_.end() ? 0 : found->second;
}

long IoctlCounts::total() const
{
    std::lock_guard lock(mutex_);
    long sum = 0;
    for (const auto& [request, count] : counts_) sum += count;
    return sum;
}

long IoctlCounts::line_writes() const { return of(TIOCMBIS) + of(TIOCMBIC) + of(TIOCMSET); }

std::map<unsigned long, long> IoctlCounts::snapshot() const
{
    std::lock_guard lock(mutex_);
    return counts_;
}

void IoctlCounts::reset()
{
    std::lock_guard lock(mutex_);
    counts_.clear();
}

BoardSystemCalls::BoardSystemCalls(sensor::SimulatedBoard& board)
    : state_(std::make_shared<State>(State{&board}))
{
}

serial::SystemCalls BoardSystemCalls::calls()
{
    std::shared_ptr<State> state = state_;
    return serial::SystemCalls{
        [state](const char*, int) {
            // The board's own open may be refused (set_open_error).
            if (!state->board->PortOpen()) {
                try {
                    state->board->set_PortOpen(true);
                } catch (const serial::SerialError& error) {
                    errno = error.error_number();
                    return -1;
                }
            }
            ++state->open;
            return board_descriptor;
        },
        [state](int fd) {
            if (fd != board_descriptor || state->open == 0) {
                errno = EBADF;
                return -1;
            }
            --state->open;
            return 0;
        },
        [state](int fd, unsigned long request, int* argument) {
            state->counts->add(request);
            if (fd != board_descriptor || state->open == 0) {
                errno = EBADF;
                return -1;
            }
            if (request == TIOCEXCL || request == TIOCNXCL) {
                return 0;
            }
            int scratch = 0;
            const int error = play_modem_ioctl(*state->board, request, argument != nullptr ? *argument : scratch);
            if (error != 0) {
                errno = error;
                return -1;
            }
            return 0;
        },
        [state](int fd, int) {
            if (fd != board_descriptor || state->open == 0) {
                errno = EBADF;
                return -1;
            }
            return 0;
        },
    };
}

}  // namespace testsupport
