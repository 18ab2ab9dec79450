// A serial port emulated by umockdev, with the simulated sensor board on its
// modem lines, for running the real PosixSerialControl end to end.
//
// The process must run under umockdev-wrapper (the preload library). The
// emulated /dev/<name> is a symlink into /dev/pts/: a pseudo-terminal whose
// ioctls go to a handler here. Nothing here ever opens a real serial port:
// pty_guarded_calls() refuses, by aborting the process before any open, every
// existing path that is not such a pty node, and checks the descriptor it got.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "bus/posix_serial_control.h"
#include "sensor/simulated_board.h"
#include "tests/support/board_system_calls.h"

namespace testsupport {

// Whether the umockdev preload library is in this process.
bool umockdev_preloaded();

// Whether path, as this process sees it, is a symlink into /dev/pts/ (what
// umockdev makes of a tty node). A real UART node is never one.
bool is_pty_node(const std::string& path);

// Whether fd is an open pseudo-terminal: a tty whose /proc/self/fd link
// points into /dev/pts/.
bool is_pty_descriptor(int fd);

// ::open for the tests' own use of an emulated node. Paths that do not exist
// are passed on (and fail); an existing path that is not a pty node, or a
// descriptor that is not a pty, aborts the process before anything more.
int guarded_open(const char* path, int flags);

// SystemCalls for PosixSerialControl: open is guarded_open; ioctl and flock
// act only on descriptors it handed out (anything else aborts).
serial::SystemCalls pty_guarded_calls();

class UmockdevSerialPort {
public:
    // Builds the testbed (this sets UMOCKDEV_DIR for the process) with the
    // node /dev/<name> and attaches the ioctl handler. The board is opened,
    // as the adapter on the far end is always powered. Throws
    // std::runtime_error when not preloaded or when the testbed cannot be
    // built or is not what it must be.
    explicit UmockdevSerialPort(sensor::SimulatedBoard& board, const std::string& name = "ttyS0");
    ~UmockdevSerialPort();
    UmockdevSerialPort(const UmockdevSerialPort&) = delete;
    UmockdevSerialPort& operator=(const UmockdevSerialPort&) = delete;

    // The node as the program names it, e.g. /dev/ttyS0.
    const std::string& device() const;
    // Every ioctl the handler received, by request: modem lines played on
    // the board, TIOCEXCL/TIOCNXCL accepted, termios and queue requests run
    // on the pty, anything else refused with ENOTTY.
    IoctlCounts& counts();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace testsupport
