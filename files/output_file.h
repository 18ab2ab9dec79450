// Writing a file that a user names, whole. A regular file is replaced at
// once: a temporary file beside it, synced, renamed over it, so that a crash
// leaves the old file or the new one, never a mix. Whatever else is there (a
// device such as /dev/null or a terminal, a FIFO) is written as it is, and
// never replaced. Nothing is ever created among the device nodes of /dev,
// where a made-up name would pass for a device.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

#include "files/regular_file.h"

namespace files {

// The system calls of a write, behind a seam so that tests can make them fail
// as a read-only folder or a full disk would, or count them. Each returns -1
// and sets errno on failure, as the POSIX call does. fsync serves the file
// and then its folder.
struct WriteCalls {
    std::function<int(char* path_template)> mkstemp;
    std::function<ssize_t(int fd, const void* data, std::size_t size)> write;
    std::function<int(int fd)> fsync;
    std::function<int(const char* from, const char* to)> rename;

    static WriteCalls posix();
};

// Writes data to fd, again after a signal interrupted a write. Returns how
// many bytes were written: all of them, or fewer when a write failed (errno
// set by it) or wrote nothing.
std::size_t write_all(int fd, std::string_view data);
std::size_t write_all(const WriteCalls& calls, int fd, std::string_view data);

// Where a write to a path lands: the path itself, or the end of its chain of
// symbolic links, which need not exist (a dangling link). A relative link is
// taken from the folder that holds it. A link under /proc (/dev/stdout leads
// to one) stands for a file already open, not for a name: the chain stops
// there, with through_proc set.
struct LinkEnd {
    std::string path;
    bool through_proc = false;
};
// nullopt with errno set when the chain does not end (ELOOP) or cannot be
// followed.
std::optional<LinkEnd> link_target(std::string path);

// Whether a file may be made at path, where nothing is (path is the end of
// any links): 0, not_created_under_dev when its folder is /dev or below it
// (also through links) on the file system of the device nodes (a file system
// mounted there for files, such as /dev/shm, is as any other), else the errno
// of finding that folder.
int creation_refusal(const std::string& path);

// What a failed write was doing, and why it failed.
struct Failure {
    std::string step;  // "writing", "replacing it"...; empty when the path itself was refused
    int error = 0;     // errno, or not_a_regular_file / not_created_under_dev
    // "step: the reason in words", or only the reason.
    std::string reason() const;
};

// Removes the temporaries that replacements of file left when they were
// killed half-way, and only those: a live replacement keeps its temporary
// locked from creation to rename. Anything that cannot be looked at is left.
void remove_dead_temporaries(const std::string& file);

// The mode bits and owner a replacement keeps.
struct Ownership {
    mode_t mode = 0;
    uid_t owner = 0;
    gid_t group = 0;
};

// A regular file replaced whole. Until commit the file is untouched; a
// replacement destroyed before then removes its temporary.
class Replacement {
public:
    explicit Replacement(const WriteCalls& calls);
    ~Replacement();
    Replacement(const Replacement&) = delete;
    Replacement& operator=(const Replacement&) = delete;

    // Starts replacing file (the end of any links: a regular file, or
    // nothing yet): a new temporary beside it, locked, with the mode bits of
    // `existing` and, when the system allows, its owner; for a new file 0666
    // less the process's umask.
    bool begin(const std::string& file, const std::optional<Ownership>& existing);
    bool write(std::string_view bytes);
    // Syncs the temporary, renames it over the file and syncs the folder.
    bool commit();
    const Failure& failure() const { return failure_; }

private:
    bool fail(const char* step);
    void abandon();

    WriteCalls calls_;
    std::string file_;
    std::string temporary_;
    int fd_ = -1;
    Failure failure_;
};

// Writes contents over the regular file `file` in place: from the first byte
// where it differs from `old` (what the file holds now), then cuts the file to
// the new length and syncs it. Not atomic: for when no temporary can be made
// beside the file. Returns false with failure set.
bool rewrite_in_place(const std::string& file, std::string_view old, std::string_view contents,
                      const WriteCalls& calls, Failure& failure);

// An output that a user names, written whole.
class Output {
public:
    explicit Output(const WriteCalls& calls = WriteCalls::posix());
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    // Opens what path leads to, through any symbolic links:
    //  - something that exists and is not a regular file (a character
    //    device, a FIFO, a terminal, /dev/stdout): opened as it is, for
    //    appending, and written as a stream;
    //  - a regular file, or nothing: replaced whole, beside the end of the
    //    links, the links kept; nothing is made under /dev;
    //  - a directory: refused (EISDIR).
    bool open(const std::string& path);
    // The standard output, as it is, written as a stream.
    void open_standard_output();
    bool write(std::string_view bytes);
    // Puts the output in place (a regular file) or closes it (a stream).
    bool finish();
    const Failure& failure() const;

private:
    bool fail(const char* step, int error);

    std::optional<Replacement> replacement_;
    int stream_ = -1;
    bool owned_ = false;  // the stream was opened here and is closed here
    Failure failure_;
    WriteCalls calls_;
};

}  // namespace files
