// The measurement record: the text of a reading and the log line.
#include <QDateTime>
#include <QLocale>
#include <clocale>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "files/output_file.h"
#include "files/regular_file.h"
#include "log/measurement_log.h"
#include "log/reading_text.h"
#include "tests/support/temp_dir.h"

TEST(ReadingText, HasOneDecimalAndTheLocalesSeparator)
{
    const std::tuple<QLocale::Language, double, const char*> cases[] = {
        {QLocale::French, 21.5, "21,5°C"}, {QLocale::French, -3, "-3,0°C"},   {QLocale::French, 127.99609375, "128,0°C"},
        {QLocale::French, -0.04, "0,0°C"}, {QLocale::French, -128, "-128,0°C"}, {QLocale::C, -0.5, "-0.5°C"},
        {QLocale::German, 1234.5, "1234,5°C"},  // never a group separator
    };
    // The toolkit sets the C library's locale from the environment too: with
    // a French one there, printf would already write a comma.
    const bool french_numbers = std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") != nullptr;
    for (const auto& [language, celsius, expected] : cases) {
        QLocale::setDefault(QLocale(language));
        EXPECT_EQ(measurement::reading_text(celsius).toStdString(), expected) << celsius;
    }
    std::setlocale(LC_NUMERIC, "C");
    QLocale::setDefault(QLocale::c());
    EXPECT_TRUE(french_numbers) << "the fr_FR.UTF-8 locale is missing (scripts/deps.sh test makes it)";
}

TEST(MeasurementLog, RecordHasPaddedColumnsOutdoorFirstInCp1252WithCrLf)
{
    const QDateTime when(QDate(2026, 3, 4), QTime(15, 6, 7));
    EXPECT_EQ(measurement::log_record(when, QStringLiteral("-25,0°C"), QStringLiteral("--.-°C")),
              "03-04-2026    15:06:07      -25,0\xB0" "C       --.-\xB0" "C\r\n");
}

// Where the log path leads: a record is appended through links (a dangling
// one creates its file, but never under /dev), to a FIFO only while it has a
// reader, and never waits; a device or a directory there is refused.
TEST(MeasurementLog, AppendsThroughLinksNeverBlocksOnAFifoAndRefusesDevices)
{
    const testsupport::TempDir scratch;
    const std::filesystem::path dir = scratch.path(), path = dir / "Quelvane.txt", elsewhere = dir / "other" / "kept.txt";
    const std::filesystem::path nowhere = "/dev/quelvane-test-missing-" + std::to_string(::getpid());
    const std::string record = "03-04-2026    15:06:07      --.-\xB0" "C        -25,0\xB0" "C\r\n";
    const struct { const char* name; std::function<void()> make; int error; std::filesystem::path lands; } cases[] = {
        {"plain", [&] { std::ofstream(path) << "x\r\n"; }, 0, path},
        {"link", [&] { std::ofstream(elsewhere) << "x\r\n", std::filesystem::create_symlink("other/kept.txt", path); }, 0, elsewhere},
        {"dangling link", [&] { std::filesystem::create_symlink(elsewhere, path); }, 0, elsewhere},
        {"dangling link into /dev", [&] { std::filesystem::create_symlink(nowhere, path); }, files::not_created_under_dev, ""},
        {"fifo, no reader", [&] { ::mkfifo(path.c_str(), 0644); }, ENXIO, ""},
        {"device", [&] { std::filesystem::create_symlink("/dev/null", path); }, files::not_a_regular_file, ""},
        {"directory", [&] { std::filesystem::create_directory(path); }, files::not_a_regular_file, ""},
    };
    ::alarm(20);  // a write that blocks ends the run here rather than hanging it
    for (const auto& c : cases) {
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir / "other");
        c.make();
        const std::string before = c.lands.empty() ? "" : testsupport::read_bytes(c.lands);
        const auto kind = std::filesystem::symlink_status(path).type();
        EXPECT_EQ(measurement::LogWriter(path).append(record), c.error) << c.name;
        if (!c.lands.empty()) {
            EXPECT_EQ(testsupport::read_bytes(c.lands), before + record) << c.name;
        }
        EXPECT_EQ(std::filesystem::symlink_status(path).type(), kind) << c.name;  // a link stays a link
        if (std::filesystem::exists(std::filesystem::symlink_status(nowhere))) {
            std::filesystem::remove(nowhere);
            ADD_FAILURE() << c.name << ": made " << nowhere;
        }
    }
    EXPECT_EQ(measurement::log_error_text(files::not_created_under_dev), "no such file, and none is made under /dev");

    // A FIFO stays open from one record to the next, so that its reader gets
    // them all; once the reader has gone, a record fails (the program goes
    // on: no SIGPIPE) and the next reader is found again.
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    ASSERT_EQ(::mkfifo(path.c_str(), 0644), 0);
    const auto read_all = [](int fd) {
        std::string bytes(4096, '\0');
        const ssize_t got = ::read(fd, bytes.data(), bytes.size());
        return bytes.substr(0, got > 0 ? static_cast<std::size_t>(got) : 0);
    };
    measurement::LogWriter log(path);
    for (int reader_run = 0; reader_run < 2; ++reader_run) {
        const int reader = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
        ASSERT_GE(reader, 0);
        EXPECT_EQ(log.append(record), 0);
        EXPECT_EQ(log.append(record), 0);
        EXPECT_EQ(read_all(reader), record + record);
        ::close(reader);
        EXPECT_EQ(log.append(record), EPIPE);
        EXPECT_EQ(log.append(record), ENXIO);
    }
    ::alarm(0);
}
