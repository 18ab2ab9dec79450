#include "files/output_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "files/regular_file.h"

namespace files {
namespace {

mode_t process_umask()
{
    // umask() cannot be read without being changed, which would race with
    // other threads creating files; the kernel reports it here instead.
    FILE* status = std::fopen("/proc/self/status", "re");
    unsigned mask = 022;
    if (status != nullptr) {
        char line[256];
        while (std::fgets(line, sizeof line, status) != nullptr) {
            if (std::sscanf(line, "Umask: %o", &mask) == 1) {
                break;
            }
        }
        std::fclose(status);
    }
    return static_cast<mode_t>(mask);
}

std::string folder_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string base_of(const std::string& path)
{
    const std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

void sync_folder(const WriteCalls& calls, const std::string& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        calls.fsync(fd);  // best effort: the rename is already made
        ::close(fd);
    }
}

// Whether name is one of the temporaries that a replacement of the file base
// makes: "." base "." and the six characters mkstemp chose.
bool is_temporary_of(std::string_view name, std::string_view base)
{
    constexpr std::size_t suffix = 7;  // ".XXXXXX"
    if (name.size() != 1 + base.size() + suffix || name.front() != '.' || name.substr(1, base.size()) != base ||
        name[1 + base.size()] != '.') {
        return false;
    }
    return std::all_of(name.end() - 6, name.end(), [](char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    });
}

// A new temporary from path_template, locked, its name in path. A
// replacement that cleaned up between the creation and the lock may have
// removed it; then another is made. -1 with errno set when none can be made.
int create_locked(const WriteCalls& calls, const std::string& path_template, std::string& path)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        path = path_template;
        const int fd = calls.mkstemp(path.data());
        if (fd < 0) {
            return -1;
        }
        // Another replacement holds the lock only for the moment it looks.
        // Where locks are not supported none ever removes another's
        // temporary, since removing takes the lock.
        int locked = 0;
        while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        struct stat info {};
        if (locked != 0 || (::fstat(fd, &info) == 0 && info.st_nlink > 0)) {
            return fd;
        }
        ::close(fd);
    }
    errno = EBUSY;
    return -1;
}

template <typename Write>
std::size_t write_all_through(const Write& write, int fd, std::string_view data)
{
    std::size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = write(fd, data.data() + done, data.size() - done);
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

}  // namespace

WriteCalls WriteCalls::posix()
{
    return WriteCalls{
        [](char* path_template) { return ::mkostemp(path_template, O_CLOEXEC); },
        [](int fd, const void* data, std::size_t size) { return ::write(fd, data, size); },
        [](int fd) { return ::fsync(fd); },
        [](const char* from, const char* to) { return ::rename(from, to); },
    };
}

std::size_t write_all(int fd, std::string_view data)
{
    return write_all_through([](int to, const void* bytes, std::size_t size) { return ::write(to, bytes, size); }, fd,
                             data);
}

std::size_t write_all(const WriteCalls& calls, int fd, std::string_view data)
{
    return write_all_through(calls.write, fd, data);
}

std::optional<LinkEnd> link_target(std::string path)
{
    constexpr int max_links = 40;  // as the kernel's own limit
    for (int links = 0; links <= max_links; ++links) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno == ENOENT) {
                return LinkEnd{path, false};
            }
            return std::nullopt;
        }
        if (!S_ISLNK(info.st_mode)) {
            return LinkEnd{path, false};
        }
        if (path.starts_with("/proc/")) {
            return LinkEnd{path, true};
        }
        std::string target(static_cast<std::size_t>(info.st_size > 0 ? info.st_size : 256) + 1, '\0');
        const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
        if (length < 0) {
            return std::nullopt;
        }
        if (static_cast<std::size_t>(length) == target.size()) {
            continue;  // grew since lstat: read it again
        }
        target.resize(static_cast<std::size_t>(length));
        const std::size_t slash = path.rfind('/');
        path = target.starts_with('/') || slash == std::string::npos ? target : path.substr(0, slash + 1) + target;
    }
    errno = ELOOP;
    return std::nullopt;
}

int creation_refusal(const std::string& path)
{
    // The folder as the system finds it, every link and ".." resolved.
    char* resolved = ::realpath(folder_of(path).c_str(), nullptr);
    if (resolved == nullptr) {
        return errno;
    }
    const std::string folder(resolved);
    std::free(resolved);
    if (folder != "/dev" && !folder.starts_with("/dev/")) {
        return 0;
    }
    // The device nodes' own file system; one mounted below it for files
    // (/dev/shm) is as any other.
    struct stat devices {};
    struct stat found {};
    if (::stat("/dev", &devices) != 0 || ::stat(folder.c_str(), &found) != 0) {
        return errno;
    }
    return found.st_dev == devices.st_dev ? not_created_under_dev : 0;
}

std::string Failure::reason() const
{
    const std::string why = error_text(error);
    return step.empty() ? why : step + ": " + why;
}

void remove_dead_temporaries(const std::string& file)
{
    const std::string folder = folder_of(file);
    const std::string base = base_of(file);
    DIR* listing = ::opendir(folder.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        if (!is_temporary_of(entry->d_name, base)) {
            continue;
        }
        const std::string path = folder + "/" + entry->d_name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat held {};
        struct stat named {};
        // Still the same regular file under that name once locked: not
        // renamed into place meanwhile, nor a new temporary under that name.
        if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
            ::unlink(path.c_str());
        }
        ::close(fd);
    }
    ::closedir(listing);
}

