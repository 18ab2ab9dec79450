// Opening a file that a user named and that may be anything. Only a regular
// file is ever opened: opening a device can have effects of its own (a serial
// port raises its modem lines), and a FIFO could block.
#pragma once

#include <fcntl.h>
#include <string>
#include <sys/stat.h>

namespace files {

// The error for something that is neither a regular file nor a directory (a
// device, a FIFO, a socket): beyond every errno value, which Linux keeps
// below 4096.
inline constexpr int not_a_regular_file = 4096;
// The error for a file that does not exist and would have to be made under
// /dev, where a made-up name would pass for a device.
inline constexpr int not_created_under_dev = 4097;

// Opens the regular file at path, through any symbolic links, for access
// (O_RDONLY or O_WRONLY), close-on-exec and never as a controlling terminal, and fills status from
// the open file. Returns the descriptor, or minus the error: the errno of the
// failed call, EISDIR for a directory, not_a_regular_file for anything else
// that is no regular file, also when the name was given to one between the
// look and the open.
int open_regular_file(const std::string& path, struct stat& status, int access = O_RDONLY);

// An error of this folder in words: "not a regular file", the refusal to make
// a file under /dev, or the system's text for an errno value.
std::string error_text(int error);

}  // namespace files
