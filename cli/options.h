// The command line: whether the program shows its window, runs a one-shot
// command or opens the history, and the options of that command.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "publish/request.h"

namespace cli {

enum class Command {
    window,       // no arguments at all
    usage_error,  // Options::error says why
    help,
    version,
    read,
    log,
    history,
    find,  // probes serial devices for the sensor board
};

// Whether a command reads or writes the settings file or the measurement log
// of the current folder (the window, --read, --log, --history).
constexpr bool uses_files(Command command)
{
    return command == Command::window || command == Command::read || command == Command::log ||
           command == Command::history;
}

inline constexpr int max_every_seconds = 86400;
// The history's image: its default size, and the least and most of a side.
inline constexpr int default_png_width = 1200;
inline constexpr int default_png_height = 600;
inline constexpr int min_png_side = 160;
inline constexpr int max_png_side = 8192;

struct Options {
    Command command = Command::window;
    std::string error;  // usage_error: one line, without the program name
    bool history_help = false;  // help: the history's usage lines alone
    // "COM1".."COM4", or a device path that serial::device_path_refusal accepts.
    std::optional<std::string> port;
    std::optional<int> sensors;        // 1 or 2
    std::optional<int> every_seconds;  // 1 to max_every_seconds
    std::optional<std::string> file;
    bool json = false;
    // --history: the log it reads (FILE), and its exports.
    std::optional<std::string> history_file;
    std::string png;  // empty: none
    std::string csv;  // empty: none; "-": standard output
    int png_width = default_png_width;
    int png_height = default_png_height;
    // --find: the devices named after it; none: every serial device present.
    std::vector<std::string> devices;
    // --mqtt and its options, --metrics.
    publish::Request publishing;
};

// Whether these options show a window (the monitor, or the history without
// an export), which needs a display.
constexpr bool shows_a_window(const Options& options)
{
    return options.command == Command::window ||
           (options.command == Command::history && options.png.empty() && options.csv.empty());
}

// words: the arguments after the program name. Every option that takes a
// value also takes it as --option=value. --help or -h anywhere before
// --history asks for the usage, whatever else is there; after it, for the
// history's usage.
Options parse_arguments(const std::vector<std::string>& words);
std::vector<std::string> arguments_of(int argc, char** argv);

// The --help text, every option, ending with a newline.
std::string usage_text();
// The lines of usage_text about --history and its options: all that
// quelvane --history --help prints.
std::string history_usage_text();
// "quelvane X.Y.Z"
std::string version_text();

}  // namespace cli
