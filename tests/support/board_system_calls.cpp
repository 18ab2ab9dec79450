#include "tests/support/board_system_calls.h"

#include <cerrno>

namespace testsupport {

int BoardSystemCalls::ioctl(unsigned long request, int* bits)
{
    counts_.add(request);
    try {
        if (request == TIOCMBIS || request == TIOCMBIC) {
            // A UART changes both outputs at once; the board takes one edge
            // per call, so with both bits the data line goes first.
            if ((*bits & TIOCM_DTR) != 0) board_.set_DTREnable(request == TIOCMBIS);
            if ((*bits & TIOCM_RTS) != 0) board_.set_RTSEnable(request == TIOCMBIS);
        } else if (request == TIOCMGET) {
            *bits = (board_.dtr() ? TIOCM_DTR : 0) | (board_.rts() ? TIOCM_RTS : 0) |
                    (board_.CTSHolding() ? TIOCM_CTS : 0);
        } else if (request != TIOCEXCL && request != TIOCNXCL) {
            return ENOTTY;
        }
        return 0;
    } catch (const serial::SerialError&) {
        return EIO;
    }
}

serial::SystemCalls BoardSystemCalls::calls()
{
    return {
        [this](const char*, int) { return board_.PortOpen() ? 1000 : (board_.set_PortOpen(true), 1000); },
        [](int) { return 0; },
        [this](int, unsigned long request, int* bits) {
            const int error = ioctl(request, bits);
            return error == 0 ? 0 : (errno = error, -1);
        },
        [](int, int) { return 0; },
    };
}

}  // namespace testsupport
