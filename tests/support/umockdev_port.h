// A serial port emulated by umockdev, with the simulated sensor board on its
// modem lines, for running the real PosixSerialControl end to end.
//
// The process must run under umockdev-wrapper (the preload library). The
// emulated /dev/<name> is a symlink into /dev/pts/: a pseudo-terminal whose
// ioctls go to a handler here. Nothing here ever opens a real serial port:
// pty_guarded_calls() aborts the process before opening any existing path that
// is not such a pty node, and checks that the descriptor it got is a pty.
#pragma once

#include <memory>
#include <string>

#include "tests/support/board_system_calls.h"

typedef struct _UMockdevTestbed UMockdevTestbed;
typedef struct _UMockdevIoctlBase UMockdevIoctlBase;

namespace testsupport {

// Whether the umockdev preload library is in this process.
bool umockdev_preloaded();

// Whether path, as this process sees it, is a symlink into /dev/pts/ (what
// umockdev makes of a tty node). A real UART node is never one.
bool is_pty_node(const std::string& path);

// SystemCalls for PosixSerialControl. Open fails on a path that does not exist
// and aborts the process on any other that is not a pty node, or whose
// descriptor is not a pty; ioctl and flock abort on any descriptor not a pty.
serial::SystemCalls pty_guarded_calls();

class UmockdevSerialPort {
public:
    // Builds the testbed (this sets UMOCKDEV_DIR for the process) with the node
    // /dev/<name>, its ioctls played on the board, and opens the board, as the
    // adapter on the far end is always powered. Throws std::runtime_error when
    // not preloaded or when the testbed is not what it must be.
    explicit UmockdevSerialPort(sensor::SimulatedBoard& board, const std::string& name = "ttyS0");
    ~UmockdevSerialPort();

    // The node as the program names it, e.g. /dev/ttyS0.
    const std::string& device() const { return device_; }
    // Every ioctl the node received, by request. Line and exclusive-mode
    // requests play the board; any other runs on the pty itself.
    IoctlCounts& counts() { return board_.counts(); }

private:
    BoardSystemCalls board_;
    std::string device_;
    std::unique_ptr<UMockdevTestbed, void (*)(void*)> testbed_;  // g_object_unref
    std::unique_ptr<UMockdevIoctlBase, void (*)(void*)> handler_;
};

}  // namespace testsupport