// --- Replacement ---------------------------------------------------------------

Replacement::Replacement(const WriteCalls& calls) : calls_(calls) {}

Replacement::~Replacement() { abandon(); }

void Replacement::abandon()
{
    if (fd_ >= 0) {
        ::unlink(temporary_.c_str());  // still locked: no one else has touched it
        ::close(fd_);
        fd_ = -1;
    }
}

bool Replacement::fail(const char* step)
{
    failure_ = {step, errno};
    abandon();
    return false;
}

bool Replacement::begin(const std::string& file, const std::optional<Ownership>& existing)
{
    file_ = file;
    fd_ = create_locked(calls_, folder_of(file) + "/." + base_of(file) + ".XXXXXX", temporary_);
    if (fd_ < 0) {
        return fail("creating a temporary file beside it");
    }
    if (existing && ::fchown(fd_, existing->owner, existing->group) != 0) {
        // Only root may give a file away; a plain user's new file is then
        // its own, with the old bits.
    }
    const mode_t mode = existing ? existing->mode : 0666 & ~process_umask();
    return ::fchmod(fd_, mode) == 0 || fail("setting its permissions");
}

bool Replacement::write(std::string_view bytes)
{
    return write_all(calls_, fd_, bytes) == bytes.size() || fail("writing");
}

bool Replacement::commit()
{
    if (calls_.fsync(fd_) != 0) {
        return fail("syncing");
    }
    // Renamed while still locked, so that no one takes it for dead.
    if (calls_.rename(temporary_.c_str(), file_.c_str()) != 0) {
        return fail("replacing it");
    }
    ::close(fd_);
    fd_ = -1;
    sync_folder(calls_, folder_of(file_));
    return true;
}

bool rewrite_in_place(const std::string& file, std::string_view old, std::string_view contents,
                      const WriteCalls& calls, Failure& failure)
{
    const auto fail = [&failure](const char* step, int error) {
        failure = {step, error};
        return false;
    };
    struct stat info {};
    const int fd = open_regular_file(file, info, O_WRONLY);
    if (fd < 0) {
        return fail("opening it", -fd);
    }
    // The bytes before the first change are there already.
    const std::size_t same = static_cast<std::size_t>(
        std::mismatch(old.begin(), old.begin() + static_cast<std::ptrdiff_t>(std::min(old.size(), contents.size())),
                      contents.begin())
            .first -
        old.begin());
    const std::string_view rest = contents.substr(same);
    int error = 0;
    const char* step = "";
    if (::lseek(fd, static_cast<off_t>(same), SEEK_SET) < 0 || write_all(calls, fd, rest) != rest.size()) {
        error = errno, step = "writing";
    } else if (::ftruncate(fd, static_cast<off_t>(contents.size())) != 0) {
        error = errno, step = "cutting it to its new length";
    } else if (calls.fsync(fd) != 0) {
        error = errno, step = "syncing";
    }
    ::close(fd);
    return error == 0 || fail(step, error);
}

// --- Output --------------------------------------------------------------------

Output::Output(const WriteCalls& calls) : calls_(calls) {}

Output::~Output()
{
    if (owned_) {
        ::close(stream_);
    }
}

bool Output::fail(const char* step, int error)
{
    failure_ = {step, error};
    replacement_.reset();
    return false;
}

const Failure& Output::failure() const { return replacement_ ? replacement_->failure() : failure_; }

bool Output::open(const std::string& path)
{
    struct stat found {};
    const bool exists = ::stat(path.c_str(), &found) == 0;
    if (!exists && errno != ENOENT) {
        return fail("", errno);
    }
    if (exists && S_ISDIR(found.st_mode)) {
        return fail("", EISDIR);
    }
    const std::optional<LinkEnd> end = link_target(path);
    if (!end) {
        return fail("following its links", errno);
    }
    if (exists && (!S_ISREG(found.st_mode) || end->through_proc)) {
        // Written as it is: a device or a FIFO cannot be replaced, and what
        // /dev/stdout leads to belongs to whoever opened it. Appending leaves
        // what a caller's ">>" put there.
        stream_ = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOCTTY);
        if (stream_ < 0) {
            return fail("opening it", errno);
        }
        owned_ = true;
        return true;
    }
    std::optional<Ownership> ownership;
    if (exists) {
        ownership = Ownership{found.st_mode & 07777, found.st_uid, found.st_gid};
    } else if (const int refusal = creation_refusal(end->path); refusal != 0) {
        return fail("", refusal);
    }
    remove_dead_temporaries(end->path);
    replacement_.emplace(calls_);
    return replacement_->begin(end->path, ownership);
}

void Output::open_standard_output()
{
    stream_ = STDOUT_FILENO;
    owned_ = false;
}

bool Output::write(std::string_view bytes)
{
    if (replacement_) {
        return replacement_->write(bytes);
    }
    return write_all(calls_, stream_, bytes) == bytes.size() || fail("writing", errno);
}

bool Output::finish()
{
    if (replacement_) {
        return replacement_->commit();
    }
    if (owned_) {
        owned_ = false;
        if (::close(stream_) != 0) {
            return fail("closing it", errno);
        }
    }
    return true;
}

}  // namespace files
