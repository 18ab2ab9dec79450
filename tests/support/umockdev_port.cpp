#include "tests/support/umockdev_port.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <set>
#include <stdexcept>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <umockdev.h>

namespace testsupport {
namespace {

constexpr const char* pts_prefix = "/dev/pts/";

bool starts_with(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string read_link(const std::string& path)
{
    std::array<char, PATH_MAX> target{};
    const ssize_t length = ::readlink(path.c_str(), target.data(), target.size() - 1);
    return length < 0 ? std::string() : std::string(target.data(), static_cast<std::size_t>(length));
}

[[noreturn]] void refuse(const char* what, const std::string& subject)
{
    std::fprintf(stderr,
                 "umockdev harness: %s: %s\n"
                 "Refusing to go on: a real serial device may be behind it.\n",
                 what, subject.c_str());
    std::abort();
}

// Descriptors opened by guarded_open and still open.
std::mutex approved_mutex;
std::set<int> approved;

void require_approved(int fd)
{
    std::lock_guard lock(approved_mutex);
    if (approved.count(fd) == 0) {
        refuse("system call on a descriptor not opened through the guard", std::to_string(fd));
    }
}

// Requests that only concern the pty itself (line discipline, queues): run
// for real on the client's descriptor, which is the pty slave.
bool runs_on_pty(unsigned long request)
{
    switch (request) {
    case TCGETS:
    case TCSETS:
    case TCSETSW:
    case TCSETSF:
    case TCFLSH:
    case TIOCGWINSZ:
    case TIOCSWINSZ:
    case FIONREAD:
    case TIOCOUTQ:
        return true;
    default:
        return false;
    }
}

}  // namespace

bool umockdev_preloaded()
{
    const char* preload = std::getenv("LD_PRELOAD");
    return preload != nullptr && std::strstr(preload, "libumockdev-preload") != nullptr;
}

bool is_pty_node(const std::string& path) { return starts_with(read_link(path), pts_prefix); }

bool is_pty_descriptor(int fd)
{
    return ::isatty(fd) == 1 && starts_with(read_link("/proc/self/fd/" + std::to_string(fd)), pts_prefix);
}

int guarded_open(const char* path, int flags)
{
    struct stat status {};
    if (::lstat(path, &status) != 0) {
        if (errno != ENOENT && errno != ENOTDIR) {
            refuse("cannot tell what this path is", path);
        }
        // Nothing there: the open fails the way the program would see it.
        return ::open(path, flags);
    }
    if (!is_pty_node(path)) {
        refuse("not an emulated pty node", path);
    }
    const int fd = ::open(path, flags);
    if (fd < 0) {
        return fd;
    }
    if (!is_pty_descriptor(fd)) {
        ::close(fd);
        refuse("opened descriptor is not a pty", path);
    }
    std::lock_guard lock(approved_mutex);
    approved.insert(fd);
    return fd;
}

serial::SystemCalls pty_guarded_calls()
{
    return serial::SystemCalls{
        [](const char* path, int flags) { return guarded_open(path, flags); },
        [](int fd) {
            {
                std::lock_guard lock(approved_mutex);
                approved.erase(fd);
            }
            return ::close(fd);
        },
        [](int fd, unsigned long request, int* argument) {
            require_approved(fd);
            return ::ioctl(fd, request, argument);
        },
        [](int fd, int operation) {
            require_approved(fd);
            return ::flock(fd, operation);
        },
    };
}

// --- The emulated port ------------------------------------------------------------

struct UmockdevSerialPort::Impl {
    sensor::SimulatedBoard* board = nullptr;
    std::string device;
    IoctlCounts counts;
    UMockdevTestbed* testbed = nullptr;
    UMockdevIoctlBase* handler = nullptr;
    bool attached = false;

