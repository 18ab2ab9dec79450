// The measurement log the history figures run on: two sensors from
// 2026-01-01 00:00:00 on, a daily swing indoors and outdoors with a little
// noise, a slow drift outdoors, sensor 2 failing for five minutes every day
// at noon, and a twenty-minute outage (no records) every week.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>

namespace bench {

// 2026-01-01 00:00:00 in log time (measurement::LogRecord).
inline constexpr std::uint32_t log_start = 1'767'225'600;

// What the log holds second seconds after log_start.
struct LogShape {
    bool recorded;        // false during an outage: no record at all
    double indoor;        // sensor 1, °C
    double outdoor;       // sensor 2, °C
    bool outdoor_failed;  // sensor 2 gave no reading
};

inline LogShape log_shape(long second)
{
    constexpr long day = 86400;
    const long of_day = second % day;
    const long of_week = second % (7 * day);
    const double phase = 2 * std::numbers::pi * static_cast<double>(of_day) / static_cast<double>(day);
    const double wobble = std::sin(static_cast<double>(second) * 0.37) * 0.3;
    return {
        .recorded = of_week < 3 * day || of_week >= 3 * day + 1200,
        .indoor = 21 + 1.5 * std::sin(phase - 1.2) + wobble,
        .outdoor = 6 + 7 * std::sin(phase - 2) + 3 * std::sin(static_cast<double>(second) / 700000.0) + wobble,
        .outdoor_failed = of_day >= 12 * 3600 && of_day < 12 * 3600 + 300,
    };
}

}  // namespace bench
