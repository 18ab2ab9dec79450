// The history window following its file, the chart's controls and what a
// screen reader hears of it, the PNG export and where an export goes. The
// program's own export run is in the command-line program tests, its usage
// errors in the command line's.
#include <QAccessible>
#include <QApplication>
#include <QImage>
#include <QLocale>
#include <QTimer>
#include <QWheelEvent>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "history/chart.h"
#include "history/history_command.h"
#include "history/history_export.h"
#include "history/history_window.h"
#include "tests/support/temp_dir.h"

namespace {

using testsupport::TempDir;

std::string record(int second, const char* outdoor, const char* indoor)
{
    char line[80];
    std::snprintf(line, sizeof line, "01-02-2026    10:00:%02d      %-14s%s\r\n", second, outdoor, indoor);
    return line;
}

void append(const std::string& path, const std::string& bytes)
{
    std::ofstream(path, std::ios::binary | std::ios::app) << bytes;
}

// What the loader thread read, as the window's event loop hands it over.
void take_reading(history::HistoryWindow& window)
{
    while (window.loading()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 5);
    }
}

void follow(history::HistoryWindow& window)
{
    window.follow_file();
    take_reading(window);
}

class HistoryTest : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::French, QLocale::France)); }
    void TearDown() override { QLocale::setDefault(QLocale::c()); }
    TempDir dir;
    std::string log = dir.file("Quelvane.txt");
};

}  // namespace

TEST_F(HistoryTest, FollowsTheFileAsItGrowsAndWaitsForAPartialLineToEnd)
{
    history::HistoryWindow window(QString::fromStdString(log));
    EXPECT_EQ(window.windowTitle(), QStringLiteral("Quelvane — historique"));
    take_reading(window);  // the reading from the start
    EXPECT_EQ(window.status_text(), QStringLiteral("Quelvane.txt : fichier introuvable, en attente des premiers relevés"));
    EXPECT_TRUE(window.follow_timer().isActive());
    EXPECT_EQ(window.follow_timer().interval(), 1000);

    append(log, record(0, "8,0\xB0" "C", "21,5\xB0" "C") + record(1, "8,1\xB0" "C", "21,6\xB0" "C"));
    follow(window);
    ASSERT_EQ(window.series().size(), 2u);
    const history::TimeSpan all = window.chart().span();

    // The monitor appends a record and is cut in the middle of the next one.
    const std::string third = record(2, "--.-\xB0" "C", "21,7\xB0" "C");
    append(log, third + record(3, "8,3\xB0" "C", "21,8\xB0" "C").substr(0, 30));
    follow(window);
    EXPECT_EQ(window.series().size(), 3u);
    EXPECT_EQ(window.status_text(), QStringLiteral("Quelvane.txt : 3 relevés"));
    EXPECT_GT(window.chart().span().t1, all.t1);  // a view of everything follows the end
    append(log, record(3, "8,3\xB0" "C", "21,8\xB0" "C").substr(30) + "junk\r\n");
    follow(window);
    ASSERT_EQ(window.series().size(), 4u);
    EXPECT_EQ(window.series().records().back(), (measurement::LogRecord{window.series().records()[0].time + 3, 218, 83}));
    EXPECT_EQ(window.status_text(), QStringLiteral("Quelvane.txt : 4 relevés, 1 ligne ignorée"));

    // A log replaced by a shorter one is read again from its start, on the
    // loader thread: the window's thread only takes the series it built.
    testsupport::write_bytes(log, record(9, "1,0\xB0" "C", "2,0\xB0" "C"));
    window.follow_file();
    EXPECT_TRUE(window.loading());
    EXPECT_EQ(window.series().size(), 4u);
    take_reading(window);
    ASSERT_EQ(window.series().size(), 1u);
    EXPECT_EQ(window.series().records()[0].sensor1, 20);
}

TEST_F(HistoryTest, ChartZoomsPansAndTellsItsFiguresToAScreenReader)
{
    std::string bytes;
    for (int second = 0; second < 60; ++second) {
        bytes += record(second, "8,0\xB0" "C", second < 30 ? "20,0\xB0" "C" : "22,0\xB0" "C");
    }
    testsupport::write_bytes(log, bytes);
    history::HistoryWindow window(QString::fromStdString(log));
    follow(window);
    window.resize(800, 400);
    history::ChartView& chart = window.chart();
    const history::TimeSpan all = chart.span();
    ASSERT_EQ(all.width(), 60);

    chart.zoom(0.5, all.t0);  // the anchor stays put
    EXPECT_EQ(chart.span(), (history::TimeSpan{all.t0, all.t0 + 30}));
    chart.pan(10);            // kept within the records
    EXPECT_EQ(chart.span(), (history::TimeSpan{all.t1 - 30, all.t1}));
    chart.zoom(0.001, all.t1);
    EXPECT_EQ(chart.span().width(), history::ChartView::min_span);
    QWheelEvent wheel_out(QPointF(400, 200), QPointF(400, 200), {}, QPoint(0, -1200), Qt::NoButton, Qt::NoModifier,
                          Qt::NoScrollPhase, false);
    QApplication::sendEvent(&chart, &wheel_out);  // ten notches out: everything
    EXPECT_EQ(chart.span(), all);

    chart.zoom(0.5, all.t0);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(&chart);
    ASSERT_NE(accessible, nullptr);
    EXPECT_EQ(accessible->role(), QAccessible::Chart);
    EXPECT_EQ(accessible->text(QAccessible::Name), QStringLiteral("Graphique des températures"));
    EXPECT_EQ(accessible->text(QAccessible::Description),
              QStringLiteral("Capteur 1 : min 20,0°C, max 20,0°C, moyenne 20,0°C. "
                             "Capteur 2 : min 8,0°C, max 8,0°C, moyenne 8,0°C."));
    QKeyEvent home(QEvent::KeyPress, Qt::Key_Home, Qt::NoModifier);
    QApplication::sendEvent(&chart, &home);
    EXPECT_EQ(chart.span(), all);
    EXPECT_EQ(accessible->text(QAccessible::Description),
              QStringLiteral("Capteur 1 : min 20,0°C, max 22,0°C, moyenne 21,0°C. "
                             "Capteur 2 : min 8,0°C, max 8,0°C, moyenne 8,0°C."));
}

