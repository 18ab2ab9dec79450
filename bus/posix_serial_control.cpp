#include "bus/posix_serial_control.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>


namespace serial {

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

std::string PosixSerialControl::device_name() const { return PortOpen() ? device_ : device_for_port_(port_); }

void PosixSerialControl::set_CommPort(int port)
{
    if (port < 1 || port > 4) {
        throw SerialError("COM" + std::to_string(port), "select port", EINVAL);
    }
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
    const std::string device = device_for_port_(port_);
    // Non-blocking so that a port waiting for carrier does not hang the
    // window; no controlling terminal so a port cannot hang us up.
    const int fd = calls_.open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        throw SerialError(device, "open", errno);
    }
    // Exclusive use: TIOCEXCL refuses later opens by other programs, and the
    // advisory lock is the one other serial programs check.
    if (calls_.ioctl(fd, TIOCEXCL, nullptr) < 0) {
        const int error = errno;
        calls_.close(fd);
        throw SerialError(device, "exclusive mode", error);
    }
    if (calls_.flock(fd, LOCK_EX | LOCK_NB) < 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        calls_.close(fd);
        throw SerialError(device, "lock", error);
    }
    fd_ = fd;
    device_ = device;
    dtr_.reset();
    rts_.reset();
}

void PosixSerialControl::close_port() noexcept
{
    if (fd_ < 0) {
        return;
    }
    // On Linux the descriptor is released even when close reports an error,
    // so there is nothing to retry.
    calls_.close(fd_);
    fd_ = -1;
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
