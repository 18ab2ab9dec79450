// System calls for PosixSerialControl that touch no device: descriptors are
// numbers handed out here, every call is recorded, and any call can be made
// to fail with a chosen errno. Also reports descriptors left open.
#pragma once

#include <cerrno>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <sys/ioctl.h>

#include "bus/posix_serial_control.h"

namespace testsupport {

class FakeSystemCalls {
public:
    struct Call {
        enum Kind { open, close, ioctl, flock } kind;
        int fd = -1;              // the descriptor acted on (open: the one returned)
        std::string path{};       // open
        int flags = 0;            // open flags, flock operation
        unsigned long request = 0;
        int argument = 0;         // *argument as passed (0 for a null pointer)
        bool operator==(const Call&) const = default;
    };

    serial::SystemCalls calls()
    {
        return serial::SystemCalls{
            [this](const char* path, int flags) { return do_open(path, flags); },
            [this](int fd) { return do_close(fd); },
            [this](int fd, unsigned long request, int* argument) { return do_ioctl(fd, request, argument); },
            [this](int fd, int operation) { return do_flock(fd, operation); },
        };
    }

    // Failures: 0 means the call succeeds.
    int open_error = 0;
    int flock_error = 0;
    std::map<unsigned long, int> ioctl_errors;  // by request; stays until erased
    int fail_next_ioctl = 0;                    // one-shot, any request
    int modem_bits = 0;                         // what TIOCMGET reports

    std::vector<Call> log;
    std::set<int> open_fds;

    std::vector<Call> of_kind(Call::Kind kind) const
    {
        std::vector<Call> matching;
        for (const Call& call : log) {
            if (call.kind == kind) matching.push_back(call);
        }
        return matching;
    }
    long ioctls() const { return static_cast<long>(of_kind(Call::ioctl).size()); }

private:
    int do_open(const char* path, int flags)
    {
        if (open_error != 0) {
            log.push_back({Call::open, -1, path, flags});
            errno = open_error;
            return -1;
        }
        const int fd = next_fd_++;
        open_fds.insert(fd);
        log.push_back({Call::open, fd, path, flags});
        return fd;
    }

    int do_close(int fd)
    {
        log.push_back({Call::close, fd});
        if (open_fds.erase(fd) == 0) {
            errno = EBADF;
            return -1;
        }
        return 0;
    }

    int do_ioctl(int fd, unsigned long request, int* argument)
    {
        log.push_back({Call::ioctl, fd, {}, 0, request, argument != nullptr ? *argument : 0});
        if (open_fds.count(fd) == 0) {
            errno = EBADF;
            return -1;
        }
        if (fail_next_ioctl != 0) {
            errno = fail_next_ioctl;
            fail_next_ioctl = 0;
            return -1;
        }
        if (const auto found = ioctl_errors.find(request); found != ioctl_errors.end()) {
            errno = found->second;
            return -1;
        }
        if (request == TIOCMGET && argument != nullptr) {
            *argument = modem_bits;
        }
        return 0;
    }

    int do_flock(int fd, int operation)
    {
        log.push_back({Call::flock, fd, {}, operation});
        if (open_fds.count(fd) == 0) {
            errno = EBADF;
            return -1;
        }
        if (flock_error != 0) {
            errno = flock_error;
            return -1;
        }
        return 0;
    }

    int next_fd_ = 40;
};

}  // namespace testsupport
