// Writes a measurement log as the window writes it, for the history figures:
// quelvane_make_log OUT DAYS [INTERVAL_SECONDS]. Its readings are those of
// bench/log_shape.h.
#include <QDateTime>
#include <QLocale>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "bench/log_shape.h"
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
    const QDateTime start = QDateTime::fromSecsSinceEpoch(bench::log_start, Qt::UTC);
    std::string buffer;
    for (long second = 0; second < days * 86400; second += interval) {
        const bench::LogShape shape = bench::log_shape(second);
        if (!shape.recorded) {
            continue;
        }
        buffer += measurement::log_record(
            start.addSecs(second),
            shape.outdoor_failed ? measurement::no_reading_text : measurement::reading_text(shape.outdoor),
            measurement::reading_text(shape.indoor));
        if (buffer.size() > (1 << 20)) {
            std::fwrite(buffer.data(), 1, buffer.size(), out);
            buffer.clear();
        }
    }
    std::fwrite(buffer.data(), 1, buffer.size(), out);
    return std::fclose(out) == 0 ? 0 : 1;
}
