#include "settings/profile_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "text/cp1252.h"
#include "files/regular_file.h"

namespace profile {
namespace {

constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";

constexpr bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool same_name(std::string_view a, std::string_view b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return ascii_lower(x) == ascii_lower(y); });
}

// A line of the file as offsets into the contents: [begin, end) is its text
// without the line ending, next is where the following line starts.
struct Line {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t next = 0;
};

enum class LineKind { other, header, entry };

// What a line holds: for a header, name is the section name; for an entry,
// name and value are the key and the value, blanks removed. Both view into
// the contents.
struct Parsed {
    LineKind kind = LineKind::other;
    std::string_view name;
    std::string_view value;
};

Parsed parse(std::string_view text)
{
    const std::string_view body = trim(text);
    if (body.empty() || body.front() == ';') {
        return {};
    }
    if (body.front() == '[') {
        const std::size_t close = body.find(']');
        if (close == std::string_view::npos) {
            return {};
        }
        return {LineKind::header, trim(body.substr(1, close - 1)), {}};
    }
    const std::size_t equals = body.find('=');
    if (equals == std::string_view::npos) {
        return {};
    }
    const std::string_view key = trim(body.substr(0, equals));
    if (key.empty()) {
        return {};
    }
    return {LineKind::entry, key, trim(body.substr(equals + 1))};
}

// The lines of the contents, one at a time, after any byte-order mark. A CR
// before LF, or a lone CR at the very end, belongs to the line ending.
class LineReader {
public:
    explicit LineReader(std::string_view contents)
        : contents_(contents), position_(contents.starts_with(utf8_bom) ? utf8_bom.size() : 0)
    {
    }

    bool next(Line& line)
    {
        if (position_ >= contents_.size()) {
            return false;
        }
        line.begin = position_;
        const std::size_t lf = contents_.find('\n', position_);
        line.next = lf == std::string_view::npos ? contents_.size() : lf + 1;
        line.end = lf == std::string_view::npos ? contents_.size() : lf;
        if (line.end > line.begin && contents_[line.end - 1] == '\r') {
            --line.end;
        }
        position_ = line.next;
        return true;
    }

    std::string_view text(const Line& line) const { return contents_.substr(line.begin, line.end - line.begin); }

private:
    std::string_view contents_;
    std::size_t position_;
};

// A part of a line of the file (its key or value) as UTF-8.
std::string decoded(std::string_view line_text, std::string_view part)
{
    return text::line_is_utf8(line_text) ? std::string(part) : text::cp1252_to_utf8(part);
}

// A name read from a line, compared with the UTF-8 name asked for. The
// line's encoding is only worked out when the name is not plain ASCII.
bool name_matches(std::string_view line_text, std::string_view stored, std::string_view wanted)
{
    if (text::is_ascii(stored)) {
        return same_name(stored, wanted);
    }
    return same_name(decoded(line_text, stored), wanted);
}

// Where key of section is, or would go, in the contents.
struct Location {
    bool section_found = false;
    std::optional<Line> entry;  // the first line holding the key
    Line insert_after;          // last entry line of the first matching section (or its header)
};

Location locate(std::string_view contents, std::string_view section, std::string_view key)
{
    Location location;
    LineReader reader(contents);
    Line line;
    bool in_section = false;
    bool in_first_section = false;
    while (reader.next(line)) {
        const std::string_view line_text = reader.text(line);
        const Parsed parsed = parse(line_text);
        if (parsed.kind == LineKind::header) {
            in_section = name_matches(line_text, parsed.name, section);
            in_first_section = in_section && !location.section_found;
            if (in_first_section) {
                location.section_found = true;
                location.insert_after = line;
            }
        } else if (parsed.kind == LineKind::entry && in_section) {
            if (in_first_section) {
                location.insert_after = line;
            }
            if (name_matches(line_text, parsed.name, key)) {
                location.entry = line;
                return location;
            }
        }
    }
    return location;
}

