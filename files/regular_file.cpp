#include "files/regular_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace files {
namespace {

int type_error(mode_t mode) { return S_ISDIR(mode) ? EISDIR : not_a_regular_file; }

}  // namespace

int open_regular_file(const std::string& path, struct stat& status, int access)
{
    // Looked at before it is opened, so that nothing else is ever opened.
    if (::stat(path.c_str(), &status) != 0) {
        return -errno;
    }
    if (!S_ISREG(status.st_mode)) {
        return -type_error(status.st_mode);
    }
    // Non-blocking in case a FIFO took the name since: the check below then
    // refuses it.
    const int fd = ::open(path.c_str(), access | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        return -errno;
    }
    // Checked again once open, in case something else took the name between.
    const int error = ::fstat(fd, &status) != 0 ? errno : S_ISREG(status.st_mode) ? 0 : type_error(status.st_mode);
    if (error != 0) {
        ::close(fd);
        return -error;
    }
    return fd;
}

std::string error_text(int error)
{
    if (error == not_a_regular_file) {
        return "not a regular file";
    }
    if (error == not_created_under_dev) {
        return "no such file, and none is made under /dev";
    }
    return std::strerror(error);
}

}  // namespace files
