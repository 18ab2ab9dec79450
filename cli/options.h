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
    history,  // every word after --history belongs to the history
};

// Whether a command reads or writes the settings file or the measurement log
// of the current folder (the window, --read, --log, --history).
constexpr bool uses_files(Command command)
{
    return command == Command::window || command == Command::read || command == Command::log ||
           command == Command::history;
}

struct Options {
    Command command = Command::window;
    std::string error;  // usage_error: one line, without the program name
    // "COM1".."COM4", or a device path that serial::device_path_refusal accepts.
    std::optional<std::string> port;
    std::optional<int> sensors;        // 1 or 2
    std::optional<int> every_seconds;  // 1 to max_every_seconds
    std::optional<std::string> file;
    bool json = false;
    std::vector<std::string> history_arguments;
    // --mqtt and its options, --metrics.
    publish::Request publishing;
};

inline constexpr int max_every_seconds = 86400;

// words: the arguments after the program name. --help or -h anywhere before
// --history asks for the usage, whatever else is there.
Options parse_arguments(const std::vector<std::string>& words);
std::vector<std::string> arguments_of(int argc, char** argv);

// The --help text, every option, ending with a newline.
std::string usage_text();
// "quelvane X.Y.Z"
std::string version_text();

}  // namespace cli
