// The history without a window: the whole span as a PNG image, the records as
// CSV. Where an export goes: a path as files::Output takes it (a regular file
// is replaced whole or not at all, a device or a FIFO is written as it is), or
// "-" for the standard output.
#pragma once

#include <QSize>
#include <string>
#include <vector>

#include "history/series.h"

namespace history {

// Renders the chart of the whole series into a PNG image at path. Needs a
// QGuiApplication (any platform, offscreen is enough). Returns false with the
// reason in error.
bool export_png(const Series& series, QSize size, const std::string& path, std::string& error);

// A header "time,sensor1,sensor2" and one row per record, in the order given,
// UTF-8 (plain ASCII in fact), LF line ends. A row is
// "2026-01-02T10:00:00,21.5,8.0": the record's date and time in ISO 8601, as
// the log wrote them (local time), the readings of sensors 1 and 2 with a
// decimal point and one decimal, an empty field where there was no reading.
// Returns false with the reason in error.
bool export_csv(const std::vector<LogRecord>& records, const std::string& path, std::string& error);

}  // namespace history
