// Reading the measurement log back: every record the window and the command
// line write, in any locale, and what other runs and hand edits leave (a
// decimal point, comma or Arabic separator, the degree sign in Windows-1252 or
// UTF-8, CR LF or LF, padded or run-together fields, the no-reading text, one
// or two readings). Any other line is skipped and counted. No input makes it
// fail: junk, overlong lines and a cut last line are lines like any other. No
// Qt: standard C++ and POSIX calls, and a second thread for large files.
#pragma once

#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace measurement {

// The years of a record's date: 2105 is the last whole year in 32 bits of
// seconds.
inline constexpr int first_log_year = 1970;
inline constexpr int last_log_year = 2105;

// One record in 8 bytes. `time` is the wall-clock time the record carries, in
// seconds since 1970-01-01 00:00:00 of that same clock: the log has no time
// zone, so none is applied (years 1970 to 2105). Readings are in tenths of a
// degree Celsius, or no_value where the record holds the no-reading text.
struct LogRecord {
    std::uint32_t time = 0;
    std::int16_t sensor1 = 0;  // indoor: the last field
    std::int16_t sensor2 = 0;  // outdoor: the third field; no_value in a one-reading record
    friend bool operator==(const LogRecord&, const LogRecord&) = default;
};
inline constexpr std::int16_t no_value = INT16_MIN;

// The longest line that can be a record; longer ones are skipped unread.
inline constexpr std::size_t max_record_length = 160;

// One line, its line end (CR LF or LF) allowed, or
// nothing when it is not a record.
std::optional<LogRecord> parse_log_line(std::string_view line);

// Wall-clock seconds of a date and time, and back. Preconditions of
// log_time: a valid date from 1970 to 2105 and a valid time of day.
struct CivilTime {
    int year, month, day, hour, minute, second;
};
std::uint32_t log_time(const CivilTime& civil);
CivilTime civil_time(std::uint32_t time);

// Parses a stream of log bytes handed over in pieces of any size.
class LogParser {
public:
    // A parser that starts mid-file (at the start of a line) takes no byte
    // order mark off its first line.
    explicit LogParser(bool at_file_start = true) : at_start_(at_file_start) {}

    // Appends the records of the whole lines in bytes to out; a line cut by
    // the end of bytes is kept (at most max_record_length bytes of it) and
    // completed by the next call.
    void feed(std::string_view bytes, std::vector<LogRecord>& out);
    // The end of the input: the kept line, if any, is the last line.
    void finish(std::vector<LogRecord>& out);
    // Lines that were not records, blank ones included.
    std::uint64_t skipped() const { return skipped_; }
    // Bytes fed so far.
    std::uint64_t consumed() const { return consumed_; }
    bool has_partial_line() const { return overlong_ || padding_dropped_ || !partial_.empty(); }

private:
    friend class LogFile;
    void line(const char* begin, const char* end, std::vector<LogRecord>& out);
    void keep(const char* begin, const char* end);
    void drop_kept_line();
    void end_kept_line(std::vector<LogRecord>& out);

    std::string partial_;
    bool overlong_ = false;  // the kept line outgrew any record: dropped up to its end
    bool padding_dropped_ = false;  // blanks or CRs past the limit followed the kept line
    bool at_start_;          // a UTF-8 byte order mark may open the file
    unsigned char date_[10] = {};  // the last valid date field seen, and its day
    std::uint32_t date_seconds_ = 0;
    std::uint64_t skipped_ = 0;
    std::uint64_t consumed_ = 0;
};

// A log file read from the start, then again each time it has grown: only the
// new bytes are read. A file that shrank or was replaced is read again from
// the start.
class LogFile {
public:
    enum class Change { none, appended, reloaded, failed };

    explicit LogFile(std::string path);

    // Appends the records added since the last call to out (all of them on
    // the first call, or on `reloaded`, when out should replace what was read
    // before). A line still being written (no line feed yet) is held back
    // until it is complete, unless at_end: then it counts as the last line.
    // Large files are parsed on two threads. Only a regular file is opened.
    // On `failed`, error() is the errno (EISDIR for a directory,
    // files::not_a_regular_file of files/regular_file.h for anything else
    // but a file) and out is as it was.
    Change read_new(std::vector<LogRecord>& out, bool at_end = false);

    // Lines that were not records, since the last reload.
    std::uint64_t skipped() const { return parser_.skipped(); }
    int error() const { return error_; }
    std::string error_text() const;

private:
    Change fail(int error);

    std::string path_;
    LogParser parser_;
    bool known_ = false;  // device_ and inode_ are those of the file read
    std::uint64_t device_ = 0;
    std::uint64_t inode_ = 0;
    int error_ = 0;
};

// The whole file as records in file order, a last line without line feed
// included. On failure returns false with the reason in error.
bool read_log_file(const std::string& path, std::vector<LogRecord>& records, std::uint64_t& skipped,
                   std::string& error);

}  // namespace measurement
