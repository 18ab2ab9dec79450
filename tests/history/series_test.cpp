// The series: where its lines break, and per-column envelopes that keep
// every extreme, against a brute-force scan of the records.
#include <algorithm>
#include <gtest/gtest.h>
#include <random>
#include <tuple>

#include "history/series.h"

namespace {

using history::Extent;
using history::Series;
using measurement::LogRecord;
using measurement::no_value;

std::vector<LogRecord> at_times(const std::vector<std::uint32_t>& times)
{
    std::vector<LogRecord> records;
    for (const std::uint32_t time : times) {
        records.push_back({time, 200, 80});
    }
    return records;
}

// The readings of one sensor in records [begin, end), scanned one by one.
Extent brute_extent(const std::vector<LogRecord>& records, std::size_t begin, std::size_t end, int sensor)
{
    const auto gap_before = [&](std::size_t i) {
        std::vector<std::uint32_t> neighbours;
        if (i >= 2) neighbours.push_back(records[i - 1].time - records[i - 2].time);
        if (i + 1 < records.size()) neighbours.push_back(records[i + 1].time - records[i].time);
        if (neighbours.empty()) return false;
        const std::uint32_t interval = std::max<std::uint32_t>(1, *std::min_element(neighbours.begin(), neighbours.end()));
        return records[i].time - records[i - 1].time > 3 * interval;
    };
    Extent extent;
    for (std::size_t i = begin; i < end; ++i) {
        const std::int16_t value = history::reading(records[i], sensor);
        if (value == no_value) continue;
        if (extent.count == 0) {
            extent.first = value;
            extent.first_joined = i > 0 && history::reading(records[i - 1], sensor) != no_value && !gap_before(i);
        }
        extent.min = std::min(extent.min, value);
        extent.max = std::max(extent.max, value);
        extent.last = value;
        ++extent.count;
        extent.sum += value;
    }
    return extent;
}

// What an extent tells, for comparing: nothing but the count when empty.
std::tuple<std::uint32_t, int, int, int, int, bool, std::int64_t> told(const Extent& e)
{
    if (e.count == 0) return {};
    return {e.count, e.min, e.max, e.first, e.last, e.first_joined, e.sum};
}

}  // namespace

TEST(Series, BreaksWhereRecordsAreMissingForMoreThanAFewIntervals)
{
    // Times, and the records that start after a gap.
    const std::pair<std::vector<std::uint32_t>, std::vector<std::size_t>> cases[] = {
        {{0, 1, 2, 7, 8, 9}, {3}},                // 1 s, four records missing
        {{0, 1, 2, 5, 6}, {}},                    // two missing: not yet a gap
        {{0, 1, 2, 62, 122, 182}, {3}},           // 1 s, then 1 min: the pause only
        {{0, 60, 180, 240}, {}},                  // 1 min, one missing
        {{0, 3600, 3601, 3602}, {1}},             // at the start
        {{0, 1, 2, 3600}, {3}},                   // at the end
        {{0, 1, 2, 1000, 2000, 2001, 2002}, {3, 4}},  // a lone record between two outages
        {{0, 1, 1, 2, 3}, {}},                    // two records in one second
        {{0, 100}, {}},                           // nothing to compare with
    };
    for (const auto& [times, gaps] : cases) {
        Series series;
        series.assign(at_times(times));
        std::vector<std::size_t> found;
        for (std::size_t i = 0; i < series.size(); ++i) {
            if (series.gap_before(i)) found.push_back(i);
        }
        EXPECT_EQ(found, gaps) << ::testing::PrintToString(times);
    }
    // A failed reading breaks that sensor's line on both sides, not the other's.
    Series series;
    series.assign({{0, 200, 80}, {1, no_value, 81}, {2, 202, 82}});
    EXPECT_FALSE(series.joined(1, 0));
    EXPECT_FALSE(series.joined(2, 0));
    EXPECT_TRUE(series.joined(1, 1) && series.joined(2, 1));
}

TEST(Series, EnvelopesKeepEveryExtremeWhateverTheOrderOfArrival)
{
    std::mt19937 random(2026);
    const std::uint32_t steps[] = {0, 1, 1, 1, 1, 2, 5, 60, 3600};
    for (int round = 0; round < 40; ++round) {
        SCOPED_TRACE(round);
        // Records arriving in pieces, some of them earlier than those before
        // (a clock set back), with failed readings.
        std::vector<LogRecord> arrived;
        Series series;
        std::uint32_t time = 1'000'000;
        const int pieces = 1 + static_cast<int>(random() % 6);
        for (int piece = 0; piece < pieces; ++piece) {
            std::vector<LogRecord> records;
            if (random() % 4 == 0) time -= std::min<std::uint32_t>(time, random() % 5000);
            for (int n = static_cast<int>(random() % 3000); n > 0; --n) {
                time += steps[random() % std::size(steps)];
                const auto value = [&] {
                    return random() % 10 == 0 ? no_value : static_cast<std::int16_t>(static_cast<int>(random() % 700) - 300);
                };
                records.push_back({time, value(), value()});
            }
            arrived.insert(arrived.end(), records.begin(), records.end());
            if (piece == 0) {
                series.assign(records);
            } else {
                series.append(records);
            }
        }
        std::vector<LogRecord> sorted = arrived;
        std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) { return a.time < b.time; });
        ASSERT_EQ(series.records(), sorted);
        if (sorted.empty()) continue;

        for (int view = 0; view < 5; ++view) {
            const double first = sorted.front().time;
            const double width = sorted.back().time - first + 1;
            const double t0 = first + width * (random() % 1000) / 1000.0 - 10;
            const double t1 = t0 + width * (1 + random() % 1000) / 1000.0;
            const int columns = 1 + static_cast<int>(random() % 300);
            const history::Envelope envelope = history::envelope(series, t0, t1, columns);
            std::size_t begin = envelope.begin;
            for (int c = 0; c < columns; ++c) {
                const double boundary = c + 1 == columns ? t1 : t0 + (t1 - t0) * (c + 1) / columns;
                std::size_t end = begin;
                while (end < sorted.size() && sorted[end].time < boundary) ++end;
                for (int sensor = 0; sensor < 2; ++sensor) {
                    EXPECT_EQ(told(envelope.columns[static_cast<std::size_t>(c)].sensor[sensor]),
                              told(brute_extent(sorted, begin, end, sensor)))
                        << "column " << c;
                }
                begin = end;
            }
            EXPECT_EQ(begin, envelope.end);
            for (int sensor = 0; sensor < 2; ++sensor) {
                EXPECT_EQ(told(envelope.total.sensor[sensor]),
                          told(brute_extent(sorted, envelope.begin, envelope.end, sensor)))
                    << "span";
            }
        }
    }
}
