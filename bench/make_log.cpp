// Writes a measurement log as the window writes it, for the history figures:
// quelvane_make_log OUT DAYS [INTERVAL_SECONDS]. Two sensors from 2026-01-01
// on: a daily swing indoors and outdoors, sensor 2 failing for five minutes
// every day, and a twenty-minute outage (no records) every week.
#include <QDateTime>
#include <QLocale>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/measurement_log.h"
#include "log/reading_text.h"

int main(int argc, char** argv)
{
    if (argc < 3 || std::atoi(argv[2]) <= 0) {
        std::fprintf(stderr, "usage: %s OUT DAYS [INTERVAL_SECONDS]\n", argv[0]);
        return 2;
    }
    QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
    const long days = std::atol(argv[2]);
    const long interval = argc > 3 ? std::max(1L, std::atol(argv[3])) : 1;
    std::FILE* out = std::fopen(argv[1], "wb");
    if (out == nullptr) {
        std::perror(argv[1]);
        return 1;
    }
    const QDateTime start(QDate(2026, 1, 1), QTime(0, 0), Qt::UTC);
    std::string buffer;
    for (long second = 0; second < days * 86400; second += interval) {
        const long of_day = second % 86400;
        const long of_week = second % (7 * 86400);
        if (of_week >= 3 * 86400 && of_week < 3 * 86400 + 1200) {
            continue;
        }
        const double phase = 2 * M_PI * static_cast<double>(of_day) / 86400.0;
        const double wobble = std::sin(static_cast<double>(second) * 0.37) * 0.3;
        const double indoor = 21 + 1.5 * std::sin(phase - 1.2) + wobble;
        const double outdoor = 6 + 7 * std::sin(phase - 2) + 3 * std::sin(static_cast<double>(second) / 700000.0) + wobble;
        const bool failed = of_day >= 12 * 3600 && of_day < 12 * 3600 + 300;
        buffer += measurement::log_record(start.addSecs(second),
                                          failed ? measurement::no_reading_text : measurement::reading_text(outdoor),
                                          measurement::reading_text(indoor));
        if (buffer.size() > (1 << 20)) {
            std::fwrite(buffer.data(), 1, buffer.size(), out);
            buffer.clear();
        }
    }
    std::fwrite(buffer.data(), 1, buffer.size(), out);
    return std::fclose(out) == 0 ? 0 : 1;
}
