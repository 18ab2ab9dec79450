// The simulated sensor board behind a UART's modem-control ioctls, each ioctl
// counted by request. Plays the board for the umockdev harness (on its worker
// thread) and, with no device at all, for PosixSerialControl in benchmarks.
// A line latency set on the board delays every line ioctl once, as a USB
// adapter's round trip would, on the emulated port as well.
#pragma once

#include <map>
#include <mutex>
#include <sys/ioctl.h>

#include "bus/posix_serial_control.h"
#include "sensor/simulated_board.h"

namespace testsupport {

// Ioctls counted by request. Safe across threads.
class IoctlCounts {
public:
    void add(unsigned long request) { std::lock_guard lock(mutex_); ++counts_[request]; ++total_; }
    long of(unsigned long request) const { std::lock_guard lock(mutex_); return counts_[request]; }
    long total() const { std::lock_guard lock(mutex_); return total_; }
    long line_writes() const { return of(TIOCMBIS) + of(TIOCMBIC); }
    void reset() { std::lock_guard lock(mutex_); counts_.clear(); total_ = 0; }

private:
    mutable std::mutex mutex_;
    mutable std::map<unsigned long, long> counts_;  // of() adds requests never seen, at 0
    long total_ = 0;
};

class BoardSystemCalls {
public:
    explicit BoardSystemCalls(sensor::SimulatedBoard& board) : board_(board) {}

    // Counts and plays one ioctl: TIOCMBIS and TIOCMBIC set the board's DTR
    // and RTS, TIOCMGET reports them and CTS, TIOCEXCL and TIOCNXCL are
    // accepted. Returns 0 or the errno: EIO when the board refuses (while
    // closed), ENOTTY for a request that is not about the modem lines.
    int ioctl(unsigned long request, int* bits);
    // SystemCalls with no device: open opens the board (raising what the board
    // raises) and hands out a descriptor number; close and flock succeed.
    serial::SystemCalls calls();
    IoctlCounts& counts() { return counts_; }

private:
    sensor::SimulatedBoard& board_;
    IoctlCounts counts_;
};

}  // namespace testsupport
