#include "tests/support/umockdev_port.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <stdexcept>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <umockdev.h>

namespace testsupport {
namespace {

[[noreturn]] void refuse(const char* what, const std::string& subject)
{
    std::fprintf(stderr, "umockdev harness: %s: %s\nRefusing to go on: a real serial device may be behind it.\n",
                 what, subject.c_str());
    std::abort();
}

// fd itself, once it is known to be a pseudo-terminal (or no descriptor at all).
int pty_descriptor(int fd)
{
    const std::string link = "/proc/self/fd/" + std::to_string(fd);
    if (fd >= 0 && !is_pty_node(link)) refuse("descriptor is not a pty", link);
    return fd;
}

int guarded_open(const char* path, int flags)
{
    if (is_pty_node(path)) return pty_descriptor(::open(path, flags));
    struct stat status {};
    if (::lstat(path, &status) != 0 && (errno == ENOENT || errno == ENOTDIR)) return -1;  // fails as open would
    refuse("not an emulated pty node", path);
}

// Runs on the testbed's worker thread for every ioctl on the node; always
// completes the call, and nothing may propagate into GLib.
gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer board) noexcept
{
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    UMockdevIoctlData* argument = nullptr;
    int bits = 0;
    if (request == TIOCMBIS || request == TIOCMBIC || request == TIOCMGET) {
        argument = umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof bits, nullptr);
        if (argument == nullptr) return umockdev_ioctl_client_complete(client, -1, EFAULT), TRUE;
        std::memcpy(&bits, argument->data, sizeof bits);
    }
    int error = static_cast<BoardSystemCalls*>(board)->ioctl(request, &bits);
    int result = 0;
    if (error == ENOTTY) {  // termios, queues, serial-driver requests: as the pty answers them
        error = 0;
        result = umockdev_ioctl_client_execute(client, &error, nullptr);
        if (result < 0 && error == 0) error = EIO;
    } else if (argument != nullptr) {
        std::memcpy(argument->data, &bits, sizeof bits);  // copied back to the client on completion
        umockdev_ioctl_data_unref(argument);
    }
    umockdev_ioctl_client_complete(client, error != 0 ? -1 : result, error);
    return TRUE;
}

void check(bool ok, GError** error, const std::string& what)
{
    if (ok) return;
    const std::string message = "umockdev: " + what + ": " + (*error != nullptr ? (*error)->message : "unknown");
    g_clear_error(error);
    throw std::runtime_error(message);
}

}  // namespace

bool umockdev_preloaded()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

bool is_pty_node(const std::string& path)
{
    char target[64];  // enough to see the start of the link
    const ssize_t length = ::readlink(path.c_str(), target, sizeof target);
    return length >= 9 && std::strncmp(target, "/dev/pts/", 9) == 0;
}

serial::SystemCalls pty_guarded_calls()
{
    return {
        guarded_open,
        [](int fd) { return ::close(fd); },
        [](int fd, unsigned long request, int* argument) { return ::ioctl(pty_descriptor(fd), request, argument); },
        [](int fd, int operation) { return ::flock(pty_descriptor(fd), operation); },
    };
}

UmockdevSerialPort::UmockdevSerialPort(sensor::SimulatedBoard& board, const std::string& name)
    : board_(board), device_("/dev/" + name), testbed_(nullptr, g_object_unref), handler_(nullptr, g_object_unref)
{
    if (!umockdev_preloaded()) throw std::runtime_error("not running under umockdev-wrapper: refusing " + name);
    testbed_.reset(umockdev_testbed_new());
    // A node needs an N: line; SUBSYSTEM=tty makes it a pty.
    const std::string record = "P: /devices/platform/serial8250/tty/" + name + "\nN: " + name +
                               "\nE: DEVNAME=" + device_ + "\nE: SUBSYSTEM=tty\n";
    GError* error = nullptr;
    check(umockdev_testbed_add_from_string(testbed_.get(), record.c_str(), &error), &error, "cannot add " + device_);
    check(is_pty_node(device_), &error, device_ + " is not redirected to a pty");
    handler_.reset(umockdev_ioctl_base_new());
    g_signal_connect(handler_.get(), "handle-ioctl", G_CALLBACK(handle_ioctl), &board_);
    check(umockdev_testbed_attach_ioctl(testbed_.get(), device_.c_str(), handler_.get(), &error), &error,
          "cannot attach the ioctl handler");
    if (!board.PortOpen()) board.set_PortOpen(true);
}

UmockdevSerialPort::~UmockdevSerialPort() { umockdev_testbed_detach_ioctl(testbed_.get(), device_.c_str(), nullptr); }

}  // namespace testsupport