// The line ending of the first line that has one; CR LF when none has.
std::string_view line_ending_of(std::string_view contents)
{
    const std::size_t lf = contents.find('\n');
    return lf != std::string_view::npos && (lf == 0 || contents[lf - 1] != '\r') ? "\n" : "\r\n";
}

// Text of a name or value as it may stand on one line: CR and LF as spaces.
std::string one_line(std::string_view utf8)
{
    std::string line(utf8);
    std::replace_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return line;
}

// The bytes of a line of text: Windows-1252 when that holds the text and the
// reader will not take the bytes for UTF-8 (as it would "Ã©"); UTF-8
// otherwise, which the reader recognises as such. Text that is not valid
// UTF-8 has no better form than Windows-1252 with '?' for what is broken.
std::string encode_line(const std::string& utf8)
{
    std::string bytes = text::utf8_to_cp1252(utf8);
    if (!text::is_valid_utf8(utf8) || (!text::line_is_utf8(bytes) && text::cp1252_to_utf8(bytes) == utf8)) {
        return bytes;
    }
    return utf8;
}

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

bool write_all(const FileCalls& calls, int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t written = calls.write(fd, data.data(), data.size());
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

void sync_directory(const FileCalls& calls, const std::string& directory)
{
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        calls.fsync(fd);  // best effort: the rename is already made
        ::close(fd);
    }
}

