#include "log/measurement_log.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <ctime>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/output_file.h"
#include "files/regular_file.h"
#include "text/cp1252.h"

namespace measurement {
namespace {

std::size_t characters_of(std::string_view utf8)
{
    return static_cast<std::size_t>(
        std::count_if(utf8.begin(), utf8.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

void append_field(std::string& line, const QString& field, bool pad)
{
    line += field.toStdString();
    if (pad) {
        // Always at least one blank, so that fields never run together.
        const std::size_t fill = log_column_width - characters_of(line) % log_column_width;
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
    return text::encode_line(line) + "\r\n";
}

LogWriter::LogWriter(std::string path) : path_(std::move(path)) {}

LogWriter::~LogWriter()
{
    if (fifo_ >= 0) {
        ::close(fifo_);
    }
}

int LogWriter::append(std::string_view record)
{
    if (fifo_ >= 0) {
        return append_to_fifo(record);
    }
    // Through a symbolic link, as any file. A device is never opened (that
    // alone can change a port's lines); a name under /dev that leads nowhere
    // is not made into a file that would pass for one.
    struct stat found {};
    if (::stat(path_.c_str(), &found) == 0) {
        if (!S_ISREG(found.st_mode) && !S_ISFIFO(found.st_mode)) {
            return files::not_a_regular_file;
        }
    } else if (errno == ENOENT) {
        const std::optional<files::LinkEnd> end = files::link_target(path_);
        if (end && files::creation_refusal(end->path) == files::not_created_under_dev) {
            return files::not_created_under_dev;
        }
    }
    // A FIFO is opened without waiting for a reader.
    const int fd = ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0) {
        return errno;
    }
    struct stat before {};
    const int looked = ::fstat(fd, &before) == 0 ? 0 : errno;
    if (looked != 0 || !(S_ISREG(before.st_mode) || S_ISFIFO(before.st_mode))) {
        ::close(fd);  // replaced by something else since it was looked at
        return looked != 0 ? looked : files::not_a_regular_file;
    }
    if (S_ISFIFO(before.st_mode)) {
        fifo_ = fd;
        return append_to_fifo(record);
    }
    const std::size_t done = files::write_all(fd, record);
    if (done == record.size()) {
        return ::close(fd) == 0 ? 0 : errno;
    }
    const int error = errno;
    if (done > 0) {
        // A full disk took part of the record: cut it back so that the log
        // holds only whole records.
        (void)::ftruncate(fd, before.st_size);
    }
    ::close(fd);
    return error;
}

int LogWriter::append_to_fifo(std::string_view record)
{
    // A record is far below PIPE_BUF: without waiting for room, it goes whole
    // or not at all. A reader that went away makes the write raise SIGPIPE,
    // which would end the program: it is held off for this write, and taken
    // back when the write caused it.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    sigset_t previous_mask;
    pthread_sigmask(SIG_BLOCK, &pipe_signal, &previous_mask);
    sigset_t pending;
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    const bool whole = files::write_all(fifo_, record) == record.size();
    const int error = whole ? 0 : errno != 0 ? errno : EIO;
    if (error == EPIPE && !was_pending) {
        const timespec no_wait{};
        sigtimedwait(&pipe_signal, nullptr, &no_wait);
    }
    pthread_sigmask(SIG_SETMASK, &previous_mask, nullptr);
    if (!whole) {
        // Opened again at the next record, which then waits for no reader.
        ::close(fifo_);
        fifo_ = -1;
    }
    return error;
}

std::string log_error_text(int error) { return files::error_text(error); }

}  // namespace measurement
