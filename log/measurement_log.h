// The measurement log: one text record per tick appended to "Quelvane.txt"
// in the current directory, never truncated or rotated. The history reads it
// back (log/log_reader.h).
#pragma once

#include <QDateTime>
#include <QString>
#include <string>
#include <string_view>

namespace measurement {

inline constexpr const char* log_file_name = "Quelvane.txt";
// Fields 1 to 3 are padded with blanks to the start of the next column.
inline constexpr int log_column_width = 14;

// One record: MM-DD-YYYY, HH:MM:SS (24 h), outdoor text, indoor text, CR LF;
// the outdoor reading comes first. In Windows-1252 bytes when that holds its
// text; otherwise (the Arabic decimal separator of some locales) the line is
// UTF-8, its columns counted in characters, as the settings file does it.
std::string log_record(const QDateTime& when, const QString& outdoor, const QString& indoor);

// Appends records to the log at one path. Each record is written whole or
// not at all, and nothing ever blocks:
//  - a regular file (also through symbolic links) is opened and closed for
//    each record, and made when missing, also at the end of a dangling link,
//    but never under /dev; a failed write is cut back off the file;
//  - a FIFO takes records only while a reader holds it open; it is kept open
//    from one record to the next, and opened again only after a write failed
//    (the reader went away, or left no room);
//  - a device or a directory there is refused unopened.
class LogWriter {
public:
    explicit LogWriter(std::string path);
    ~LogWriter();
    LogWriter(const LogWriter&) = delete;
    LogWriter& operator=(const LogWriter&) = delete;

    // 0 when the record was appended; otherwise why not: an errno value,
    // files::not_a_regular_file (a device or directory there) or
    // files::not_created_under_dev. log_error_text says it in words.
    int append(std::string_view record);

private:
    int append_to_fifo(std::string_view record);

    std::string path_;
    int fifo_ = -1;
};

// The error codes of LogWriter::append in words.
std::string log_error_text(int error);

}  // namespace measurement
