#include "history/series.h"

#include <algorithm>

namespace history {
namespace {

bool earlier(const LogRecord& a, const LogRecord& b) { return a.time < b.time; }

}  // namespace

Extent& Extent::operator+=(const Extent& right)
{
    if (right.count == 0) {
        return *this;
    }
    if (count == 0) {
        return *this = right;
    }
    min = std::min(min, right.min);
    max = std::max(max, right.max);
    last = right.last;
    count += right.count;
    sum += right.sum;
    return *this;
}

Summary& Summary::operator+=(const Summary& right)
{
    sensor[0] += right.sensor[0];
    sensor[1] += right.sensor[1];
    return *this;
}

void Series::assign(std::vector<LogRecord> records)
{
    records_ = std::move(records);
    if (!std::is_sorted(records_.begin(), records_.end(), earlier)) {
        std::stable_sort(records_.begin(), records_.end(), earlier);  // a clock set back
    }
    levels_.clear();
    index_from(0);
}

void Series::append(std::span<const LogRecord> records)
{
    if (records.empty()) {
        return;
    }
    std::vector<LogRecord> added(records.begin(), records.end());
    std::stable_sort(added.begin(), added.end(), earlier);
    // Only the records later than the first added one move, usually none.
    const auto at = std::upper_bound(records_.begin(), records_.end(), added.front(), earlier);
    const auto from = static_cast<std::size_t>(at - records_.begin());
    std::vector<LogRecord> tail(at, records_.end());
    records_.resize(from);
    records_.reserve(from + tail.size() + added.size());
    std::merge(tail.begin(), tail.end(), added.begin(), added.end(), std::back_inserter(records_), earlier);
    // The record before the first one that moved has a new next spacing, so
    // its gap may change too.
    index_from(from > 0 ? from - 1 : 0);
}

std::size_t Series::lower_bound(double t) const
{
    const auto at = std::partition_point(records_.begin(), records_.end(),
                                         [t](const LogRecord& record) { return record.time < t; });
    return static_cast<std::size_t>(at - records_.begin());
}

bool Series::gap_before(std::size_t i) const
{
    if (i == 0 || i >= records_.size()) {
        return false;
    }
    const std::uint32_t spacing = records_[i].time - records_[i - 1].time;
    std::uint32_t interval = UINT32_MAX;
    if (i >= 2) {
        interval = records_[i - 1].time - records_[i - 2].time;
    }
    if (i + 1 < records_.size()) {
        interval = std::min(interval, records_[i + 1].time - records_[i].time);
    }
    if (interval == UINT32_MAX) {
        return false;  // two records: nothing to compare with
    }
    return spacing > static_cast<std::uint64_t>(gap_intervals) * std::max<std::uint32_t>(interval, 1);
}

bool Series::joined(std::size_t i, int sensor) const
{
    return i > 0 && i < records_.size() && reading(records_[i - 1], sensor) != measurement::no_value &&
           reading(records_[i], sensor) != measurement::no_value && !gap_before(i);
}

Summary Series::fold_records(std::size_t begin, std::size_t end) const
{
    Summary summary;
    for (int sensor = 0; sensor < 2; ++sensor) {
        std::size_t i = begin;
        while (i < end && reading(records_[i], sensor) == measurement::no_value) {
            ++i;
        }
        if (i == end) {
            continue;
        }
        Extent& extent = summary.sensor[sensor];
        extent.first = reading(records_[i], sensor);
        extent.first_joined = joined(i, sensor);
        std::int16_t low = INT16_MAX;
        std::int16_t high = INT16_MIN;
        std::int16_t last = 0;
        std::uint32_t count = 0;
        std::int64_t sum = 0;
        for (; i < end; ++i) {
            const std::int16_t value = reading(records_[i], sensor);
            if (value == measurement::no_value) {
                continue;
            }
            low = std::min(low, value);
            high = std::max(high, value);
            last = value;
            ++count;
            sum += value;
        }
        extent.min = low;
        extent.max = high;
        extent.last = last;
        extent.count = count;
        extent.sum = sum;
    }
    return summary;
}

Summary Series::fold_blocks(std::size_t level, std::size_t begin, std::size_t end) const
{
    Summary sum;
    for (std::size_t k = begin; k < end; ++k) {
        sum += levels_[level][k];
    }
    return sum;
}

void Series::index_from(std::size_t record)
{
    std::size_t changed = record / fan_out;  // the first block to summarize again
    std::size_t blocks = records_.size() / fan_out;
    for (std::size_t level = 0; blocks > 0; ++level, blocks /= fan_out, changed /= fan_out) {
        if (levels_.size() <= level) {
            levels_.emplace_back();
        }
        auto& summaries = levels_[level];
        summaries.resize(blocks);
        for (std::size_t j = std::min(changed, blocks); j < blocks; ++j) {
            summaries[j] = level == 0 ? fold_records(j * fan_out, (j + 1) * fan_out)
                                      : fold_blocks(level - 1, j * fan_out, (j + 1) * fan_out);
        }
    }
    while (!levels_.empty() && levels_.back().empty()) {
        levels_.pop_back();
    }
}

Summary Series::summarize(std::size_t begin, std::size_t end) const
{
    // Up the levels from the edges inwards: each level takes what lies
    // before the next level's first whole block and after its last one.
    Summary left;
    Summary right;
    std::size_t unit = 1;  // records per item at this level
    for (std::size_t level = 0; begin < end; ++level) {
        const std::size_t next = unit * fan_out;
        const std::size_t left_stop = std::min(end, (begin + next - 1) / next * next);
        const std::size_t right_start = std::max(left_stop, end / next * next);
        const auto fold = [&](std::size_t from, std::size_t to) {
            return unit == 1 ? fold_records(from, to) : fold_blocks(level - 1, from / unit, to / unit);
        };
        if (begin < left_stop) {
            left += fold(begin, left_stop);
        }
        if (right_start < end) {
            Summary piece = fold(right_start, end);
            piece += right;
            right = piece;
        }
        begin = left_stop;
        end = right_start;
        unit = next;
    }
    left += right;
    return left;
}

Envelope envelope(const Series& series, double t0, double t1, int columns)
{
    Envelope result;
    result.t0 = t0;
    result.t1 = t1;
    result.begin = series.lower_bound(t0);
    result.end = std::max(result.begin, series.lower_bound(t1));
    result.columns.resize(static_cast<std::size_t>(std::max(columns, 0)));
    const auto& records = series.records();
    std::size_t begin = result.begin;
    for (int c = 0; c < columns; ++c) {
        std::size_t end = result.end;
        if (c + 1 < columns) {
            const double boundary = t0 + (t1 - t0) * (c + 1) / columns;
            end = static_cast<std::size_t>(
                std::partition_point(records.begin() + static_cast<std::ptrdiff_t>(begin),
                                     records.begin() + static_cast<std::ptrdiff_t>(result.end),
                                     [boundary](const LogRecord& record) { return record.time < boundary; }) -
                records.begin());
        }
        result.columns[static_cast<std::size_t>(c)] = series.summarize(begin, end);
        begin = end;
    }
    result.total = series.summarize(result.begin, result.end);
    return result;
}

}  // namespace history
