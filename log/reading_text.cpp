#include "log/reading_text.h"

#include <QLocale>
#include <cstdio>

namespace measurement {

QString reading_text(double celsius)
{
    // printf in the C locale gives the digits and the rounding; only the
    // decimal separator comes from the user's locale, so no grouping and no
    // locale-specific minus sign can slip into the log.
    char digits[64];
    std::snprintf(digits, sizeof digits, "%.1f", celsius);
    QString text = QString::fromLatin1(digits);
    if (text.startsWith(u'-') && text.mid(1) == QLatin1String("0.0")) {
        text = QStringLiteral("0.0");
    }
    text.replace(u'.', QLocale().decimalPoint());
    return text + unit_suffix;
}

}  // namespace measurement
