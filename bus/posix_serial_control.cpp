#include "bus/posix_serial_control.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace serial {
namespace {

// Ports are numbered 1 to 4.
void check_port(int port)
{
    if (port < 1 || port > 4) {
        throw SerialError("COM" + std::to_string(port), "select port", EINVAL);
    }
}

bool is_control(unsigned char byte) { return byte < 0x20 || byte == 0x7F; }

// The device text as a message can show it: quoted, control characters
// escaped, and cut after a few dozen bytes (never inside a UTF-8 character).
std::string quoted(const std::string& device)
{
    constexpr std::size_t shown = 48;
    std::size_t end = std::min(device.size(), shown);
    while (end < device.size() && end > 0 && (static_cast<unsigned char>(device[end]) & 0xC0) == 0x80) {
        --end;
    }
    std::string text = "\"";
    for (std::size_t i = 0; i < end; ++i) {
        const auto byte = static_cast<unsigned char>(device[i]);
        if (is_control(byte) || byte == '"' || byte == '\\') {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        } else {
            text += static_cast<char>(byte);
        }
    }
    text += end < device.size() ? "\"..." : "\"";
    return text;
}

bool has_parent_step(const std::string& path)
{
    for (std::size_t at = 0; at != std::string::npos; at = path.find('/', at + 1)) {
        const std::size_t next = path.find('/', at + 1);
        if (path.compare(at + 1, next == std::string::npos ? std::string::npos : next - at - 1, "..") == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

std::optional<DeviceRefusal> device_path_refusal(const std::string& device)
{
    if (device.size() > max_device_path) {
        return DeviceRefusal{ENAMETOOLONG,
                             "a device path must be shorter than " + std::to_string(max_device_path + 1) + " bytes"};
    }
    if (std::any_of(device.begin(), device.end(), [](char c) { return is_control(static_cast<unsigned char>(c)); })) {
        return DeviceRefusal{EINVAL, "the path holds a control character"};
    }
    if (!device.starts_with("/dev/") || device.size() == 5 || has_parent_step(device)) {
        return DeviceRefusal{EINVAL, "a port must be an absolute device path under /dev/, such as /dev/ttyUSB0"};
    }
    return std::nullopt;
}

void check_device_path(const std::string& device)
{
    if (const auto refusal = device_path_refusal(device)) {
        throw SerialError(device, refusal->error_number, quoted(device) + ": not opened as a port: " + refusal->why);
    }
}

SystemCalls SystemCalls::posix()
{
    return SystemCalls{
        [](const char* path, int flags) { return ::open(path, flags); },
        [](int fd) { return ::close(fd); },
        [](int fd, unsigned long request, int* argument) { return ::ioctl(fd, request, argument); },
        [](int fd, int operation) { return ::flock(fd, operation); },
    };
}

std::string default_device_for_port(int port) { return "/dev/ttyS" + std::to_string(port - 1); }

PosixSerialControl::PosixSerialControl(DeviceForPort device_for_port, SystemCalls calls)
    : device_for_port_(std::move(device_for_port)), calls_(std::move(calls))
{
}

PosixSerialControl::~PosixSerialControl() { close_port(); }

std::string PosixSerialControl::device_name() const { return PortOpen() ? device_ : device_for(port_); }

std::string PosixSerialControl::device_for(int port) const
{
    const auto& set = devices_[static_cast<std::size_t>(port - 1)];
    return set ? *set : device_for_port_(port);
}

void PosixSerialControl::set_device(int port, const std::string& device)
{
    check_port(port);
    devices_[static_cast<std::size_t>(port - 1)] = device;
}

void PosixSerialControl::set_CommPort(int port)
{
    check_port(port);
    if (PortOpen()) {
        throw SerialError(device_, "change port number while open", EBUSY);
    }
    port_ = port;
}

void PosixSerialControl::set_PortOpen(bool open)
{
    if (open) {
        if (PortOpen()) {
            throw SerialError(device_, "open", EBUSY);
        }
        open_port();
    } else {
        close_port();
    }
}

void PosixSerialControl::open_port()
{
    const std::string device = device_for(port_);
    check_device_path(device);
    // Non-blocking so that a port waiting for carrier does not hang the
    // window; no controlling terminal so a port cannot hang us up.
    const int fd = calls_.open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw SerialError(device, "open", errno);
    }
    // Exclusive use: TIOCEXCL refuses later opens by other programs, and the
    // advisory lock is the one other serial programs check. Only a privileged
    // user gets this far on a tty that is exclusive already; it is left so.
    // A kernel that cannot tell (before 3.8) counts as not exclusive.
    int exclusive = 0;
    if (calls_.ioctl(fd, TIOCGEXCL, &exclusive) < 0) {
        exclusive = 0;
    }
    if (exclusive == 0 && calls_.ioctl(fd, TIOCEXCL, nullptr) < 0) {
        const int error = errno;
        release(fd, false);
        throw SerialError(device, "exclusive mode", error);
    }
    if (calls_.flock(fd, LOCK_EX | LOCK_NB) < 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        // The program holding the lock may hold the tty open too: it must
        // not be left in the exclusive mode set here.
        release(fd, exclusive == 0);
        throw SerialError(device, "lock", error);
    }
    fd_ = fd;
    device_ = device;
    set_exclusive_ = exclusive == 0;
    dtr_.reset();
    rts_.reset();
}

void PosixSerialControl::release(int fd, bool clear_exclusive) noexcept
{
    if (clear_exclusive) {
        // Exclusive mode belongs to the tty, not to this descriptor: it
        // outlives the close and would refuse every later open (EBUSY)
        // while anyone else keeps the tty open.
        calls_.ioctl(fd, TIOCNXCL, nullptr);
    }
    // On Linux the descriptor is released even when close reports an error,
    // so there is nothing to retry.
    calls_.close(fd);
}

void PosixSerialControl::close_port() noexcept
{
    if (fd_ < 0) {
        return;
    }
    release(fd_, set_exclusive_);
    fd_ = -1;
    set_exclusive_ = false;
    device_.clear();
    dtr_.reset();
    rts_.reset();
}

int PosixSerialControl::open_fd(const char* operation) const
{
    if (fd_ < 0) {
        throw SerialError("COM" + std::to_string(port_), operation, EBADF);
    }
    return fd_;
}

void PosixSerialControl::set_line(int line_bit, bool asserted, std::optional<bool>& last)
{
    const int fd = open_fd("set line");
    if (last == asserted) {
        return;
    }
    int bits = line_bit;
    if (calls_.ioctl(fd, asserted ? TIOCMBIS : TIOCMBIC, &bits) < 0) {
        // The level is unknown now: the next write must go out.
        last.reset();
        throw SerialError(device_, "set modem line", errno);
    }
    last = asserted;
}

void PosixSerialControl::set_DTREnable(bool asserted) { set_line(TIOCM_DTR, asserted, dtr_); }

void PosixSerialControl::set_RTSEnable(bool asserted) { set_line(TIOCM_RTS, asserted, rts_); }

bool PosixSerialControl::CTSHolding()
{
    const int fd = open_fd("read CTS");
    int bits = 0;
    if (calls_.ioctl(fd, TIOCMGET, &bits) < 0) {
        throw SerialError(device_, "read modem lines", errno);
    }
    return (bits & TIOCM_CTS) != 0;
}

}  // namespace serial
