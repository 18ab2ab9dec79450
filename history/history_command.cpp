#include "history/history_command.h"

#include <QApplication>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>

#include "history/history_export.h"
#include "history/history_window.h"
#include "log/measurement_log.h"

namespace history {
namespace {

struct Options {
    std::string file = measurement::log_file_name;
    std::string png;
    std::string csv;
    QSize size = default_png_size;
    bool help = false;
};

// "WxH" with each side within the PNG limits.
std::optional<QSize> parse_size(const std::string& text)
{
    int width = 0;
    int height = 0;
    char rest = 0;
    if (std::sscanf(text.c_str(), "%5dx%5d%c", &width, &height, &rest) != 2 || text.find_first_of("+- ") != std::string::npos ||
        width < min_png_side || width > max_png_side || height < min_png_side || height > max_png_side) {
        return std::nullopt;
    }
    return QSize(width, height);
}

// The options, or one line on stderr (unless quiet) and nothing.
std::optional<Options> parse(const std::vector<std::string>& arguments, bool quiet = false)
{
    Options options;
    bool file_given = false;
    bool size_given = false;
    const auto fail = [quiet](const std::string& message) {
        if (!quiet) {
            std::fprintf(stderr, "quelvane: --history: %s (see quelvane --help)\n", message.c_str());
        }
        return std::nullopt;
    };
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& word = arguments[i];
        if (word == "--help" || word == "-h") {
            options.help = true;
        } else if (word == "--png" || word == "--csv" || word == "--size") {
            if (i + 1 == arguments.size() || arguments[i + 1].empty()) {
                return fail(word + " needs a value");
            }
            const std::string& value = arguments[++i];
            if (word == "--png") {
                options.png = value;
            } else if (word == "--csv") {
                options.csv = value;
            } else if (const auto size = parse_size(value)) {
                options.size = *size;
                size_given = true;
            } else {
                return fail("--size takes WIDTHxHEIGHT, each from " + std::to_string(min_png_side) + " to " +
                            std::to_string(max_png_side) + ", not '" + value + "'");
            }
        } else if (word.size() > 1 && word[0] == '-') {
            return fail("unknown option " + word);
        } else if (file_given || word.empty()) {
            return fail(word.empty() ? "empty file name" : "one FILE only, not also '" + word + "'");
        } else {
            options.file = word;
            file_given = true;
        }
    }
    if (size_given && options.png.empty()) {
        return fail("--size goes with --png");
    }
    return options;
}

// An export run from cron or a service has no session runtime directory;
// the toolkit's warning about it is no concern of a command that draws
// offscreen, and would be taken for a fault.
QtMessageHandler toolkit_messages = nullptr;
void quiet_about_runtime_directory(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (!message.startsWith(QLatin1String("QStandardPaths: XDG_RUNTIME_DIR"))) {
        toolkit_messages(type, context, message);
    }
}

int run_exports(int argc, char** argv, const Options& options)
{
    // The records are read on other threads while the toolkit starts.
    auto reading = std::async(std::launch::async, [&options] {
        struct Result {
            std::vector<LogRecord> records;
            std::uint64_t skipped = 0;
            std::string error;
            bool ok = false;
        } result;
        result.ok = measurement::read_log_file(options.file, result.records, result.skipped, result.error);
        return result;
    });
    std::optional<QGuiApplication> application;
    if (!options.png.empty()) {
        // Drawing needs fonts, never a display.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        toolkit_messages = qInstallMessageHandler(quiet_about_runtime_directory);
        application.emplace(argc, argv);
    }
    auto read = reading.get();
    if (!read.ok) {
        std::fprintf(stderr, "quelvane: --history: cannot read %s: %s\n", options.file.c_str(), read.error.c_str());
        return 1;
    }
    const auto count = [](std::uint64_t n, const char* what) {
        return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
    };
    std::fprintf(stderr, "%s: %s, %s skipped\n", options.file.c_str(), count(read.records.size(), "record").c_str(),
                 count(read.skipped, "line").c_str());
    std::string error;
    if (!options.csv.empty() && !export_csv(read.records, options.csv, error)) {
        std::fprintf(stderr, "quelvane: --history: cannot write %s: %s\n", options.csv.c_str(), error.c_str());
        return 1;
    }
    if (!options.png.empty()) {
        Series series;
        series.assign(std::move(read.records));
        if (!export_png(series, options.size, options.png, error)) {
            std::fprintf(stderr, "quelvane: --history: cannot write %s: %s\n", options.png.c_str(), error.c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace

std::string usage_lines()
{
    const std::string size = std::to_string(default_png_size.width()) + "x" + std::to_string(default_png_size.height());
    return "  --history        the measurement log (FILE, default ./Quelvane.txt) as a chart\n"
           "                   that follows the file\n"
           "  --png OUT        with --history: the whole log as a PNG image, no display needed\n"
           "  --size WxH       with --png: the image's size (default " + size + ")\n"
           "  --csv OUT        with --history: the records as CSV (time,sensor1,sensor2),\n"
           "                   no display needed; - for standard output\n";
}

bool needs_display(const std::vector<std::string>& arguments)
{
    const std::optional<Options> options = parse(arguments, true);
    return options && !options->help && options->png.empty() && options->csv.empty();
}

int run_history(int argc, char** argv, const std::vector<std::string>& arguments)
{
    const std::optional<Options> options = parse(arguments);
    if (!options) {
        return 2;
    }
    if (options->help) {
        const std::string lines = usage_lines();
        std::fwrite(lines.data(), 1, lines.size(), stdout);
        return 0;
    }
    if (!options->png.empty() || !options->csv.empty()) {
        return run_exports(argc, argv, *options);
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quelvane"));
    HistoryWindow window(QString::fromLocal8Bit(options->file.c_str()));
    window.setAttribute(Qt::WA_QuitOnClose, true);
    window.show();
    return QApplication::exec();
}

}  // namespace history
