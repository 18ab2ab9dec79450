// The simulated sensor board behind the modem-control ioctls of a serial
// port, without any device: what a UART driver would do with TIOCMBIS,
// TIOCMBIC, TIOCMSET and TIOCMGET, applied to a SimulatedBoard. Used by the
// umockdev harness (on its handler thread) and, through BoardSystemCalls, by
// tests and benchmarks that drive PosixSerialControl with no device at all.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "bus/posix_serial_control.h"
#include "sensor/simulated_board.h"

namespace testsupport {

// Whether request is one of the four modem-control ioctls.
bool is_modem_ioctl(unsigned long request);

// Plays one modem-control ioctl on the board: DTR and RTS bits set or clear
// the board's inputs, TIOCMGET reports DTR, RTS and CTS. Returns 0, or the
// errno the ioctl fails with (EINVAL for any other request, EIO when the board
// refuses, e.g. while closed).
int play_modem_ioctl(sensor::SimulatedBoard& board, unsigned long request, int& bits);

// Ioctls counted by request. Safe across threads.
class IoctlCounts {
public:
    void add(unsigned long request);
    long of(unsigned long request) const;
    long total() const;
    // Line writes: TIOCMBIS, TIOCMBIC and TIOCMSET.
    long line_writes() const;
    std::map<unsigned long, long> snapshot() const;
    void reset();

private:
    mutable std::mutex mutex_;
    std::map<unsigned long, long> counts_;
};

// SystemCalls for PosixSerialControl whose port is the board: open hands out
// a descriptor number (opening the board if it is not), TIOCEXCL and flock
// succeed, modem ioctls play the board, and every ioctl is counted.
class BoardSystemCalls {
public:
    explicit BoardSystemCalls(sensor::SimulatedBoard& board);
    serial::SystemCalls calls();
    IoctlCounts& counts() { return *state_->counts; }
    // Descriptors handed out and not closed.
    int open_descriptors() const { return state_->open; }

private:
    struct State {
        sensor::SimulatedBoard* board;
        std::shared_ptr<IoctlCounts> counts = std::make_shared<IoctlCounts>();
        int open = 0;
    };
    std::shared_ptr<State> state_;
};

}  // namespace testsupport