TEST_F(HistoryTest, PngExportHasTheSizeAskedAndShowsBothSeries)
{
    history::Series series;
    std::vector<measurement::LogRecord> records;
    for (std::uint32_t t = 0; t < 3600; ++t) {
        records.push_back({1'767'225'600 + t, static_cast<std::int16_t>(200 + t % 50), t % 600 < 10 ? measurement::no_value : std::int16_t{80}});
    }
    series.assign(records);
    std::string error;
    ASSERT_TRUE(history::export_png(series, QSize(640, 360), dir.file("out.png"), error)) << error;
    const QImage image(QString::fromStdString(dir.file("out.png")));
    EXPECT_EQ(image.size(), QSize(640, 360));
    int red = 0;
    int blue = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y);
            red += pixel == qRgb(0xc0, 0x39, 0x2b);
            blue += pixel == qRgb(0x1f, 0x6f, 0xb2);
        }
    }
    EXPECT_GT(red, 1000);
    EXPECT_GT(blue, 300);
    EXPECT_FALSE(history::export_png(series, QSize(640, 360), dir.file("absent/out.png"), error));
}

// Where an export goes, as the command runs it: a regular file (also through
// a link) is replaced whole, the link kept; whatever else is there is written
// as it is and stays what it was; a directory, and a name under /dev that
// leads nowhere, are refused, and nothing is made there.
TEST(HistoryCommand, AnExportReplacesARegularFileAndWritesAnythingElseAsItIs)
{
    using std::filesystem::file_type;
    TempDir dir;
    const std::string log = dir.file("Quelvane.txt"), out = dir.file("out.csv"), file = dir.file("file.csv");
    testsupport::write_bytes(log, record(0, "8,0\xB0" "C", "21,5\xB0" "C"));
    const std::string csv = "time,sensor1,sensor2\n2026-01-02T10:00:00,21.5,8.0\n";
    const std::string nowhere = "/dev/quelvane-test-missing-" + std::to_string(::getpid());
    int pipe_ends[2] = {-1, -1};  // reached through /dev/fd, as /dev/stdout leads to standard output
    ASSERT_EQ(::pipe(pipe_ends), 0);
    int reader = -1;
    const struct {
        const char* name;
        std::function<void()> make;
        std::string path;  // what --csv names
        int status;
        std::string said;  // a part of standard error
        std::string got;   // where the bytes went: a file, or "reader"; empty: nowhere to look
        file_type kind;    // of path afterwards, links not followed
    } cases[] = {
        {"regular file", [&] { testsupport::write_bytes(out, "old"); }, out, 0, "", out, file_type::regular},
        {"link to a file", [&] { testsupport::write_bytes(file, "old"), std::filesystem::create_symlink("file.csv", out); },
         out, 0, "", file, file_type::symlink},
        {"fifo with a reader", [&] { ::mkfifo(out.c_str(), 0600), reader = ::open(out.c_str(), O_RDONLY | O_NONBLOCK); },
         out, 0, "", "reader", file_type::fifo},
        {"pipe", [&] { reader = pipe_ends[0]; }, "/dev/fd/" + std::to_string(pipe_ends[1]), 0, "", "reader",
         file_type::symlink},
        {"/dev/null", [] {}, "/dev/null", 0, "", "", file_type::character},
        {"/dev/full", [] {}, "/dev/full", 1, "cannot write /dev/full: writing: " + std::string(std::strerror(ENOSPC)), "",
         file_type::character},
        {"link to a device", [&] { std::filesystem::create_symlink("/dev/null", out); }, out, 0, "", "", file_type::symlink},
        {"directory", [&] { std::filesystem::create_directory(out); }, out, 1, std::strerror(EISDIR), "",
         file_type::directory},
        {"dangling link into /dev", [&] { std::filesystem::create_symlink(nowhere, out); }, out, 1,
         "no such file, and none is made under /dev", "", file_type::symlink},
    };
    for (const auto& c : cases) {
        for (const std::string& path : {out, file}) std::filesystem::remove_all(path);
        reader = -1;
        c.make();
        ::testing::internal::CaptureStderr();
        EXPECT_EQ(history::run_history(0, nullptr, {log, "", c.path, {}}), c.status) << c.name;
        const std::string said = ::testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find(c.said), std::string::npos) << c.name << ": " << said;
        EXPECT_EQ(std::filesystem::symlink_status(c.path).type(), c.kind) << c.name;
        if (c.got == "reader") {
            if (reader == pipe_ends[0]) ::close(pipe_ends[1]);
            std::string bytes(4096, '\0');
            bytes.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::read(reader, bytes.data(), bytes.size()))));
            EXPECT_EQ(bytes, csv) << c.name;
            ::close(reader);
        } else if (!c.got.empty()) {
            EXPECT_EQ(testsupport::read_bytes(c.got), csv) << c.name;
        }
        for (const std::string& name : dir.entries()) EXPECT_FALSE(name.starts_with(".")) << c.name << ": " << name;
        if (std::filesystem::exists(std::filesystem::symlink_status(nowhere))) {
            std::filesystem::remove(nowhere);
            ADD_FAILURE() << c.name << ": made " << nowhere;
        }
    }
}