    ~Impl()
    {
        if (attached) {
            umockdev_testbed_detach_ioctl(testbed, device.c_str(), nullptr);
        }
        if (testbed != nullptr) {
            g_object_unref(testbed);  // removes the tree and unsets UMOCKDEV_DIR
        }
        if (handler != nullptr) {
            g_object_unref(handler);
        }
    }
};

namespace {

// Runs on the testbed's worker thread, once per ioctl of any client of the
// node. Always completes the call; nothing may propagate into GLib.
gboolean handle_ioctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer data) noexcept
{
    auto* port = static_cast<UmockdevSerialPort::Impl*>(data);
    const unsigned long request = umockdev_ioctl_client_get_request(client);
    port->counts.add(request);

    if (request == TIOCEXCL || request == TIOCNXCL) {
        // Accepted but not applied: the tests hold the node themselves to
        // make it busy, which a real TIOCEXCL would refuse before the lock.
        umockdev_ioctl_client_complete(client, 0, 0);
        return TRUE;
    }
    if (is_modem_ioctl(request)) {
        GError* error = nullptr;
        UMockdevIoctlData* value =
            umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(int), &error);
        if (value == nullptr || value->data_len < static_cast<int>(sizeof(int))) {
            if (error != nullptr) g_error_free(error);
            if (value != nullptr) umockdev_ioctl_data_unref(value);
            umockdev_ioctl_client_complete(client, -1, EFAULT);
            return TRUE;
        }
        int bits = 0;
        std::memcpy(&bits, value->data, sizeof bits);
        const int failure = play_modem_ioctl(*port->board, request, bits);
        if (failure == 0 && request == TIOCMGET) {
            std::memcpy(value->data, &bits, sizeof bits);  // copied back to the client on completion
        }
        umockdev_ioctl_data_unref(value);
        umockdev_ioctl_client_complete(client, failure == 0 ? 0 : -1, failure);
        return TRUE;
    }
    if (runs_on_pty(request)) {
        int client_errno = 0;
        GError* error = nullptr;
        const int result = umockdev_ioctl_client_execute(client, &client_errno, &error);
        if (error != nullptr) {
            g_error_free(error);
            umockdev_ioctl_client_complete(client, -1, EIO);
            return TRUE;
        }
        umockdev_ioctl_client_complete(client, result, result < 0 ? client_errno : 0);
        return TRUE;
    }
    // Serial-driver requests (TIOCGSERIAL, break, ...) the board has no
    // answer for: refused as an ordinary tty without them would.
    umockdev_ioctl_client_complete(client, -1, ENOTTY);
    return TRUE;
}

}  // namespace

UmockdevSerialPort::UmockdevSerialPort(sensor::SimulatedBoard& board, const std::string& name)
    : impl_(std::make_unique<Impl>())
{
    if (!umockdev_preloaded()) {
        throw std::runtime_error("not running under umockdev-wrapper: refusing to use " + name);
    }
    impl_->board = &board;
    impl_->device = "/dev/" + name;
    impl_->testbed = umockdev_testbed_new();

    // A node needs an N: line; SUBSYSTEM=tty makes it a pty.
    const std::string record = "P: /devices/platform/serial8250/tty/" + name + "\nN: " + name +
                               "\nE: DEVNAME=/dev/" + name + "\nE: SUBSYSTEM=tty\n";
    GError* error = nullptr;
    if (!umockdev_testbed_add_from_string(impl_->testbed, record.c_str(), &error)) {
        const std::string message = error != nullptr ? error->message : "unknown error";
        if (error != nullptr) g_error_free(error);
        throw std::runtime_error("umockdev: cannot add " + impl_->device + ": " + message);
    }
    if (!is_pty_node(impl_->device)) {
        throw std::runtime_error("umockdev: " + impl_->device + " is not redirected to a pty");
    }

    impl_->handler = umockdev_ioctl_base_new();
    g_signal_connect(impl_->handler, "handle-ioctl", G_CALLBACK(handle_ioctl), impl_.get());
    if (!umockdev_testbed_attach_ioctl(impl_->testbed, impl_->device.c_str(), impl_->handler, &error)) {
        const std::string message = error != nullptr ? error->message : "unknown error";
        if (error != nullptr) g_error_free(error);
        throw std::runtime_error("umockdev: cannot attach the ioctl handler: " + message);
    }
    impl_->attached = true;

    if (!board.PortOpen()) {
        board.set_PortOpen(true);
    }
}

UmockdevSerialPort::~UmockdevSerialPort() = default;

const std::string& UmockdevSerialPort::device() const { return impl_->device; }

IoctlCounts& UmockdevSerialPort::counts() { return impl_->counts; }

}  // namespace testsupport
