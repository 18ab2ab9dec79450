#include "settings/profile_file.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>
#include <vector>

#include "files/regular_file.h"
#include "text/cp1252.h"

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

// A name as names are compared: ASCII letters in lower case.
std::string folded(std::string_view name)
{
    std::string fold(name);
    std::transform(fold.begin(), fold.end(), fold.begin(), ascii_lower);
    return fold;
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

// The lines of the contents, one at a time, after any byte-order mark. A line
// ends at LF, at CR LF, or at a CR that no LF follows.
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
        // The next LF is kept until passed, so that a file of lone CRs is not
        // searched to its end for each of its lines.
        if (line_feed_ == std::string_view::npos || line_feed_ < position_) {
            const void* lf = std::memchr(contents_.data() + position_, '\n', contents_.size() - position_);
            line_feed_ = lf == nullptr ? contents_.size() : offset_of(lf);
        }
        const void* cr = std::memchr(contents_.data() + position_, '\r', line_feed_ - position_);
        line.begin = position_;
        if (cr == nullptr) {
            line.end = line_feed_;
            line.next = std::min(line_feed_ + 1, contents_.size());
        } else {
            line.end = offset_of(cr);
            line.next = line.end + 1 == line_feed_ && line_feed_ < contents_.size() ? line.end + 2 : line.end + 1;
        }
        position_ = line.next;
        return true;
    }

    std::string_view text(const Line& line) const { return contents_.substr(line.begin, line.end - line.begin); }

private:
    std::size_t offset_of(const void* found) const
    {
        return static_cast<std::size_t>(static_cast<const char*>(found) - contents_.data());
    }

    std::string_view contents_;
    std::size_t position_;
    std::size_t line_feed_ = std::string_view::npos;  // the next LF at or after position_, or the size
};

// A part of a line of the file (its key or value) as UTF-8.
std::string decoded(std::string_view line_text, std::string_view part)
{
    return text::line_is_utf8(line_text) ? std::string(part) : text::cp1252_to_utf8(part);
}

// A name read from a line, as names are compared. The line's encoding is only
// worked out when the name is not plain ASCII.
std::string folded_name(std::string_view line_text, std::string_view stored)
{
    return folded(text::is_ascii(stored) ? std::string(stored) : decoded(line_text, stored));
}

// A stored value as a read gives it back: cut to max_bytes bytes of the file,
// on a line saved as UTF-8 at the start of a character.
std::string read_back(std::string_view line_text, std::string_view value, std::size_t max_bytes)
{
    if (text::line_is_utf8(line_text)) {
        return std::string(value.substr(0, text::utf8_prefix_length(value, max_bytes)));
    }
    return text::cp1252_to_utf8(value.substr(0, max_bytes));
}

// The line ending of the first line that has one; CR LF when none has.
std::string_view line_ending_of(std::string_view contents)
{
    const std::size_t end = contents.find_first_of("\r\n");
    if (end == std::string_view::npos) {
        return "\r\n";
    }
    if (contents[end] == '\n') {
        return "\n";
    }
    return end + 1 < contents.size() && contents[end + 1] == '\n' ? "\r\n" : "\r";
}

