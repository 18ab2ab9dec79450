#include "log/measurement_log.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/cp1252.h"

namespace measurement {
namespace {

void append_field(std::string& line, const QString& field, bool pad)
{
    line += text::utf8_to_cp1252(field.toStdString());
    if (pad) {
        // Always at least one blank, so that fields never run together.
        const std::size_t fill = log_column_width - line.size() % log_column_width;
        line.append(fill, ' ');
    }
}

}  // namespace

std::string log_record(const QDateTime& when, const QString& outdoor, const QString& indoor)
{
    std::string line;
    append_field(line, when.toString(QStringLiteral("MM-dd-yyyy")), true);
    append_field(line, when.toString(QStringLiteral("HH:mm:ss")), true);
    append_field(line, outdoor, true);
    append_field(line, indoor, false);
    line += "\r\n";
    return line;
}

bool append_to_log(const std::string& path, const std::string& bytes)
{
    // Through a symbolic link, as any file. A device is never opened (that
    // alone can change a port's lines); a FIFO is opened without waiting for
    // a reader, and written without waiting for room: a record is far below
    // PIPE_BUF, so it goes whole or not at all.
    struct stat found {};
    if (::stat(path.c_str(), &found) == 0 && !S_ISREG(found.st_mode) && !S_ISFIFO(found.st_mode)) {
        errno = 0;
        return false;
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) {
        return false;
    }
    struct stat before {};
    const int looked = ::fstat(fd, &before) == 0 ? 0 : errno;
    const bool sized = looked == 0 && S_ISREG(before.st_mode);
    if (!sized && (looked != 0 || !S_ISFIFO(before.st_mode))) {
        ::close(fd);  // replaced by something else since it was looked at
        errno = looked;
        return false;
    }
    const std::size_t done = write_all(fd, bytes);
    if (done == bytes.size()) {
        return ::close(fd) == 0;
    }
    const int error = errno;
    if (done > 0 && sized) {
        // A full disk took part of the record: cut it back so that the log
        // holds only whole records.
        (void)::ftruncate(fd, before.st_size);
    }
    ::close(fd);
    errno = error;
    return false;
}

std::size_t write_all(int fd, std::string_view bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

}  // namespace measurement
