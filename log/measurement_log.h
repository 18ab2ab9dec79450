// The measurement log: one text record per tick appended to "Quelvane.txt"
// in the current directory, never truncated or rotated. The history reads it
// back (log/log_reader.h).
#pragma once

#include <QDateTime>
#include <QString>
#include <cstddef>
#include <string>
#include <string_view>

namespace measurement {

inline constexpr const char* log_file_name = "Quelvane.txt";
// Fields 1 to 3 are padded with blanks to the start of the next column.
inline constexpr int log_column_width = 14;

// One record in Windows-1252 bytes: MM-DD-YYYY, HH:MM:SS (24 h), outdoor
// text, indoor text, CR LF. The outdoor reading comes first.
std::string log_record(const QDateTime& when, const QString& outdoor, const QString& indoor);

// Appends bytes to the file at path, opening and closing it; creates it when
// missing, also at the end of a dangling symbolic link. A record is written
// whole or not at all: a failed write is cut back off the file. Never blocks:
// a FIFO takes the record only while a reader holds it open, and a device or
// directory is refused unopened. Returns false when the record could not be
// appended, with errno the cause, or 0 when what is at the path is neither a
// file nor a FIFO.
bool append_to_log(const std::string& path, const std::string& bytes);

// Writes bytes to fd, again after a signal interrupted a write. Returns how
// many were written: all of them, or fewer when a write failed (with errno
// set by it) or wrote nothing.
std::size_t write_all(int fd, std::string_view bytes);

}  // namespace measurement
