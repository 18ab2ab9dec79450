#include "log/reading_text.h"

#include <QLocale>
#include <charconv>

namespace measurement {

std::string decimal_text(double celsius)
{
    // to_chars never looks at the C library's locale, which the toolkit sets
    // from the environment: printf there would already write a comma.
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, celsius, std::chars_format::fixed, 1).ptr;
    std::string text(digits, end);
    return text == "-0.0" ? "0.0" : text;
}

QString local_decimal_text(double celsius)
{
    // Only the decimal separator comes from the user's locale, so no grouping
    // and no locale-specific minus sign can slip into the log.
    QString text = QString::fromStdString(decimal_text(celsius));
    return text.replace(u'.', QLocale().decimalPoint());
}

QString reading_text(double celsius) { return local_decimal_text(celsius) + unit_suffix; }

}  // namespace measurement
