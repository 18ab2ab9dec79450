// Keyed settings in a text file of "[section]" headers and "key=value" lines,
// read and written one key at a time the way the Windows private-profile
// calls do, so that files written by hand or by older versions keep working.
//
// Reading: section and key names match without regard to ASCII letter case;
// blanks (spaces, tabs) around names and values are ignored; comment lines
// (";" first), lines that are neither a header nor key=value, and key=value
// lines before the first header are passed over. In a section that appears
// more than once, the first matching key of the first section holding it
// counts. A UTF-8 byte-order mark at the start is ignored; lines end in LF or
// CR LF. Each line is decoded on its own (text::line_is_utf8), so files saved
// as UTF-8 or as Windows-1252 both read.
//
// Writing: values are stored as Windows-1252, unquoted, as "key=value". An
// existing key is rewritten in place; a missing key goes after the last
// key=value line of its section (before trailing blank lines and comments);
// a missing section goes at the end of the file. Every other byte of the file
// stays as it was, and the file keeps the line ending of its first line (CR LF
// for a new file). CR and LF in a name or value become spaces: a value can
// never add lines. Names must not contain "=" (keys) or "]" (sections).
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace profile {

// Size of the caller's buffer in the Windows calls, terminator included: a
// value read is cut to one character less.
inline constexpr std::size_t default_buffer_size = 128;

// --- On file contents in memory ----------------------------------------------

// The value (UTF-8) of key in section of the file contents, or nullopt. A value
// is cut to max_bytes bytes of the file: on a line saved as UTF-8 the cut moves
// back to the start of a character.
std::optional<std::string> find_value(std::string_view contents, std::string_view section,
                                      std::string_view key, std::size_t max_bytes);

// The file contents with key in section set to value (both UTF-8).
std::string with_value(std::string_view contents, std::string_view section, std::string_view key,
                       std::string_view value);

// --- On files ----------------------------------------------------------------

enum class FileState {
    read,
    missing,     // no such file (or a missing directory on the path)
    unreadable,  // exists but cannot be read: permission, I/O error, not a regular file
};

struct FileContents {
    FileState state = FileState::missing;
    std::string bytes;
    int error = 0;  // errno when unreadable
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};

// The whole file. Opening never blocks (a FIFO reads as unreadable).
FileContents read_file(const std::string& path);

struct Lookup {
    std::string value;  // the stored value, or the default
    bool found = false;
    FileState file = FileState::missing;
};

// GetPrivateProfileString: the value of key in section of the file at path,
// or default_value (returned unchanged) when the file, section or key is
// missing or the file cannot be read. A stored value is cut to
// buffer_size - 1 bytes as find_value does.
Lookup get_string(std::string_view section, std::string_view key, std::string_view default_value,
                  const std::string& path, std::size_t buffer_size = default_buffer_size);

// The file-system calls of a write, behind a seam so that tests can make them
// fail as a read-only directory or a full disk would. Each returns -1 and sets
// errno on failure, as the POSIX call does.
struct FileCalls {
    std::function<int(char* path_template)> mkstemp;
    std::function<ssize_t(int fd, const void* data, std::size_t size)> write;
    std::function<int(int fd)> fsync;
    std::function<int(const char* from, const char* to)> rename;

    static FileCalls posix();
};

// WritePrivateProfileString: sets key in section of the file at path, creating
// the file if needed. The new contents go to a temporary file in the same
// directory (same permission bits as the old file), synced, then renamed over
// the old one, so that the file is always either wholly old or wholly new.
// Returns false when the write could not be made: the file is then unchanged
// and no temporary file is left. A file that exists but cannot be read is not
// overwritten.
bool write_string(std::string_view section, std::string_view key, std::string_view value,
                  const std::string& path, const FileCalls& calls = FileCalls::posix());

}  // namespace profile