// Text of a name or value as it may stand on one line: CR and LF as spaces.
std::string one_line(std::string_view utf8)
{
    std::string line(utf8);
    std::replace_if(line.begin(), line.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return line;
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

// --- Document ------------------------------------------------------------------

// Where the keys of one section are, and where a missing key would go.
struct Document::Section {
    std::string name;            // folded
    bool found = false;
    Line insert_after;           // last entry line of the first section of that name (or its header)
    std::unordered_map<std::string, Line> entries;  // folded key: the first line holding it
};

Document::Document(std::string contents) : contents_(std::move(contents)) {}
Document::Document(Document&&) noexcept = default;
Document& Document::operator=(Document&&) noexcept = default;
Document::~Document() = default;

const Document::Section& Document::section(std::string_view name) const
{
    const std::string wanted = folded(name);
    for (const auto& known : sections_) {
        if (known->name == wanted) {
            return *known;
        }
    }
    auto section = std::make_unique<Section>();
    section->name = wanted;
    LineReader reader(contents_);
    Line line;
    bool in_section = false;
    bool in_first_section = false;
    while (reader.next(line)) {
        const std::string_view line_text = reader.text(line);
        // Most lines of a large file belong to other sections: their first
        // character tells enough.
        const std::size_t first = line_text.find_first_not_of(" \t");
        if (first == std::string_view::npos || (!in_section && line_text[first] != '[')) {
            continue;
        }
        const Parsed parsed = parse(line_text);
        if (parsed.kind == LineKind::header) {
            in_section = folded_name(line_text, parsed.name) == wanted;
            in_first_section = in_section && !section->found;
            if (in_first_section) {
                section->found = true;
                section->insert_after = line;
            }
        } else if (parsed.kind == LineKind::entry && in_section) {
            if (in_first_section) {
                section->insert_after = line;
            }
            section->entries.try_emplace(folded_name(line_text, parsed.name), line);
        }
    }
    sections_.push_back(std::move(section));
    return *sections_.back();
}

std::optional<std::string> Document::find(std::string_view section_name, std::string_view key,
                                          std::size_t max_bytes) const
{
    const Section& found = section(section_name);
    const auto entry = found.entries.find(folded(key));
    if (entry == found.entries.end()) {
        return std::nullopt;
    }
    const Line& line = entry->second;
    const std::string_view line_text = std::string_view(contents_).substr(line.begin, line.end - line.begin);
    return read_back(line_text, parse(line_text).value, max_bytes);
}

std::string Document::with_values(std::span<const Entry> entries, std::size_t read_limit) const
{
    // Each key once, in the order first given, with the last value given.
    struct Planned {
        const Section* section;
        std::string_view section_name;
        std::string_view key;
        std::string text;
    };
    std::vector<Planned> planned;
    std::unordered_map<std::string, std::size_t> planned_at;
    for (const Entry& entry : entries) {
        const Section& found = section(entry.section);
        // A section name holds no "]": the first one ends it.
        const auto [at, added] = planned_at.try_emplace(found.name + "]" + folded(entry.key), planned.size());
        if (added) {
            planned.push_back({&found, entry.section, entry.key, {}});
        }
        planned[at->second].text = one_line(entry.value);
    }

    // The changes as byte ranges of the contents to replace, in file order:
    // a changed line; the keys added at the end of their section; at the end
    // of the file, the new sections and their keys.
    struct Edit {
        std::size_t begin, end;
        int order;  // among edits at one place: changed lines, added keys, new sections
        std::string text;
    };
    std::vector<Edit> edits;
    const std::string_view eol = line_ending_of(contents_);
    std::unordered_map<const Section*, std::size_t> insertion_of;  // the edit adding keys to a section
    const std::string_view contents(contents_);
    for (const Planned& item : planned) {
        const auto existing = item.section->entries.find(folded(item.key));
        if (existing != item.section->entries.end()) {
            const Line& line = existing->second;
            const std::string_view line_text = contents.substr(line.begin, line.end - line.begin);
            const Parsed parsed = parse(line_text);
            // Texts are compared, not bytes: a line saved in UTF-8 by an
            // editor stays as it is while its text does not change.
            const bool cut_by_reads = parsed.value.size() > read_limit;
            if (decoded(line_text, parsed.value) == item.text ||
                (cut_by_reads && trim(read_back(line_text, parsed.value, read_limit)) == item.text)) {
                continue;
            }
            // The key keeps the spelling the file gives it.
            std::string changed = decoded(line_text, parsed.name);
            changed += '=';
            changed += item.text;
            edits.push_back({line.begin, line.end, 0, text::encode_line(changed)});
            continue;
        }
        if (!insertion_of.contains(item.section)) {
            if (item.section->found) {
                const std::size_t at = item.section->insert_after.next;
                edits.push_back({at, at, 1, {}});
            } else {
                std::string header = "[";
                header += one_line(item.section_name);
                header += ']';
                edits.push_back({contents.size(), contents.size(), 2, text::encode_line(header).append(eol)});
            }
            insertion_of[item.section] = edits.size() - 1;
        }
        std::string line = one_line(item.key);
        line += '=';
        line += item.text;
        edits[insertion_of.at(item.section)].text.append(text::encode_line(line)).append(eol);
    }
    if (edits.empty()) {
        return contents_;
    }
    std::stable_sort(edits.begin(), edits.end(), [](const Edit& a, const Edit& b) {
        return a.begin != b.begin ? a.begin < b.begin : a.order < b.order;
    });

    std::size_t added = 0;
    for (const Edit& edit : edits) {
        added += edit.text.size() + 2;
    }
    std::string result;
    result.reserve(contents.size() + added);
    const std::size_t bom_size = contents.starts_with(utf8_bom) ? utf8_bom.size() : 0;
    std::size_t copied = 0;
    bool ended_last_line = false;
    for (const Edit& edit : edits) {
        result.append(contents.substr(copied, edit.begin - copied));
        // A last line without a line ending gets one before anything follows
        // it; after a lone CR, a file of CR LF lines gets the LF.
        if (edit.order > 0 && edit.begin == contents.size() && edit.begin > bom_size && !ended_last_line) {
            ended_last_line = true;
            const char last = contents.back();
            if (last == '\r') {
                result.append(eol == "\r\n" ? "\n" : "");
            } else if (last != '\n') {
                result.append(eol);
            }
        }
        result.append(edit.text);
        // Lines added with a lone CR before a line that starts with an LF (a
        // file of mixed line ends) would take that LF as the end of their
        // last line: it gets one of its own.
        if (edit.order > 0 && edit.text.ends_with('\r') && edit.end < contents.size() && contents[edit.end] == '\n') {
            result += '\n';
        }
        copied = edit.end;
    }
    result.append(contents.substr(copied));
    return result;
}

FileContents read_file(const std::string& path)
{
    FileContents file;
    const auto fail = [&file](int error) {
        file.error = error;
        file.state = error == ENOENT || error == ENOTDIR ? FileState::missing : FileState::unreadable;
        file.bytes.clear();
        file.bytes.shrink_to_fit();
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
    // Read straight into room for the whole file, plus a byte to see its end
    // without growing; a file that grew since the look doubles the room.
    std::size_t got_so_far = 0;
    file.bytes.resize(static_cast<std::size_t>(info.st_size) + 1);
    for (;;) {
        if (got_so_far == file.bytes.size()) {
            file.bytes.resize(2 * file.bytes.size());
        }
        const ssize_t got = ::read(fd, file.bytes.data() + got_so_far, file.bytes.size() - got_so_far);
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
        got_so_far += static_cast<std::size_t>(got);
    }
    file.bytes.resize(got_so_far);
    ::close(fd);
    return file;
}

std::string get_string(std::string_view section, std::string_view key, std::string_view default_value,
                       const std::string& path)
{
    FileContents file = read_file(path);
    if (file.state == FileState::read) {
        if (auto value = Document(std::move(file.bytes)).find(section, key, read_limit)) {
            return std::move(*value);
        }
    }
    return std::string(default_value);
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

FileCalls FileCalls::posix() { return FileCalls{files::WriteCalls::posix(), Credentials::of_process}; }

WriteResult write_strings(const std::string& path, std::span<const Entry> entries, const FileCalls& calls)
{
    WriteResult result;
    const auto failed = [&result](std::string reason) {
        result.status = WriteStatus::failed;
        result.reason = std::move(reason);
        return result;
    };

    const std::optional<files::LinkEnd> target = files::link_target(path);
    if (!target) {
        result.file = path;
        return failed(files::Failure{"following its links", errno}.reason());
    }
    const std::string& file = target->path;
    result.file = file;
    FileContents old = read_file(file);
    if (old.state == FileState::unreadable) {
        return failed(files::error_text(old.error));  // overwriting what could not be read would lose it
    }
    const Document document(std::move(old.bytes));
    const std::string contents = document.with_values(entries, read_limit);
    const bool unchanged = old.state == FileState::read && contents == document.contents();
    if (!unchanged && old.state == FileState::read && !mode_lets_write(old, calls.credentials())) {
        result.status = WriteStatus::read_only;
        return result;
    }
    files::remove_dead_temporaries(file);
    if (unchanged) {
        result.status = WriteStatus::unchanged;
        return result;
    }
    if (old.state == FileState::missing && files::creation_refusal(file) == files::not_created_under_dev) {
        return failed(files::error_text(files::not_created_under_dev));
    }

    files::Replacement replacement(calls);
    std::optional<files::Ownership> ownership;
    if (old.state == FileState::read) {
        ownership = files::Ownership{old.mode, old.owner, old.group};
    }
    if (!replacement.begin(file, ownership)) {
        const files::Failure& refused = replacement.failure();
        if (old.state != FileState::read || (refused.error != EACCES && refused.error != EPERM)) {
            return failed(refused.reason());
        }
        // A folder that refuses a temporary, around a file that may be
        // written: the file is rewritten where it is, as the profile service
        // would, and the caller is told it was not atomic.
        files::Failure failure;
        if (!files::rewrite_in_place(file, document.contents(), contents, calls, failure)) {
            return failed(failure.reason());
        }
        result.status = WriteStatus::written_in_place;
        result.reason = refused.reason();
        return result;
    }
    if (!replacement.write(contents) || !replacement.commit()) {
        return failed(replacement.failure().reason());
    }
    result.status = WriteStatus::written;
    return result;
}

}  // namespace profile