// The file a write to path must replace: path itself, or the file its chain
// of symbolic links ends at, which need not exist (a dangling link). A
// relative link is taken from the directory that holds it. nullopt with
// errno set when the chain does not end (ELOOP) or cannot be followed.
std::optional<std::string> link_target(std::string path)
{
    constexpr int max_links = 40;  // as the kernel's own limit
    for (int links = 0; links <= max_links; ++links) {
        struct stat info {};
        if (::lstat(path.c_str(), &info) != 0) {
            if (errno == ENOENT) {
                return path;
            }
            return std::nullopt;
        }
        if (!S_ISLNK(info.st_mode)) {
            return path;
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

// Whether name is one of the temporaries that a save of the file base makes:
// "." base "." and the six characters mkstemp chose.
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

// Removes the temporaries of the file base in directory that no live save
// holds: a live save keeps its temporary locked from creation to rename, so
// one that can be locked belongs to a save that died. Nothing else is
// touched; a temporary that cannot be looked at is left.
void remove_dead_temporaries(const std::string& directory, const std::string& base)
{
    DIR* listing = ::opendir(directory.c_str());
    if (listing == nullptr) {
        return;
    }
    while (const dirent* entry = ::readdir(listing)) {
        if (!is_temporary_of(entry->d_name, base)) {
            continue;
        }
        const std::string path = directory + "/" + entry->d_name;
        const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0) {
            continue;
        }
        struct stat held {};
        struct stat named {};
        // Still the same regular file under that name once locked: not
        // renamed into place meanwhile, nor a new save's under the same name.
        if (::fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0 &&
            ::lstat(path.c_str(), &named) == 0 && named.st_dev == held.st_dev && named.st_ino == held.st_ino) {
            ::unlink(path.c_str());
        }
        ::close(fd);
    }
    ::closedir(listing);
}

// A new temporary from path_template, locked, its name in path. A save that
// cleaned up between the creation and the lock may have removed it; then
// another is made. -1 with errno set when none can be made.
int create_locked(const FileCalls& calls, const std::string& path_template, std::string& path)
{
    for (int attempt = 0; attempt < 8; ++attempt) {
        path = path_template;
        const int fd = calls.mkstemp(path.data());
        if (fd < 0) {
            return -1;
        }
        // Another save holds the lock only for the moment it looks. Where
        // locks are not supported no save ever removes another's temporary,
        // since removing takes the lock.
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

// Whether the mode bits of a file let who write it: the owner's, group's or
// others' write bit, as for the kernel's own check. Root, whom the kernel
// lets write anything, is held to the bits too: a file with no write bit at
// all was made read-only on purpose.
bool mode_lets_write(const FileContents& file, const Credentials& who)
{
    if (who.uid == 0) {
        return (file.mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
    }
    if (who.uid == file.owner) {
        return (file.mode & S_IWUSR) != 0;
    }
    if (who.gid == file.group || std::find(who.groups.begin(), who.groups.end(), file.group) != who.groups.end()) {
        return (file.mode & S_IWGRP) != 0;
    }
    return (file.mode & S_IWOTH) != 0;
}

}  // namespace

std::optional<std::string> find_value(std::string_view contents, std::string_view section,
                                      std::string_view key, std::size_t max_bytes)
{
    const Location location = locate(contents, section, key);
    if (!location.entry) {
        return std::nullopt;
    }
    const Line& line = *location.entry;
    const std::string_view line_text = contents.substr(line.begin, line.end - line.begin);
    const std::string_view value = parse(line_text).value;
    if (text::line_is_utf8(line_text)) {
        return std::string(value.substr(0, text::utf8_prefix_length(value, max_bytes)));
    }
    return text::cp1252_to_utf8(value.substr(0, max_bytes));
}

std::string with_value(std::string_view contents, std::string_view section, std::string_view key,
                       std::string_view value)
{
    const std::string_view eol = line_ending_of(contents);
    const std::string text = one_line(value);
    const Location location = locate(contents, section, key);
    std::string result;

    if (location.entry) {
        const Line& line = *location.entry;
        const std::string_view line_text = contents.substr(line.begin, line.end - line.begin);
        const Parsed parsed = parse(line_text);
        // Texts are compared, not bytes: a line saved in UTF-8 by an editor
        // stays as it is while its text does not change.
        if (decoded(line_text, parsed.value) == text) {
            return std::string(contents);
        }
        // The key keeps the spelling the file gives it.
        result.append(contents.substr(0, line.begin));
        result.append(encode_line(decoded(line_text, parsed.name) + "=" + text));
        result.append(contents.substr(line.end));
        return result;
    }

    std::size_t insert_at = contents.size();
    std::string inserted;
    if (location.section_found) {
        insert_at = location.insert_after.next;
    } else {
        inserted.append(encode_line("[" + one_line(section) + "]")).append(eol);
    }
    inserted.append(encode_line(one_line(key) + "=" + text)).append(eol);

    // A last line without a line ending gets one before anything follows it;
    // a lone CR there already is half of one.
    const std::size_t bom_size = contents.starts_with(utf8_bom) ? utf8_bom.size() : 0;
    result.reserve(contents.size() + inserted.size() + 2);
    result.append(contents.substr(0, insert_at));
    if (insert_at > bom_size && contents[insert_at - 1] != '\n') {
        result.append(contents[insert_at - 1] == '\r' ? std::string_view("\n") : eol);
    }
    result.append(inserted);
    result.append(contents.substr(insert_at));
    return result;
}

FileContents read_file(const std::string& path)
{
    FileContents file;
    const auto fail = [&file](int error) {
        file.error = error;
        file.state = error == ENOENT || error == ENOTDIR ? FileState::missing : FileState::unreadable;
        file.bytes.clear();
        return file;
    };
    struct stat info {};
    const int fd = files::open_regular_file(path, info);
    if (fd < 0) {
        return fail(-fd);
    }
    file.mode = info.st_mode & 07777;
    file.owner = info.st_uid;
    file.group = info.st_gid;
    file.state = FileState::read;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int error = errno;
            ::close(fd);
            return fail(error);
        }
        if (got == 0) {
            break;
        }
        file.bytes.append(buffer.data(), static_cast<std::size_t>(got));
    }
    ::close(fd);
    return file;
}

Lookup get_string(std::string_view section, std::string_view key, std::string_view default_value,
                  const std::string& path, std::size_t buffer_size)
{
    Lookup lookup;
    const FileContents file = read_file(path);
    lookup.file = file.state;
    if (file.state == FileState::read) {
        if (auto value = find_value(file.bytes, section, key, buffer_size > 0 ? buffer_size - 1 : 0)) {
            lookup.value = std::move(*value);
            lookup.found = true;
            return lookup;
        }
    }
    lookup.value = default_value;
    return lookup;
}

Credentials Credentials::of_process()
{
    Credentials who{::geteuid(), ::getegid(), {}};
    const int count = ::getgroups(0, nullptr);
    if (count > 0) {
        who.groups.resize(static_cast<std::size_t>(count));
        who.groups.resize(static_cast<std::size_t>(std::max(0, ::getgroups(count, who.groups.data()))));
    }
    return who;
}

FileCalls FileCalls::posix()
{
    return FileCalls{
        [](char* path_template) { return ::mkostemp(path_template, O_CLOEXEC); },
        [](int fd, const void* data, std::size_t size) { return ::write(fd, data, size); },
        [](int fd) { return ::fsync(fd); },
        [](const char* from, const char* to) { return ::rename(from, to); },
        Credentials::of_process,
    };
}

WriteResult write_strings(const std::string& path, std::span<const Entry> entries, const FileCalls& calls)
{
    WriteResult result;
    const auto failed = [&result](std::string reason) {
        result.status = WriteStatus::failed;
        result.reason = std::move(reason);
        return result;
    };
    const auto system_failure = [&failed](const char* step) { return failed(step + std::string(": ") + std::strerror(errno)); };

    const std::optional<std::string> target = link_target(path);
    if (!target) {
        result.file = path;
        return system_failure("following its links");
    }
    result.file = *target;
    const FileContents old = read_file(*target);
    if (old.state == FileState::unreadable) {
        return failed(files::error_text(old.error));  // overwriting what could not be read would lose it
    }
    std::string contents = old.bytes;
    for (const Entry& entry : entries) {
        contents = with_value(contents, entry.section, entry.key, entry.value);
    }
    const bool unchanged = old.state == FileState::read && contents == old.bytes;
    if (!unchanged && old.state == FileState::read && !mode_lets_write(old, calls.credentials())) {
        result.status = WriteStatus::read_only;
        return result;
    }

    const std::size_t slash = target->rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : target->substr(0, slash);
    const std::string base = slash == std::string::npos ? *target : target->substr(slash + 1);
    remove_dead_temporaries(directory, base);
    if (unchanged) {
        result.status = WriteStatus::unchanged;
        return result;
    }
    const std::string temporary_template = directory + "/." + base + ".XXXXXX";
    std::string temporary;
    const int fd = create_locked(calls, temporary_template, temporary);
    if (fd < 0) {
        return system_failure("creating a temporary file beside it");
    }
    const auto abandon = [&](const char* step) {
        const int error = errno;
        ::unlink(temporary.c_str());  // still locked: no other save has touched it
        ::close(fd);
        errno = error;
        return system_failure(step);
    };
    if (old.state == FileState::read) {
        if (::fchown(fd, old.owner, old.group) != 0) {
            // Only root may give a file away; a plain user's new file is
            // then its own, with the old bits.
        }
        if (::fchmod(fd, old.mode) != 0) {
            return abandon("setting its permissions");
        }
    } else if (::fchmod(fd, 0666 & ~process_umask()) != 0) {
        return abandon("setting its permissions");
    }
    if (!write_all(calls, fd, contents)) {
        return abandon("writing");
    }
    if (calls.fsync(fd) != 0) {
        return abandon("syncing");
    }
    // Renamed while still locked, so that no other save takes it for dead.
    if (calls.rename(temporary.c_str(), target->c_str()) != 0) {
        return abandon("replacing it");
    }
    ::close(fd);
    sync_directory(calls, directory);
    result.status = WriteStatus::written;
    return result;
}

}  // namespace profile
