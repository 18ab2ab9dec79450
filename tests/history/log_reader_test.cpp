// Reading the measurement log back, checked through the CSV export byte for
// byte: every line a record or counted, the same records whatever the pieces
// the bytes come in, on one thread or two. Random bytes are the fuzzer's.
#include <cstring>
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>

#include "history/history_export.h"
#include "log/log_reader.h"
#include "tests/support/temp_dir.h"

namespace {

using namespace std::string_literals;
using measurement::LogParser;
using measurement::LogRecord;

struct Parsed {
    std::vector<LogRecord> records;
    std::uint64_t skipped = 0;
};

Parsed parse_in_pieces(const std::string& bytes, std::size_t piece)
{
    Parsed parsed;
    LogParser parser;
    for (std::size_t at = 0; at < bytes.size(); at += piece) {
        parser.feed(std::string_view(bytes).substr(at, piece), parsed.records);
    }
    parser.finish(parsed.records);
    parsed.skipped = parser.skipped();
    return parsed;
}

}  // namespace

TEST(LogReader, ReadsEveryKindOfRecordAndSkipsTheRest)
{
    // A line of the log, and its CSV row ("" when the line is skipped).
    const std::pair<std::string, std::string> cases[] = {
        // What the window writes: padded columns, Windows-1252, CR LF, comma.
        {"\xEF\xBB\xBF" "01-02-2026    10:00:00      8,0\xB0" "C         21,5\xB0" "C\r\n", "2026-01-02T10:00:00,21.5,8.0"},
        {"01-02-2026    10:00:01      -3.5\xC2\xB0" "C        21.4\xC2\xB0" "C\n", "2026-01-02T10:00:01,21.4,-3.5"},
        {"01-02-2026    10:00:02      --.-\xB0" "C        21,3\xB0" "C\r\n", "2026-01-02T10:00:02,21.3,"},
        {"01-02-2026    10:00:03      8,0\xB0" "C         --.-\xB0" "C\r\n", "2026-01-02T10:00:03,,8.0"},
        {"01-02-2026    10:00:04      --.-\xB0" "C        --.-\xB0" "C\r\n", "2026-01-02T10:00:04,,"},
        {"01-02-2026 10:00:05 21,0\xB0" "C\n", "2026-01-02T10:00:05,21.0,"},  // one reading: sensor 1
        {"01-02-202610:00:06-0,04\xB0" "C128,0\xB0" "C\n", "2026-01-02T10:00:06,128.0,0.0"},  // run together
        {"12-31-2025\t09:59:59\t-25,05\xB0" "C\t21,55\xB0" "C  \r\n", "2025-12-31T09:59:59,21.6,-25.1"},  // clock set back, tabs
        {"02-29-2024    23:59:59      1\xB0" "C            -1234,9\xB0" "C\r\n", "2024-02-29T23:59:59,-1234.9,1.0"},
        // An Arabic locale's separator: in UTF-8, and as '?' in the Windows-1252 of earlier runs.
        {"01-02-2026    10:00:10      -3\xD9\xAB" "0\xC2\xB0" "C       20\xD9\xAB" "5\xC2\xB0" "C\r\n",
         "2026-01-02T10:00:10,20.5,-3.0"},
        {"01-02-2026    10:00:11      -3?0\xB0" "C        20?0\xB0" "C\r\n", "2026-01-02T10:00:11,20.0,-3.0"},
        {"\r\n", ""},
        {"13-01-2026    10:00:00      8,0\xB0" "C         21,5\xB0" "C\r\n", ""},  // month 13
        {"02-29-2026    10:00:00      8,0\xB0" "C         21,5\xB0" "C\r\n", ""},  // not a leap year
        {"01-02-1969    10:00:00      8,0\xB0" "C         21,5\xB0" "C\r\n", ""},  // before 1970
        {"01-02-2026    24:00:00      8,0\xB0" "C         21,5\xB0" "C\r\n", ""},
        {"01-02-2026    10:00:00      8,0\xB0" "F         21,5\xB0" "F\r\n", ""},
        {"01-02-2026    10:00:00      8,0 \xB0" "C        21,5\xB0" "C\r\n", ""},
        {"01-02-2026    10:00:00      8,\xB0" "C         21,5\xB0" "C\r\n", ""},
        {"01-02-2026    10:00:00      99999\xB0" "C        21,5\xB0" "C\r\n", ""},
        {"01-02-2026    10:00:00      3276,8\xB0" "C       21,5\xB0" "C\r\n", ""},  // beyond 16 bits of tenths
        {"01-02-2026    10:00:00      8,0\xB0" "C         21,5\xB0" "C x\r\n", ""},
        {"01-02-2026    10:00:00\r\n", ""},
        {"01-02-2026    10:00:00      8,0\xB0" "C    \0    21,5\xB0" "C\r\n"s, ""},
        {std::string(3 << 20, 'x') + "\n", ""},  // far longer than any record
        // Padding of any length after the last field, but nothing after it.
        {"01-02-2026 10:00:08 8,0\xB0" "C 21,5\xB0" "C" + std::string(300, '\r') + " \t\r\n", "2026-01-02T10:00:08,21.5,8.0"},
        {"01-02-2026 10:00:09 21,5\xB0" "C" + std::string(300, ' ') + "x\n", ""},
        {"01-02-2026    10:00:07      8,0\xB0" "C         21", ""},  // cut by the end of the file
    };
    std::string log;
    std::string expected = "time,sensor1,sensor2\n";
    std::uint64_t expected_skipped = 0;
    for (const auto& [line, row] : cases) {
        log += line;
        if (row.empty()) {
            ++expected_skipped;
        } else {
            expected += row + "\n";
        }
    }
    testsupport::TempDir dir;
    testsupport::write_bytes(dir.file("Quelvane.txt"), log);
    std::vector<LogRecord> records;
    std::uint64_t skipped = 0;
    std::string error;
    ASSERT_TRUE(measurement::read_log_file(dir.file("Quelvane.txt"), records, skipped, error)) << error;
    ASSERT_TRUE(history::export_csv(records, dir.file("out.csv"), error)) << error;
    EXPECT_EQ(testsupport::read_bytes(dir.file("out.csv")), expected);
    EXPECT_EQ(skipped, expected_skipped);

    EXPECT_FALSE(measurement::read_log_file(dir.file("absent.txt"), records, skipped, error));
    EXPECT_EQ(error, std::strerror(ENOENT));
    EXPECT_FALSE(measurement::read_log_file("/dev/null", records, skipped, error));
    EXPECT_EQ(error, "not a regular file");  // a device is never opened
    // Ten zero bytes are no date, even before any date was seen.
    EXPECT_FALSE(measurement::parse_log_line(std::string(10, '\0') + " 10:00:00 8,0\xB0" "C"));

    // Fed in pieces of any size, ending on an overlong line with no line feed.
    const std::string bytes = log + "\n" + std::string(1000, '\xB0');
    const Parsed whole = parse_in_pieces(bytes, bytes.size());
    EXPECT_EQ(whole.records.size() + whole.skipped, std::count(bytes.begin(), bytes.end(), '\n') + 1u);
    for (const std::size_t piece : {1, 7, 160, 4096}) {
        const Parsed pieces = parse_in_pieces(bytes, piece);
        EXPECT_EQ(pieces.records, whole.records) << piece;
        EXPECT_EQ(pieces.skipped, whole.skipped) << piece;
    }

    // A file large enough to be read on two threads reads as on one, every
    // thousandth line skipped.
    std::string large;
    for (int i = 0; large.size() < (9u << 20); ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "01-02-2026    %02d:%02d:%02d      8,0\xB0" "C         21,5\xB0" "C\r\n",
                      i / 3600 % 24, i / 60 % 60, i % 60);
        large += line + (i % 1000 == 0 ? "?\r\n"s : "");
    }
    testsupport::write_bytes(dir.file("large.txt"), large);
    records.clear();
    ASSERT_TRUE(measurement::read_log_file(dir.file("large.txt"), records, skipped, error)) << error;
    const Parsed single = parse_in_pieces(large, large.size());
    EXPECT_EQ(records, single.records);
    EXPECT_EQ(skipped, single.skipped);
}
