#include "history/history_export.h"

#include <QImage>
#include <QPainter>
#include <QSaveFile>
#include <cerrno>
#include <cstring>
#include <unistd.h>

#include "history/chart.h"
#include "log/measurement_log.h"

namespace history {
namespace {

char* put_digits(char* out, unsigned value, int width)
{
    for (int i = width - 1; i >= 0; --i) {
        out[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    return out + width;
}

// A reading in tenths as "-12.5", nothing for no reading.
char* put_reading(char* out, std::int16_t tenths)
{
    if (tenths == measurement::no_value) {
        return out;
    }
    if (tenths < 0) {
        *out++ = '-';
    }
    const unsigned magnitude = static_cast<unsigned>(tenths < 0 ? -tenths : tenths);
    char digits[8];
    int count = 0;
    unsigned whole = magnitude / 10;
    do {
        digits[count++] = static_cast<char>('0' + whole % 10);
        whole /= 10;
    } while (whole > 0);
    while (count > 0) {
        *out++ = digits[--count];
    }
    *out++ = '.';
    *out++ = static_cast<char>('0' + magnitude % 10);
    return out;
}

constexpr std::size_t longest_row = 19 + 2 * 8 + 3;

char* put_row(char* out, const LogRecord& record)
{
    const measurement::CivilTime t = measurement::civil_time(record.time);
    out = put_digits(out, static_cast<unsigned>(t.year), 4);
    *out++ = '-';
    out = put_digits(out, static_cast<unsigned>(t.month), 2);
    *out++ = '-';
    out = put_digits(out, static_cast<unsigned>(t.day), 2);
    *out++ = 'T';
    out = put_digits(out, static_cast<unsigned>(t.hour), 2);
    *out++ = ':';
    out = put_digits(out, static_cast<unsigned>(t.minute), 2);
    *out++ = ':';
    out = put_digits(out, static_cast<unsigned>(t.second), 2);
    *out++ = ',';
    out = put_reading(out, record.sensor1);
    *out++ = ',';
    out = put_reading(out, record.sensor2);
    *out++ = '\n';
    return out;
}

}  // namespace

bool export_png(const Series& series, QSize size, const std::string& path, std::string& error)
{
    QImage image(size, QImage::Format_RGB32);
    if (image.isNull()) {
        error = "cannot make an image of that size";
        return false;
    }
    {
        QPainter painter(&image);
        paint_chart(painter, image.rect(), series, full_span(series));
    }
    QSaveFile file(QString::fromStdString(path));
    // Speed over size: a chart compresses well at any level.
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG", 80) || !file.commit()) {
        error = file.errorString().toStdString();
        return false;
    }
    return true;
}

bool export_csv(const std::vector<LogRecord>& records, const std::string& path, std::string& error)
{
    const bool to_stdout = path == "-";
    QSaveFile file(QString::fromStdString(path));
    if (!to_stdout && !file.open(QIODevice::WriteOnly)) {
        error = file.errorString().toStdString();
        return false;
    }
    const auto put = [&](const char* bytes, std::size_t size) {
        return to_stdout ? measurement::write_all(STDOUT_FILENO, {bytes, size}) == size
                         : file.write(bytes, static_cast<qint64>(size)) == static_cast<qint64>(size);
    };
    constexpr std::size_t buffer_size = 1 << 20;
    std::string buffer = "time,sensor1,sensor2\n";
    std::size_t used = buffer.size();
    buffer.resize(buffer_size);
    bool ok = true;
    for (const LogRecord& record : records) {
        if (buffer_size - used < longest_row) {
            ok = ok && put(buffer.data(), used);
            used = 0;
        }
        used = static_cast<std::size_t>(put_row(buffer.data() + used, record) - buffer.data());
    }
    ok = ok && put(buffer.data(), used);
    if (to_stdout) {
        if (!ok) {
            error = std::strerror(errno);
        }
        return ok;
    }
    if (!ok || !file.commit()) {
        error = file.errorString().toStdString();
        return false;
    }
    return true;
}

}  // namespace history
