// The measurement record: the text of a reading and the log line.
#include <QDateTime>
#include <QLocale>
#include <gtest/gtest.h>
#include <tuple>

#include "log/measurement_log.h"
#include "log/reading_text.h"

TEST(ReadingText, HasOneDecimalAndTheLocalesSeparator)
{
    const std::tuple<QLocale::Language, double, const char*> cases[] = {
        {QLocale::French, 21.5, "21,5°C"}, {QLocale::French, -3, "-3,0°C"},   {QLocale::French, 127.99609375, "128,0°C"},
        {QLocale::French, -0.04, "0,0°C"}, {QLocale::French, -128, "-128,0°C"}, {QLocale::C, -0.5, "-0.5°C"},
        {QLocale::German, 1234.5, "1234,5°C"},  // never a group separator
    };
    for (const auto& [language, celsius, expected] : cases) {
        QLocale::setDefault(QLocale(language));
        EXPECT_EQ(measurement::reading_text(celsius).toStdString(), expected) << celsius;
    }
    QLocale::setDefault(QLocale::c());
}

TEST(MeasurementLog, RecordHasPaddedColumnsOutdoorFirstInCp1252WithCrLf)
{
    const QDateTime when(QDate(2026, 3, 4), QTime(15, 6, 7));
    EXPECT_EQ(measurement::log_record(when, QStringLiteral("--.-°C"), QStringLiteral("-25,0°C")),
              "03-04-2026    15:06:07      --.-\xB0" "C        -25,0\xB0" "C\r\n");
}
