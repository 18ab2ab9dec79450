#include "history/history_export.h"

#include <QBuffer>
#include <QImage>
#include <QPainter>

#include "files/output_file.h"
#include "history/chart.h"
#include "log/log_reader.h"

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

// The output an export names: "-" is the standard output.
bool open_output(files::Output& output, const std::string& path)
{
    if (path == "-") {
        output.open_standard_output();
        return true;
    }
    return output.open(path);
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
    // Encoded first, then written: an image that cannot be made touches no
    // output. Speed over size: a chart compresses well at any level.
    QByteArray png;
    QBuffer buffer(&png);
    if (!buffer.open(QIODevice::WriteOnly) || !image.save(&buffer, "PNG", 80)) {
        error = "cannot encode the image";
        return false;
    }
    files::Output output;
    const std::string_view bytes(png.constData(), static_cast<std::size_t>(png.size()));
    if (!open_output(output, path) || !output.write(bytes) || !output.finish()) {
        error = output.failure().reason();
        return false;
    }
    return true;
}

bool export_csv(const std::vector<LogRecord>& records, const std::string& path, std::string& error)
{
    files::Output output;
    if (!open_output(output, path)) {
        error = output.failure().reason();
        return false;
    }
    constexpr std::size_t buffer_size = 1 << 20;
    std::string buffer = "time,sensor1,sensor2\n";
    std::size_t used = buffer.size();
    buffer.resize(buffer_size);
    bool ok = true;
    for (const LogRecord& record : records) {
        if (buffer_size - used < longest_row) {
            ok = ok && output.write(std::string_view(buffer.data(), used));
            used = 0;
        }
        used = static_cast<std::size_t>(put_row(buffer.data() + used, record) - buffer.data());
    }
    if (!ok || !output.write(std::string_view(buffer.data(), used)) || !output.finish()) {
        error = output.failure().reason();
        return false;
    }
    return true;
}

}  // namespace history
