#include "log/log_reader.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <memory>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "files/regular_file.h"

namespace measurement {
namespace {

constexpr std::int64_t seconds_per_day = 86400;

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_blank(char c) { return c == ' ' || c == '\t'; }
// What may end a line after its last field without counting toward its length.
bool is_line_padding(char c) { return is_blank(c) || c == '\r'; }

// Two decimal digits at p, or -1.
int two_digits(const char* p)
{
    return is_digit(p[0]) && is_digit(p[1]) ? (p[0] - '0') * 10 + (p[1] - '0') : -1;
}

// Days since 1970-01-01 of a date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(int year, int month, int day)
{
    year -= month <= 2;
    const int era = (year >= 0 ? year : year - 399) / 400;
    const int year_of_era = year - era * 400;
    const int day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const int day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return static_cast<std::int64_t>(era) * 146097 + day_of_era - 719468;
}

int days_in_month(int year, int month)
{
    static constexpr int days[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : days[month - 1];
}

// The date field MM-DD-YYYY at p (10 bytes) as seconds at midnight, or false.
// The last valid field is remembered, since a log holds each date many times;
// the memory starts as zeros, which are no date and must match nothing.
bool parse_date(const char* p, unsigned char (&cached)[10], std::uint32_t& cached_seconds, std::uint32_t& seconds)
{
    if (cached[2] == '-' && std::memcmp(p, cached, sizeof cached) == 0) {
        seconds = cached_seconds;
        return true;
    }
    const int month = two_digits(p);
    const int day = two_digits(p + 3);
    const int century = two_digits(p + 6);
    const int year_in_century = two_digits(p + 8);
    if (p[2] != '-' || p[5] != '-' || month < 1 || month > 12 || day < 1 || century < 0 || year_in_century < 0) {
        return false;
    }
    const int year = century * 100 + year_in_century;
    if (year < first_log_year || year > last_log_year || day > days_in_month(year, month)) {
        return false;
    }
    seconds = static_cast<std::uint32_t>(days_from_civil(year, month, day) * seconds_per_day);
    std::memcpy(cached, p, sizeof cached);
    cached_seconds = seconds;
    return true;
}

// The time field HH:MM:SS at p (8 bytes) as seconds since midnight, or -1.
int parse_time_of_day(const char* p)
{
    const int hour = two_digits(p);
    const int minute = two_digits(p + 3);
    const int second = two_digits(p + 6);
    if (p[2] != ':' || p[5] != ':' || hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 ||
        second > 59) {
        return -1;
    }
    return hour * 3600 + minute * 60 + second;
}

// The length of the decimal separator at p, or 0: every one the program
// writes, which is the locale's: a full stop, a comma, or the Arabic decimal
// separator U+066B (UTF-8, on a line that Windows-1252 cannot hold), and '?',
// which stood for that one while every record was Windows-1252.
std::size_t separator_length(const char* p, const char* end)
{
    if (p < end && (*p == '.' || *p == ',' || *p == '?')) {
        return 1;
    }
    return end - p >= 2 && static_cast<unsigned char>(p[0]) == 0xD9 && static_cast<unsigned char>(p[1]) == 0xAB ? 2 : 0;
}

// A reading at p: the no-reading text "--.-", or an optional minus sign, one
// to four digits and optionally a decimal separator and decimals (rounded to
// one, half away from zero); then the degree sign (one Windows-1252 byte or
// two UTF-8 bytes) and "C". Returns the end of the reading, or nullptr.
const char* parse_reading(const char* p, const char* end, std::int16_t& value)
{
    if (end - p >= 4 && p[0] == '-' && p[1] == '-' && (p[2] == '.' || p[2] == ',') && p[3] == '-') {
        value = no_value;
        p += 4;
    } else {
        const bool negative = p < end && *p == '-';
        p += negative;
        int tenths = 0;
        int digits = 0;
        for (; p < end && is_digit(*p); ++p) {
            if (++digits > 4) {
                return nullptr;
            }
            tenths = tenths * 10 + (*p - '0');
        }
        if (digits == 0) {
            return nullptr;
        }
        tenths *= 10;
        if (const std::size_t separator = separator_length(p, end); separator > 0) {
            p += separator;
            if (p == end || !is_digit(*p)) {
                return nullptr;
            }
            tenths += *p++ - '0';
            if (p < end && is_digit(*p)) {
                tenths += *p >= '5';
                while (p < end && is_digit(*p)) {
                    ++p;
                }
            }
        }
        if (tenths > INT16_MAX) {
            return nullptr;
        }
        value = static_cast<std::int16_t>(negative ? -tenths : tenths);
    }
    if (p < end && static_cast<unsigned char>(*p) == 0xB0) {
        p += 1;
    } else if (end - p >= 2 && static_cast<unsigned char>(p[0]) == 0xC2 && static_cast<unsigned char>(p[1]) == 0xB0) {
        p += 2;
    } else {
        return nullptr;
    }
    return p < end && *p == 'C' ? p + 1 : nullptr;
}

// The padding between fields, eight bytes at a time: the padded columns put
// up to thirteen blanks between two fields, and a byte loop over them costs
// as much as the rest of the line.
const char* skip_blanks(const char* p, const char* end)
{
    if constexpr (std::endian::native == std::endian::little) {
        while (end - p >= 8) {
            std::uint64_t word;
            std::memcpy(&word, p, sizeof word);
            const std::uint64_t other = word ^ 0x2020202020202020u;  // nonzero bytes: not a space
            if (other != 0) {
                p += std::countr_zero(other) / 8;
                break;
            }
            p += 8;
        }
    }
    while (p < end && is_blank(*p)) {
        ++p;
    }
    return p;
}

// One line without its line feed: date, time, then one reading (sensor 1) or
// two (sensor 2, then sensor 1), with or without blanks between the fields.
bool parse_record(const char* p, const char* end, unsigned char (&cached)[10], std::uint32_t& cached_seconds,
                  LogRecord& record)
{
    while (end > p && (end[-1] == '\n' || is_line_padding(end[-1]))) {
        --end;
    }
    constexpr std::ptrdiff_t shortest = 10 + 8 + 4;  // date, time, "0°C"
    if (end - p < shortest || end - p > static_cast<std::ptrdiff_t>(max_record_length)) {
        return false;
    }
    std::uint32_t midnight = 0;
    if (!parse_date(p, cached, cached_seconds, midnight)) {
        return false;
    }
    p = skip_blanks(p + 10, end);
    if (end - p < 8) {
        return false;
    }
    const int time_of_day = parse_time_of_day(p);
    if (time_of_day < 0) {
        return false;
    }
    p = skip_blanks(p + 8, end);
    std::int16_t first = 0;
    std::int16_t second = no_value;
    if ((p = parse_reading(p, end, first)) == nullptr) {
        return false;
    }
    p = skip_blanks(p, end);
    if (p < end) {
        if ((p = parse_reading(p, end, second)) == nullptr || p != end) {
            return false;
        }
        std::swap(first, second);  // the outdoor reading comes first
    }
    record.time = midnight + static_cast<std::uint32_t>(time_of_day);
    record.sensor1 = first;
    record.sensor2 = second;
    return true;
}

// pread until count bytes or the end of the file; returns the bytes read, or
// -1 with errno.
ssize_t read_at(int fd, char* buffer, std::size_t count, std::uint64_t offset)
{
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::pread(fd, buffer + done, count - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(done);
}

constexpr std::size_t block_size = 1 << 20;
// Below this the second thread costs more than it saves.
constexpr std::uint64_t parallel_threshold = 8 << 20;
// Bytes per record in the window's format, for reserving room.
constexpr std::uint64_t typical_record_length = 48;

// Feeds the bytes [from, to) of fd to parser. Returns 0 or an errno; a file
// that ends early ends the reading without error.
int feed_range(int fd, std::uint64_t from, std::uint64_t to, LogParser& parser, std::vector<LogRecord>& out)
{
    const auto buffer = std::make_unique<char[]>(block_size);
    while (from < to) {
        const ssize_t n = read_at(fd, buffer.get(), static_cast<std::size_t>(std::min<std::uint64_t>(block_size, to - from)), from);
        if (n < 0) {
            return errno;
        }
        if (n == 0) {
            break;
        }
        parser.feed(std::string_view(buffer.get(), static_cast<std::size_t>(n)), out);
        from += static_cast<std::uint64_t>(n);
    }
    return 0;
}

// The offset just after the first line feed at or after offset (and before
// to), or to.
std::uint64_t next_line_start(int fd, std::uint64_t offset, std::uint64_t to)
{
    char buffer[4096];
    while (offset < to) {
        const ssize_t n = read_at(fd, buffer, static_cast<std::size_t>(std::min<std::uint64_t>(sizeof buffer, to - offset)), offset);
        if (n <= 0) {
            break;
        }
        if (const void* found = std::memchr(buffer, '\n', static_cast<std::size_t>(n))) {
            return offset + static_cast<std::uint64_t>(static_cast<const char*>(found) - buffer) + 1;
        }
        offset += static_cast<std::uint64_t>(n);
    }
    return to;
}

}  // namespace

std::uint32_t log_time(const CivilTime& civil)
{
    return static_cast<std::uint32_t>(days_from_civil(civil.year, civil.month, civil.day) * seconds_per_day +
                                      civil.hour * 3600 + civil.minute * 60 + civil.second);
}

CivilTime civil_time(std::uint32_t time)
{
    // Days to a date: the inverse of days_from_civil, for days >= 0.
    const std::int64_t days = time / seconds_per_day + 719468;
    const std::int64_t era = days / 146097;
    const int day_of_era = static_cast<int>(days - era * 146097);
    const int year_of_era = (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int day_of_year = day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int shifted_month = (5 * day_of_year + 2) / 153;
    const int day = day_of_year - (153 * shifted_month + 2) / 5 + 1;
    const int month = shifted_month < 10 ? shifted_month + 3 : shifted_month - 9;
    const int year = static_cast<int>(era * 400) + year_of_era + (month <= 2);
    const int second_of_day = static_cast<int>(time % seconds_per_day);
    return {year, month, day, second_of_day / 3600, second_of_day / 60 % 60, second_of_day % 60};
}

std::optional<LogRecord> parse_log_line(std::string_view line)
{
    unsigned char cached[10] = {};
    std::uint32_t cached_seconds = 0;
    LogRecord record;
    if (parse_record(line.data(), line.data() + line.size(), cached, cached_seconds, record)) {
        return record;
    }
    return std::nullopt;
}

// --- LogParser ---------------------------------------------------------------

void LogParser::line(const char* begin, const char* end, std::vector<LogRecord>& out)
{
    if (at_start_) {
        at_start_ = false;
        if (end - begin >= 3 && std::memcmp(begin, "\xEF\xBB\xBF", 3) == 0) {
            begin += 3;
        }
    }
    LogRecord record;
    if (parse_record(begin, end, date_, date_seconds_, record)) {
        out.push_back(record);
    } else {
        ++skipped_;
    }
}

void LogParser::keep(const char* begin, const char* end)
{
    if (overlong_) {
        return;
    }
    if (padding_dropped_) {
        // Only padding may follow what was let go; anything else puts the
        // line's last field beyond the longest record.
        if (std::any_of(begin, end, [](char c) { return !is_line_padding(c); })) {
            drop_kept_line();
        }
        return;
    }
    // Padding at the end of a line is no part of its length, and a line may
    // carry any amount of it: past the limit it is let go, not kept.
    const char* significant_end = end;
    while (significant_end > begin && is_line_padding(significant_end[-1])) {
        --significant_end;
    }
    // Room for a byte order mark and a carriage return beside a record.
    constexpr std::size_t limit = max_record_length + 4;
    if (partial_.size() + static_cast<std::size_t>(significant_end - begin) > limit) {
        drop_kept_line();
    } else if (partial_.size() + static_cast<std::size_t>(end - begin) > limit) {
        partial_.append(begin, significant_end);
        padding_dropped_ = true;
    } else {
        partial_.append(begin, end);
    }
}

void LogParser::drop_kept_line()
{
    overlong_ = true;
    partial_.clear();
    partial_.shrink_to_fit();
}

void LogParser::end_kept_line(std::vector<LogRecord>& out)
{
    if (overlong_) {
        at_start_ = false;
        ++skipped_;
    } else {
        line(partial_.data(), partial_.data() + partial_.size(), out);
    }
    overlong_ = false;
    padding_dropped_ = false;
    partial_.clear();
}

void LogParser::feed(std::string_view bytes, std::vector<LogRecord>& out)
{
    consumed_ += bytes.size();
    const char* p = bytes.data();
    const char* const end = p + bytes.size();
    if (has_partial_line()) {
        const auto* feed_at = static_cast<const char*>(std::memchr(p, '\n', bytes.size()));
        if (feed_at == nullptr) {
            keep(p, end);
            return;
        }
        keep(p, feed_at);
        end_kept_line(out);
        p = feed_at + 1;
    }
    while (p < end) {
        const auto* feed_at = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
        if (feed_at == nullptr) {
            break;
        }
        line(p, feed_at, out);
        p = feed_at + 1;
    }
    keep(p, end);
}

void LogParser::finish(std::vector<LogRecord>& out)
{
    if (has_partial_line()) {
        end_kept_line(out);
    }
}

// --- LogFile -------------------------------------------------------------------

LogFile::LogFile(std::string path) : path_(std::move(path)) {}

LogFile::Change LogFile::read_new(std::vector<LogRecord>& out, bool at_end)
{
    // Only a regular file is opened: a device (a serial port above all) or a
    // fifo given by mistake must not be touched, nor block the reading.
    struct stat status {};
    const int file = files::open_regular_file(path_, status);
    if (file < 0) {
        return fail(-file);
    }
    error_ = 0;
    const auto size = static_cast<std::uint64_t>(status.st_size);
    Change change = Change::appended;
    if (!known_ || device_ != status.st_dev || inode_ != status.st_ino || size < parser_.consumed()) {
        known_ = true;
        device_ = status.st_dev;
        inode_ = status.st_ino;
        parser_ = LogParser();
        change = Change::reloaded;
    } else if (size == parser_.consumed() && !at_end) {
        ::close(file);
        return Change::none;
    }

    const std::size_t kept = out.size();
    const std::uint64_t from = parser_.consumed();
    const std::uint64_t split =
        size - from >= parallel_threshold ? next_line_start(file, from + (size - from) / 2, size) : size;
    out.reserve(out.size() + (size - from) / typical_record_length + 16);
    int failure = 0;
    if (split < size) {
        // The second half on a thread of its own, from a line start, into a
        // vector of its own; its parser then holds the state to go on from.
        LogParser second(false);
        std::vector<LogRecord> second_records;
        second_records.reserve((size - split) / typical_record_length + 16);
        int second_failure = 0;
        std::thread worker([&] { second_failure = feed_range(file, split, size, second, second_records); });
        failure = feed_range(file, from, split, parser_, out);
        worker.join();
        failure = failure != 0 ? failure : second_failure;
        out.insert(out.end(), second_records.begin(), second_records.end());
        second.skipped_ += parser_.skipped_;
        second.consumed_ += parser_.consumed_;
        parser_ = std::move(second);
    } else {
        failure = feed_range(file, from, size, parser_, out);
    }
    ::close(file);
    if (failure != 0) {
        out.resize(kept);
        known_ = false;  // the next call reads the whole file again
        return fail(failure);
    }
    if (at_end) {
        parser_.finish(out);
    }
    return change;
}

LogFile::Change LogFile::fail(int error)
{
    error_ = error;
    return Change::failed;
}

std::string LogFile::error_text() const
{
    return files::error_text(error_);
}

bool read_log_file(const std::string& path, std::vector<LogRecord>& records, std::uint64_t& skipped,
                   std::string& error)
{
    LogFile file(path);
    if (file.read_new(records, true) == LogFile::Change::failed) {
        error = file.error_text();
        return false;
    }
    skipped = file.skipped();
    return true;
}

}  // namespace measurement
