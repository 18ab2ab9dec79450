// The records of a log in time order, with a min/max index over blocks of
// records, so that the envelope of any span at any width costs about the
// same whether it covers a minute or a year.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "log/log_reader.h"

namespace history {

using measurement::LogRecord;

// The readings of one sensor over a run of records, in tenths of a degree.
// Combining runs with + keeps them in order: first and first_joined come from
// the left run, last from the right one.
struct Extent {
    std::int16_t min = INT16_MAX;
    std::int16_t max = INT16_MIN;
    std::int16_t first = 0;
    std::int16_t last = 0;
    // The first reading continues the line from the record just before it:
    // that record has a reading too and no time gap lies between them.
    bool first_joined = false;
    std::uint32_t count = 0;  // readings (records with no reading are not counted)
    std::int64_t sum = 0;

    Extent& operator+=(const Extent& right);
};

// Both sensors over a run of records.
struct Summary {
    Extent sensor[2];  // [0]: sensor 1, [1]: sensor 2
    Summary& operator+=(const Summary& right);
};

// A series breaks between two records more than this many intervals apart.
// The interval is the shorter of the spacings before and after the pair, so
// that a change of the measuring interval is not taken for a gap.
inline constexpr int gap_intervals = 3;

class Series {
public:
    // Takes the records in any order; records with the same time keep their
    // order.
    void assign(std::vector<LogRecord> records);
    // Adds records (usually later than all before, the cheap case).
    void append(std::span<const LogRecord> records);

    const std::vector<LogRecord>& records() const { return records_; }
    std::size_t size() const { return records_.size(); }
    bool empty() const { return records_.empty(); }

    // The index of the first record at or after time t (seconds).
    std::size_t lower_bound(double t) const;
    // Records [begin, end).
    Summary summarize(std::size_t begin, std::size_t end) const;
    // Whether record i starts after a time gap, and whether its reading of
    // sensor (0 or 1) is joined to the reading of record i - 1.
    bool gap_before(std::size_t i) const;
    bool joined(std::size_t i, int sensor) const;

    // Blocks of this many records are summarized, and blocks of such blocks.
    static constexpr std::size_t fan_out = 64;

private:
    void index_from(std::size_t record);
    Summary fold_records(std::size_t begin, std::size_t end) const;
    // The summaries [begin, end) of levels_[level].
    Summary fold_blocks(std::size_t level, std::size_t begin, std::size_t end) const;

    std::vector<LogRecord> records_;
    // levels_[k][j] summarizes records [j * fan_out^(k+1), (j+1) * fan_out^(k+1)):
    // whole blocks only, the rest is read from the records.
    std::vector<std::vector<Summary>> levels_;
};

// The reading of a sensor in a record, or no_value.
inline std::int16_t reading(const LogRecord& record, int sensor)
{
    return sensor == 0 ? record.sensor1 : record.sensor2;
}

// The envelope of [t0, t1) over `columns` equal columns of time: one summary
// per column, plus the records just outside the span, to draw the lines that
// leave it.
struct Envelope {
    double t0 = 0;
    double t1 = 0;
    std::vector<Summary> columns;
    std::size_t begin = 0;  // the first record in the span
    std::size_t end = 0;    // one past the last
    Summary total;          // the whole span
};
Envelope envelope(const Series& series, double t0, double t1, int columns);

}  // namespace history
