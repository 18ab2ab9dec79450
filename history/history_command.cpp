#include "history/history_command.h"

#include <QApplication>
#include <QGuiApplication>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <optional>

#include "history/history_export.h"
#include "history/history_window.h"
#include "log/log_reader.h"
#include "text/cp1252.h"

namespace history {
namespace {

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

int run_exports(int argc, char** argv, const Request& request)
{
    // The records are read on other threads while the toolkit starts.
    auto reading = std::async(std::launch::async, [&request] {
        struct Result {
            std::vector<LogRecord> records;
            std::uint64_t skipped = 0;
            std::string error;
            bool ok = false;
        } result;
        result.ok = measurement::read_log_file(request.file, result.records, result.skipped, result.error);
        return result;
    });
    std::optional<QGuiApplication> application;
    if (!request.png.empty()) {
        // Drawing needs fonts, never a display.
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        toolkit_messages = qInstallMessageHandler(quiet_about_runtime_directory);
        application.emplace(argc, argv);
    }
    auto read = reading.get();
    if (!read.ok) {
        std::fprintf(stderr, "quelvane: --history: cannot read %s: %s\n", text::printable(request.file).c_str(),
                     read.error.c_str());
        return 1;
    }
    const auto count = [](std::uint64_t n, const char* what) {
        return std::to_string(n) + " " + what + (n == 1 ? "" : "s");
    };
    std::fprintf(stderr, "%s: %s, %s skipped\n", text::printable(request.file).c_str(),
                 count(read.records.size(), "record").c_str(), count(read.skipped, "line").c_str());
    std::string error;
    if (!request.csv.empty() && !export_csv(read.records, request.csv, error)) {
        std::fprintf(stderr, "quelvane: --history: cannot write %s: %s\n", text::printable(request.csv).c_str(),
                     error.c_str());
        return 1;
    }
    if (!request.png.empty()) {
        Series series;
        series.assign(std::move(read.records));
        if (!export_png(series, request.size, request.png, error)) {
            std::fprintf(stderr, "quelvane: --history: cannot write %s: %s\n", text::printable(request.png).c_str(),
                         error.c_str());
            return 1;
        }
    }
    return 0;
}

}  // namespace

int run_history(int argc, char** argv, const Request& request)
{
    if (!request.png.empty() || !request.csv.empty()) {
        return run_exports(argc, argv, request);
    }
    QApplication application(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quelvane"));
    HistoryWindow window(QString::fromLocal8Bit(request.file.c_str()));
    window.setAttribute(Qt::WA_QuitOnClose, true);
    window.show();
    return QApplication::exec();
}

}  // namespace history
