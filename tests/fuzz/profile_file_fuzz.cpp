// libFuzzer target for the settings file: the input bytes become the whole
// settings file, which is then read and written through the calls the window
// uses. Beyond the sanitizers, every result is checked against a small,
// separate reading of the file's lines, and every write against the file as
// it was: only the written key's line may change, or one line (two for a new
// section, at the end) may be added. A violated rule aborts.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <optional>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "settings/cp1252.h"
#include "settings/ini.h"
#include "settings/profile_file.h"

namespace {

// Bytes of the file a value read may keep: the callers' 128-byte buffer,
// less the terminator.
constexpr std::size_t value_limit = profile::default_buffer_size - 1;
constexpr std::string_view utf8_bom = "\xEF\xBB\xBF";

[[noreturn]] void violated(const char* rule, int line)
{
    std::fprintf(stderr, "profile_file_fuzz.cpp:%d: rule broken: %s\n", line, rule);
    std::abort();
}

#define REQUIRE(condition)                    \
    do {                                      \
        if (!(condition)) {                   \
            violated(#condition, __LINE__);   \
        }                                     \
    } while (false)

// --- The private directory, made once per process ------------------------------

class Workspace {
public:
    Workspace()
    {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/quelvane-fuzz-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        directory_ = pattern;
        ini::set_ini_dir(directory_);
        // A file that cannot be read is reported through here; nothing to show.
        ini::set_message_box([](const std::string&, const std::string&) {});
        path_ = ini::settings_path();
    }
    ~Workspace()
    {
        for (const std::string& name : entries()) {
            ::unlink((directory_ + "/" + name).c_str());
        }
        ::rmdir(directory_.c_str());
    }
    Workspace(const Workspace&) = delete;
    Workspace& operator=(const Workspace&) = delete;

    const std::string& path() const { return path_; }

    std::vector<std::string> entries() const
    {
        std::vector<std::string> names;
        if (DIR* dir = ::opendir(directory_.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                if (name != "." && name != "..") {
                    names.push_back(name);
                }
            }
            ::closedir(dir);
        }
        return names;
    }

private:
    std::string directory_;
    std::string path_;
};

Workspace& workspace()
{
    static Workspace instance;
    return instance;
}

void put_file(const std::string& path, std::string_view bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    REQUIRE(fd >= 0);
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        REQUIRE(n > 0);
        done += static_cast<std::size_t>(n);
    }
    REQUIRE(::close(fd) == 0);
}

std::string get_file(const std::string& path)
{
    std::string bytes;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    REQUIRE(fd >= 0);
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        REQUIRE(n >= 0);
        if (n == 0) {
            break;
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return bytes;
}

// --- The file's lines, read independently of the service ----------------------

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string_view trim(std::string_view s)
{
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

std::string lower_ascii(std::string s)
{
    for (char& c : s) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return s;
}

// A line split off at LF: its text, and its ending ("\n", "\r\n", or for an
// unterminated last line "" or a lone "\r").
struct Segment {
    std::string_view text;
    std::string_view ending;
    bool operator==(const Segment&) const = default;
};

std::vector<Segment> segments(std::string_view body)
{
    std::vector<Segment> lines;
    std::size_t at = 0;
    while (at < body.size()) {
        const std::size_t lf = body.find('\n', at);
        const std::size_t stop = lf == std::string_view::npos ? body.size() : lf + 1;
        std::size_t end = lf == std::string_view::npos ? body.size() : lf;
        if (end > at && body[end - 1] == '\r') {
            --end;
        }
        lines.push_back({body.substr(at, end - at), body.substr(end, stop - end)});
        at = stop;
    }
    return lines;
}

std::string_view without_bom(std::string_view contents)
{
    return contents.starts_with(utf8_bom) ? contents.substr(utf8_bom.size()) : contents;
}

enum class Kind { other, header, entry };

struct Parsed {
    Kind kind = Kind::other;
    std::string_view name;   // section or key, raw bytes
    std::string_view value;  // raw bytes, blanks removed
};

Parsed parse(std::string_view text)
{
    const std::string_view body = trim(text);
    if (body.empty() || body.front() == ';') {
        return {};
    }
    if (body.front() == '[') {
        const std::size_t close = body.find(']');
        return close == std::string_view::npos ? Parsed{} : Parsed{Kind::header, trim(body.substr(1, close - 1)), {}};
    }
    const std::size_t equals = body.find('=');
    if (equals == std::string_view::npos || trim(body.substr(0, equals)).empty()) {
        return {};
    }
    return {Kind::entry, trim(body.substr(0, equals)), trim(body.substr(equals + 1))};
}

// A name on a line, as the UTF-8 text the line's encoding makes of it,
// compared without regard to ASCII letter case.
bool names_match(std::string_view line, std::string_view stored, std::string_view wanted)
{
    const std::string decoded = text::line_is_utf8(line) ? std::string(stored) : text::cp1252_to_utf8(stored);
    return lower_ascii(decoded) == lower_ascii(std::string(wanted));
}

// Index of the line holding key in section: the first such line of any
// section of that name. nullopt when there is none.
std::optional<std::size_t> entry_index(const std::vector<Segment>& lines, std::string_view section,
                                       std::string_view key)
{
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Parsed parsed = parse(lines[i].text);
        if (parsed.kind == Kind::header) {
            inside = names_match(lines[i].text, parsed.name, section);
        } else if (parsed.kind == Kind::entry && inside && names_match(lines[i].text, parsed.name, key)) {
            return i;
        }
    }
    return std::nullopt;
}

bool has_section(const std::vector<Segment>& lines, std::string_view section)
{
    for (const Segment& line : lines) {
        const Parsed parsed = parse(line.text);
        if (parsed.kind == Kind::header && names_match(line.text, parsed.name, section)) {
            return true;
        }
    }
    return false;
}

// The value the file gives key in section, cut to limit bytes of the file, as
// UTF-8; nullopt when absent.
std::optional<std::string> expected_value(std::string_view contents, std::string_view section, std::string_view key,
                                          std::size_t limit)
{
    const std::vector<Segment> lines = segments(without_bom(contents));
    const auto index = entry_index(lines, section, key);
    if (!index) {
        return std::nullopt;
    }
    const std::string_view line = lines[*index].text;
    const std::string_view value = parse(line).value;
    if (text::line_is_utf8(line)) {
        return std::string(value.substr(0, text::utf8_prefix_length(value, limit)));
    }
    return text::cp1252_to_utf8(value.substr(0, limit));
}

// --- Checks ------------------------------------------------------------------

void check_read(std::string_view contents, std::string_view section, const std::string& key)
{
    const auto expected = expected_value(contents, section, key, value_limit);
    const auto whole = profile::find_value(contents, section, key, contents.size() + 1);
    const auto cut = profile::find_value(contents, section, key, value_limit);
    REQUIRE(cut.has_value() == expected.has_value());
    REQUIRE(whole.has_value() == expected.has_value());
    if (!cut) {
        return;
    }
    REQUIRE(*cut == *expected);
    REQUIRE(text::is_valid_utf8(*cut));
    // At most 127 bytes of the file: re-encoding gives back the file's bytes
    // for a Windows-1252 line and never lengthens a UTF-8 one.
    REQUIRE(text::utf8_to_cp1252(*cut).size() <= value_limit);
    REQUIRE(whole->starts_with(*cut));
    // A value that fits is not cut: its file bytes are never more than its
    // UTF-8 bytes.
    REQUIRE(whole->size() > value_limit || *cut == *whole);
}

// Reading through the settings module gives the service's value with the
// blanks around it removed, or the default.
void check_ini_read(std::string_view contents, const std::string& key)
{
    const std::string fallback = "\x01 default";
    const std::string read = ini::read_ini(key, fallback);
    const auto expected = expected_value(contents, ini::settings_section, key, value_limit);
    REQUIRE(read == std::string(trim(expected ? *expected : fallback)));
}

// What a value becomes in the file: Windows-1252, with CR and LF as blanks.
std::string stored_bytes(std::string_view utf8)
{
    std::string bytes = text::utf8_to_cp1252(utf8);
    for (char& c : bytes) {
        if (c == '\r' || c == '\n') c = ' ';
    }
    return bytes;
}

std::string_view line_ending_of(std::string_view contents)
{
    const std::size_t lf = contents.find('\n');
    return lf != std::string_view::npos && (lf == 0 || contents[lf - 1] != '\r') ? "\n" : "\r\n";
}

// Where a new key of section goes: after the last entry of the first section
// of that name (its header when it has none), so before any blank or comment
// lines that end it.
std::size_t insertion_index(const std::vector<Segment>& lines, std::string_view section)
{
    std::size_t after = lines.size();
    bool inside = false;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const Parsed parsed = parse(lines[i].text);
        if (parsed.kind == Kind::header) {
            if (inside) {
                break;
            }
            if (names_match(lines[i].text, parsed.name, section)) {
                inside = true;
                after = i + 1;
            }
        } else if (parsed.kind == Kind::entry && inside) {
            after = i + 1;
        }
    }
    return after;
}

// The nearest header above line index names section.
bool within_section(const std::vector<Segment>& lines, std::size_t index, std::string_view section)
{
    for (std::size_t i = index; i-- > 0;) {
        const Parsed parsed = parse(lines[i].text);
        if (parsed.kind == Kind::header) {
            return names_match(lines[i].text, parsed.name, section);
        }
    }
    return false;
}

void check_write(std::string_view before, std::string_view after, std::string_view section, const std::string& key,
                 const std::string& value)
{
    REQUIRE(before.starts_with(utf8_bom) == after.starts_with(utf8_bom));
    const std::vector<Segment> old_lines = segments(without_bom(before));
    const std::vector<Segment> new_lines = segments(without_bom(after));
    const std::string encoded = stored_bytes(value);
    const std::string_view eol = line_ending_of(before);
    const auto old_entry = entry_index(old_lines, section, key);

    if (old_entry) {
        // Rewritten in place: the same lines, one text changed, endings kept.
        REQUIRE(new_lines.size() == old_lines.size());
        for (std::size_t i = 0; i < old_lines.size(); ++i) {
            if (i != *old_entry) {
                REQUIRE(new_lines[i] == old_lines[i]);
            }
        }
        const Segment& old_line = old_lines[*old_entry];
        const Segment& new_line = new_lines[*old_entry];
        REQUIRE(new_line.ending == old_line.ending);
        const std::string_view stored_key = parse(old_line.text).name;
        const std::string key_bytes =
            text::line_is_utf8(old_line.text) ? text::utf8_to_cp1252(stored_key) : std::string(stored_key);
        REQUIRE(new_line.text == key_bytes + "=" + encoded);
        return;
    }

    // Added: the old lines stay whole around the new ones. An unterminated
    // last line gains an ending when lines are added after it.
    const bool new_section = !has_section(old_lines, section);
    const std::size_t added = new_section ? 2 : 1;
    REQUIRE(new_lines.size() == old_lines.size() + added);
    std::size_t at = 0;
    while (at < old_lines.size() && new_lines[at] == old_lines[at]) ++at;
    if (at + 1 == old_lines.size() && old_lines[at].ending.find('\n') == std::string_view::npos &&
        new_lines[at].text == old_lines[at].text) {
        REQUIRE(new_lines[at].ending == (old_lines[at].ending == "\r" ? std::string_view("\r\n") : eol));
        ++at;
        REQUIRE(at == old_lines.size());
    }
    for (std::size_t i = at; i < old_lines.size(); ++i) {
        REQUIRE(new_lines[i + added] == old_lines[i]);
    }
    const std::string entry = stored_bytes(key) + "=" + encoded;
    if (new_section) {
        REQUIRE(at == old_lines.size());
        REQUIRE(new_lines[at].text == "[" + stored_bytes(section) + "]");
        REQUIRE(new_lines[at].ending == eol);
        REQUIRE(new_lines[at + 1].text == entry);
        REQUIRE(new_lines[at + 1].ending == eol);
    } else {
        REQUIRE(new_lines[at].text == entry);
        REQUIRE(new_lines[at].ending == eol);
        REQUIRE(within_section(new_lines, at, section));
        REQUIRE(at == insertion_index(old_lines, section));
    }
}

// After a write the key reads back as the value, cut and trimmed as any
// stored value is; nothing but the settings file is left in the directory.
void check_read_back(std::string_view after, std::string_view section, const std::string& key,
                     const std::string& value)
{
    const profile::Lookup lookup = profile::get_string(section, key, "", workspace().path());
    REQUIRE(lookup.found);
    const std::string encoded = stored_bytes(value);
    const std::string line = stored_bytes(key) + "=" + encoded;
    const std::string_view stored = trim(encoded);
    const std::string expected = text::line_is_utf8(line)
                                     ? std::string(stored.substr(0, text::utf8_prefix_length(stored, value_limit)))
                                     : text::cp1252_to_utf8(stored.substr(0, value_limit));
    // Only the key's spelling can differ from the line built here, and only in
    // ASCII letter case, which does not change how the line decodes.
    REQUIRE(lookup.value == expected);
    REQUIRE(expected_value(after, section, key, value_limit) == expected);
    const std::vector<std::string> names = workspace().entries();
    REQUIRE(names.size() == 1 && names[0] == "Quelvane.INI");
}

// --- Names and values taken from the input --------------------------------------

// A name the service can store and find again: letters, digits, ". _ -",
// inner blanks, and "é" never next to another non-ASCII character (so that
// the Windows-1252 line never reads as UTF-8).
std::string safe_name(std::string_view raw)
{
    static constexpr std::string_view alphabet = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._- ";
    std::string name;
    bool last_was_accent = false;
    for (unsigned char c : raw.substr(0, 40)) {
        if (c >= 0xF0 && !last_was_accent) {
            name += "\xC3\xA9";
            last_was_accent = true;
            continue;
        }
        name += alphabet[c % alphabet.size()];
        last_was_accent = false;
    }
    const std::string trimmed(trim(name));
    return trimmed.empty() ? std::string("Key") : trimmed;
}

// The first key, or header, of the input when it is already a safe name, so
// that writes often meet the file's own lines.
std::string name_from_lines(std::string_view contents, Kind kind)
{
    for (const Segment& line : segments(without_bom(contents))) {
        const Parsed parsed = parse(line.text);
        if (parsed.kind == kind && safe_name(parsed.name) == parsed.name) {
            return std::string(parsed.name);
        }
    }
    return {};
}

std::string_view slice(std::string_view data, std::size_t start_byte, std::size_t length_byte)
{
    if (data.empty()) {
        return {};
    }
    const std::size_t start = start_byte % data.size();
    return data.substr(start, length_byte % 200);
}

unsigned byte_at(std::string_view data, std::size_t i) { return i < data.size() ? static_cast<unsigned char>(data[i]) : 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size)
{
    const std::string_view data(reinterpret_cast<const char*>(bytes), size);
    const std::string& path = workspace().path();
    put_file(path, data);

    // Reads: the signature, a caption, a key that is not there, and the
    // service's calls on the same bytes in memory.
    for (const std::string key : {"FileId", "frm_quelvaner.Label1.caption", "frm_quelvaner.absent.value"}) {
        check_ini_read(data, key);
        check_read(data, ini::settings_section, key);
    }
    const std::string first_key = name_from_lines(data, Kind::entry);
    if (!first_key.empty()) {
        check_read(data, ini::settings_section, first_key);
        check_ini_read(data, first_key);
    }

    // First write: the signature, with a value taken from the input.
    const std::string signature_value(slice(data, byte_at(data, 0), byte_at(data, 1)));
    ini::write_ini("FileId", signature_value);
    const std::string after_signature = get_file(path);
    check_write(data, after_signature, ini::settings_section, "FileId", signature_value);
    check_read_back(after_signature, ini::settings_section, "FileId", signature_value);

    // Second write: a section and key found in the input or made from it.
    const unsigned choice = byte_at(data, 2);
    std::string section = (choice & 3) == 0   ? std::string(ini::ports_section)
                          : (choice & 3) == 1 ? name_from_lines(data, Kind::header)
                          : (choice & 3) == 2 ? safe_name(slice(data, byte_at(data, 3), byte_at(data, 4)))
                                              : std::string(ini::settings_section);
    if (section.empty()) {
        section = ini::settings_section;
    }
    std::string key = (choice & 4) != 0 ? first_key : safe_name(slice(data, byte_at(data, 5), byte_at(data, 6)));
    if (key.empty()) {
        key = "frm_quelvaner.Label1.caption";
    }
    const std::string value(slice(data, byte_at(data, 7), byte_at(data, 8)));
    REQUIRE(profile::write_string(section, key, value, path));
    const std::string after_key = get_file(path);
    check_write(after_signature, after_key, section, key, value);
    check_read_back(after_key, section, key, value);
    return 0;
}
