// Keyed settings in a text file of "[section]" headers and "key=value" lines,
// read and written the way the Windows private-profile calls do, so that
// files written by hand or by older versions keep working. The file is read
// once for any number of keys, and written once for any number of them.
//
// Reading: section and key names match without regard to ASCII letter case;
// blanks (spaces, tabs) around names and values are ignored; comment lines
// (";" first), lines that are neither a header nor key=value, and key=value
// lines before the first header are passed over. In a section that appears
// more than once, the first matching key of the first section holding it
// counts. A UTF-8 byte-order mark at the start is ignored; lines end in LF,
// CR LF or a lone CR (old Mac editors). Each line is decoded on its own
// (text::line_is_utf8), so files saved as UTF-8 or as Windows-1252 both read.
//
// Writing: values are stored unquoted, as "key=value". An existing key whose
// stored text already equals the value is left alone, whatever the line's
// encoding; so is a stored value longer than a read gives back whose cut
// reads as the value: what a read could not see, a write does not take away.
// Otherwise the key's line is rewritten in place. A missing key goes after
// the last key=value line of its section (before trailing blank lines and
// comments); a missing section goes at the end of the file. Every other byte
// of the file stays as it was, and the file keeps the line ending of its
// first line (CR LF for a new file). A line is written in Windows-1252 when
// that holds its text and reads back as it; otherwise (Ω, CJK, emoji...) in
// UTF-8 (text::encode_line). CR and LF in a name or value become spaces: a
// value can never add lines. Names must not contain "=" (keys) or "]"
// (sections).
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

#include "files/output_file.h"

namespace profile {

// Size of the caller's buffer in the Windows calls, terminator included: a
// value read is cut to one character less.
inline constexpr std::size_t default_buffer_size = 128;
// The longest value a read gives back, in bytes.
inline constexpr std::size_t read_limit = default_buffer_size - 1;

// --- On file contents in memory ----------------------------------------------

// One key to set.
struct Entry {
    std::string_view section;
    std::string_view key;
    std::string_view value;
};

// The contents of a file, with the keys of each section asked for found in
// one pass over the contents the first time that section is asked for: a
// load of any number of keys reads a large file once, and keeps only the
// keys of its own sections.
class Document {
public:
    explicit Document(std::string contents = {});
    Document(Document&&) noexcept;
    Document& operator=(Document&&) noexcept;
    ~Document();

    const std::string& contents() const { return contents_; }

    // The value (UTF-8) of key in section, or nullopt. A value is cut to
    // max_bytes bytes of the file: on a line saved as UTF-8 the cut moves
    // back to the start of a character.
    std::optional<std::string> find(std::string_view section, std::string_view key, std::size_t max_bytes) const;

    // The contents with every entry applied in order, as setting them one
    // after the other would leave them (a key set twice ends with its last
    // value), made in one pass. read_limit: the most bytes a read gives back
    // (see the long values above).
    std::string with_values(std::span<const Entry> entries, std::size_t read_limit) const;

private:
    struct Section;
    const Section& section(std::string_view name) const;

    std::string contents_;
    // Built when first asked for; the settings are used from one thread.
    mutable std::vector<std::unique_ptr<Section>> sections_;
};

// --- On files ----------------------------------------------------------------

enum class FileState {
    read,
    missing,     // no such file (or a missing directory on the path, or a dangling link)
    unreadable,  // exists but cannot be read: permission, I/O error, link loop, not a regular file
};

struct FileContents {
    FileState state = FileState::missing;
    std::string bytes;
    int error = 0;  // when unreadable: errno, or files::not_a_regular_file
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};

// The whole file, through any symbolic links, in one read. Only a regular
// file is ever opened: a FIFO or a device there reads as unreadable and is
// never touched.
FileContents read_file(const std::string& path);

// GetPrivateProfileString: the value of key in section of the file at path,
// or default_value (returned unchanged) when the file, section or key is
// missing or the file cannot be read. A stored value is cut to read_limit
// bytes.
std::string get_string(std::string_view section, std::string_view key, std::string_view default_value,
                       const std::string& path);

// Whom a write is made for, as a file's mode bits judge it.
struct Credentials {
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary

    static Credentials of_process();  // effective ids
};

// The file-system calls of a write (files::WriteCalls), and whom it is made
// for, behind a seam so that tests can make them fail as a read-only folder or
// a full disk would, count them, or write as another user.
struct FileCalls : files::WriteCalls {
    std::function<Credentials()> credentials;

    static FileCalls posix();
};

enum class WriteStatus {
    written,
    written_in_place,  // written, but not atomically: reason says why no temporary could be made
    unchanged,         // the file already held every value: nothing written
    read_only,         // changes were due, but the mode bits refuse them: nothing written
    failed,            // nothing written; reason says why
};

struct WriteResult {
    WriteStatus status = WriteStatus::failed;
    std::string file;    // the file replaced, or that would have been: the end of path's links
    std::string reason;  // when failed or written in place: the step and the system's words for it
};

// WritePrivateProfileString for several keys as one change: every entry is
// applied to the file's contents in memory (Document::with_values, cut at
// read_limit bytes), and the result replaces the file at once. A
// symbolic link at path is written through: the file its links end at is
// replaced (created, when dangling, but never under /dev) and the links stay.
// The new contents go to a temporary file beside that file (its permission
// bits and, when allowed, owner), locked while it is written, synced, renamed
// over the file, and the directory synced: after a crash the file is either
// wholly old or wholly new (files::Replacement). Temporaries that earlier
// saves left behind (killed half-way) are removed, those of live saves never.
// When the folder refuses a temporary (EACCES, EPERM) but the file is there
// and writable, the file is rewritten in place instead (written_in_place).
// A file that exists but cannot be read, or whose mode bits refuse the user,
// is never written. On any other failure the file is unchanged and no
// temporary file is left.
WriteResult write_strings(const std::string& path, std::span<const Entry> entries,
                          const FileCalls& calls = FileCalls::posix());

}  // namespace profile
