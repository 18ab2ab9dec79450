// The serial control over a Linux tty: open/close, DTR and RTS through
// TIOCMBIS/TIOCMBIC, CTS through TIOCMGET: one ioctl per line change (a write
// of the level a line already has is skipped) and one per CTS read.
#pragma once

#include <array>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>

#include "bus/serial_control.h"

namespace serial {

// The system calls the control makes, behind a seam so that tests can inject
// failures (EBUSY, EIO, ENOENT) and count ioctls. Each returns -1 and sets
// errno on failure, as the POSIX call does.
struct SystemCalls {
    std::function<int(const char* path, int flags)> open;
    std::function<int(int fd)> close;
    std::function<int(int fd, unsigned long request, int* argument)> ioctl;
    std::function<int(int fd, int operation)> flock;

    static SystemCalls posix();
};

// Device path for a port number 1..4, supplied by the control's owner.
using DeviceForPort = std::function<std::string(int port)>;

// COM1..COM4 as /dev/ttyS0../dev/ttyS3.
std::string default_device_for_port(int port);

// Longest device path accepted, in bytes: one less than the settings read
// gives back, so that a value cut by that read is never taken for a path.
inline constexpr std::size_t max_device_path = 126;

// Why device cannot be a path a port may be opened on, with the errno that
// says it (EINVAL, or ENAMETOOLONG when too long); nullopt when it can. A
// port is opened read-write and its lines driven, so only an absolute path
// under /dev/ is taken, of at most max_device_path bytes, with no ".." step
// and no control character.
struct DeviceRefusal {
    int error_number;
    std::string why;  // "a device path must be shorter than 127 bytes"
};
std::optional<DeviceRefusal> device_path_refusal(const std::string& device);

// Throws SerialError for a refused device; the message quotes the text
// (shortened, escaped) and says why. Every place where a user can name a port
// device applies this before any open.
void check_device_path(const std::string& device);

class PosixSerialControl final : public SerialControl {
public:
    explicit PosixSerialControl(DeviceForPort device_for_port = default_device_for_port,
                                SystemCalls calls = SystemCalls::posix());
    ~PosixSerialControl() override;

    void set_CommPort(int port) override;
    int CommPort() const override { return port_; }
    void set_PortOpen(bool open) override;
    bool PortOpen() const override { return fd_ >= 0; }
    void set_DTREnable(bool asserted) override;
    void set_RTSEnable(bool asserted) override;
    bool CTSHolding() override;
    // The device open now, or the one the next open would use.
    std::string device_name() const override;
    // Takes the place of device_for_port for that port; the device is
    // checked (device_path_refusal) when it is opened.
    void set_device(int port, const std::string& device) override;

private:
    void open_port();
    void close_port() noexcept;
    void release(int fd, bool clear_exclusive) noexcept;
    void set_line(int line_bit, bool asserted, std::optional<bool>& last);
    int open_fd(const char* operation) const;
    std::string device_for(int port) const;

    DeviceForPort device_for_port_;
    std::array<std::optional<std::string>, 4> devices_;  // set_device's, by port
    SystemCalls calls_;
    int port_ = 1;
    int fd_ = -1;
    std::string device_;
    // Whether this control turned exclusive mode on, and so must turn it off
    // again before closing: a tty that was exclusive already stays so.
    bool set_exclusive_ = false;
    // What was last set on each output since the port was opened; a write of
    // the same level again would not change the line and is skipped.
    std::optional<bool> dtr_;
    std::optional<bool> rts_;
};

}  // namespace serial
