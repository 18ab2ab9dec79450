// How readings are written on the screen and in the log.
#pragma once

#include <QString>
#include <string>

namespace measurement {

// Appended to every reading text: degree sign and capital C.
inline const QString unit_suffix = QStringLiteral("\u00B0C");

// Shown and logged when there is no reading; always with a full stop.
inline const QString no_reading_text = QStringLiteral("--.-\u00B0C");

// A reading with one decimal (rounded) and a decimal point whatever the
// locale, with no minus sign on a value that rounds to zero: "21.5", "-3.0",
// "0.0" for -0.04.
std::string decimal_text(double celsius);

// decimal_text with the decimal separator of the user's locale: "21,5" in a
// French locale.
QString local_decimal_text(double celsius);

// A good reading: at least one digit before the decimal separator of the
// user's locale, exactly one after it (rounded), a leading minus sign for
// negative values that do not round to zero, then the unit suffix.
// 21.5 gives "21,5°C" in a French locale.
QString reading_text(double celsius);

}  // namespace measurement
