#include "settings/profile_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "settings/cp1252.h"

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

// A name read from a line, compared with the UTF-8 name asked for. The
// line's encoding is only worked out when the name is not plain ASCII.
bool name_matches(std::string_view line_text, std::string_view stored, std::string_view wanted)
{
    if (text::is_ascii(stored)) {
        return same_name(stored, wanted);
    }
    return same_name(text::line_is_utf8(line_text) ? std::string(stored) : text::cp1252_to_utf8(stored), wanted);
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

std::string single_line(std::string_view utf8)
{
    std::string encoded = text::utf8_to_cp1252(utf8);
    std::replace_if(encoded.begin(), encoded.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return encoded;
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

void sync_directory(const std::string& directory)
{
    const int fd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);  // best effort: the rename is already made
        ::close(fd);
    }
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
    const std::string encoded_value = single_line(value);
    const Location location = locate(contents, section, key);
    std::string result;
    result.reserve(contents.size() + section.size() + key.size() + encoded_value.size() + 8);

    if (location.entry) {
        // The key keeps the spelling the file gives it.
        const Line& line = *location.entry;
        const std::string_view line_text = contents.substr(line.begin, line.end - line.begin);
        const std::string_view stored_key = parse(line_text).name;
        const std::string key_bytes = text::line_is_utf8(line_text) ? text::utf8_to_cp1252(stored_key)
                                                                    : std::string(stored_key);
        result.append(contents.substr(0, line.begin));
        result.append(key_bytes).append("=").append(encoded_value);
        result.append(contents.substr(line.end));
        return result;
    }

    const std::string new_entry = single_line(key) + "=" + encoded_value;
    std::size_t insert_at = contents.size();
    std::string inserted;
    if (location.section_found) {
        insert_at = location.insert_after.next;
    } else {
        inserted.append("[").append(single_line(section)).append("]").append(eol);
    }
    inserted.append(new_entry).append(eol);

    // A last line without a line ending gets one before anything follows it;
    // a lone CR there already is half of one.
    const std::size_t bom_size = contents.starts_with(utf8_bom) ? utf8_bom.size() : 0;
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
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        file.error = errno;
        file.state = errno == ENOENT || errno == ENOTDIR ? FileState::missing : FileState::unreadable;
        return file;
    }
    struct stat info {};
    const bool stat_failed = ::fstat(fd, &info) != 0;
    if (stat_failed || !S_ISREG(info.st_mode)) {
        // A directory, FIFO or device is there but holds no settings.
        file.error = stat_failed ? errno : S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        file.state = FileState::unreadable;
        ::close(fd);
        return file;
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
            file.error = errno;
            file.state = FileState::unreadable;
            file.bytes.clear();
            break;
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

FileCalls FileCalls::posix()
{
    return FileCalls{
        [](char* path_template) { return ::mkostemp(path_template, O_CLOEXEC); },
        [](int fd, const void* data, std::size_t size) { return ::write(fd, data, size); },
        [](int fd) { return ::fsync(fd); },
        [](const char* from, const char* to) { return ::rename(from, to); },
    };
}

bool write_string(std::string_view section, std::string_view key, std::string_view value,
                  const std::string& path, const FileCalls& calls)
{
    const FileContents old = read_file(path);
    if (old.state == FileState::unreadable) {
        return false;  // overwriting what could not be read would lose it
    }
    const std::string contents = with_value(old.bytes, section, key, value);
    if (old.state == FileState::read && contents == old.bytes) {
        return true;
    }

    const std::size_t slash = path.rfind('/');
    const std::string directory = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    std::string temporary = (slash == std::string::npos ? "" : path.substr(0, slash + 1)) + "." + base + ".XXXXXX";

    const int fd = calls.mkstemp(temporary.data());
    if (fd < 0) {
        return false;
    }
    bool ok = true;
    if (old.state == FileState::read) {
        // Ownership only changes hands when running as another user (root);
        // failing that, the file still gets its old permission bits.
        if (::fchown(fd, old.owner, old.group) != 0) {
            // Not permitted to a plain user: the new file is then ours.
        }
        ok = ::fchmod(fd, old.mode) == 0;
    } else {
        ok = ::fchmod(fd, 0666 & ~process_umask()) == 0;
    }
    ok = ok && write_all(calls, fd, contents) && calls.fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    ok = ok && calls.rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(temporary.c_str());
        return false;
    }
    sync_directory(directory);
    return true;
}

}  // namespace profile
