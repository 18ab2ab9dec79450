#include "cli/options.h"

#include <algorithm>
#include <set>

#include "bus/posix_serial_control.h"
#include "history/history_command.h"
#include "text/cp1252.h"

namespace cli {
namespace {

bool is_control(char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; }

// A value quoted for a one-line message: control bytes become '?', and a long
// value is cut (at a character boundary) so the line stays readable.
std::string quoted(std::string_view value)
{
    constexpr std::size_t shown = 60;
    std::string cut(value.substr(0, text::utf8_prefix_length(value, shown)));
    if (value.size() > shown) {
        cut += "...";
    }
    std::replace_if(cut.begin(), cut.end(), is_control, '?');
    return "'" + cut + "'";
}

bool is_com_port(std::string_view value)
{
    return value.size() == 4 && (value[0] == 'C' || value[0] == 'c') && (value[1] == 'O' || value[1] == 'o') &&
           (value[2] == 'M' || value[2] == 'm') && value[3] >= '1' && value[3] <= '4';
}

// Each setter stores a value or says why it cannot.
std::string set_port(Options& options, std::string_view value)
{
    if (is_com_port(value)) {
        options.port = "COM" + std::string(1, value[3]);
        return {};
    }
    if (const auto refusal = serial::device_path_refusal(std::string(value))) {
        return "--port " + quoted(value) + ": " + refusal->why + "; a port is COM1 to COM4 or a device such as /dev/ttyUSB0";
    }
    options.port = std::string(value);
    return {};
}

std::string set_sensors(Options& options, std::string_view value)
{
    if (value != "1" && value != "2") {
        return "--sensors takes 1 or 2, not " + quoted(value);
    }
    options.sensors = value[0] - '0';
    return {};
}

std::string set_every(Options& options, std::string_view value)
{
    int seconds = 0;
    const bool digits = !value.empty() && value.size() <= 6 &&
                        std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (digits) {
        for (const char c : value) seconds = seconds * 10 + (c - '0');
    }
    if (seconds < 1 || seconds > max_every_seconds) {
        return "--every takes a whole number of seconds from 1 to " + std::to_string(max_every_seconds) + ", not " +
               quoted(value);
    }
    options.every_seconds = seconds;
    return {};
}

std::string set_file(Options& options, std::string_view value)
{
    if (value.empty()) {
        return "--file needs a path";
    }
    options.file = std::string(value);
    return {};
}

std::string set_json(Options& options, std::string_view)
{
    options.json = true;
    return {};
}

std::string add_device(Options& options, std::string_view name)
{
    if (const auto refusal = serial::device_path_refusal(std::string(name))) {
        return "--find " + quoted(name) + ": " + refusal->why;
    }
    options.devices.emplace_back(name);
    return {};
}

struct Option {
    std::string_view name;
    Command command;  // the command it chooses; window for the settings of a command
    std::string (*set)(Options&, std::string_view value);
    bool takes_value;
    bool with_read, with_log;  // settings: the commands they go with
    bool with_find = false;
    // A command whose set takes each plain word that follows it (--find's devices).
    bool takes_names = false;
};

constexpr Option option_table[] = {
    {"--help", Command::help, nullptr, false, false, false},
    {"-h", Command::help, nullptr, false, false, false},
    {"--version", Command::version, nullptr, false, false, false},
    {"--read", Command::read, nullptr, false, false, false},
    {"--log", Command::log, nullptr, false, false, false},
    {"--port", Command::window, set_port, true, true, true},
    {"--sensors", Command::window, set_sensors, true, true, true},
    {"--json", Command::window, set_json, false, true, false, true},
    {"--every", Command::window, set_every, true, false, true},
    {"--file", Command::window, set_file, true, false, true},
    {"--find", Command::find, add_device, false, false, false, false, true},
};

const Option* find_option(std::string_view name)
{
    for (const Option& option : option_table) {
        if (option.name == name) return &option;
    }
    return nullptr;
}

bool goes_with(const Option& option, Command command)
{
    return (command == Command::read && option.with_read) || (command == Command::log && option.with_log) ||
           (command == Command::find && option.with_find);
}

std::string commands_of(const Option& option)
{
    std::string text;
    for (const auto& [with, name] : {std::pair(option.with_read, "--read"), std::pair(option.with_log, "--log"),
                                     std::pair(option.with_find, "--find")}) {
        if (with) text += (text.empty() ? "" : " or ") + std::string(name);
    }
    return text.find(" or ") == std::string::npos ? text + " only" : text;
}

Options usage_error(std::string error)
{
    Options options;
    options.command = Command::usage_error;
    options.error = std::move(error);
    return options;
}

}  // namespace

std::vector<std::string> arguments_of(int argc, char** argv)
{
    return argc > 1 ? std::vector<std::string>(argv + 1, argv + argc) : std::vector<std::string>{};
}

Options parse_arguments(const std::vector<std::string>& words)
{
    const auto history = std::find(words.begin(), words.end(), "--history");
    if (std::any_of(words.begin(), history, [](const std::string& word) { return word == "--help" || word == "-h"; })) {
        Options options;
        options.command = Command::help;
        return options;
    }

    Options options;
    std::vector<const Option*> given;  // in the order given
    const Option* chosen = nullptr;    // the option that chose the command
    for (auto word = words.begin(); word != words.end(); ++word) {
        if (word == history) {
            if (chosen != nullptr) {
                return usage_error(std::string(chosen->name) + " and --history cannot be combined");
            }
            if (!given.empty()) {
                return usage_error(std::string(given.front()->name) + " goes with " + commands_of(*given.front()));
            }
            options.command = Command::history;
            options.history_arguments.assign(word + 1, words.end());
            return options;
        }
        const std::size_t equals = word->starts_with("--") ? word->find('=') : std::string::npos;
        const std::string name = word->substr(0, equals);
        const Option* option = find_option(name);
        if (option == nullptr && chosen != nullptr && chosen->takes_names && !word->starts_with("-")) {
            if (std::string error = chosen->set(options, *word); !error.empty()) {
                return usage_error(std::move(error));
            }
            continue;
        }
        if (option == nullptr) {
            const bool looks_like_option = word->size() > 1 && word->starts_with("-");
            return usage_error((looks_like_option ? "unknown option " : "unexpected argument ") + quoted(*word));
        }
        if (std::find(given.begin(), given.end(), option) != given.end()) {
            return usage_error(name + " given twice");
        }
        given.push_back(option);
        if (!option->takes_value && equals != std::string::npos) {
            return usage_error(name + " takes no value");
        }
        if (option->command != Command::window) {
            if (chosen != nullptr) {
                return usage_error(std::string(chosen->name) + " and " + name + " cannot be combined");
            }
            chosen = option;
            options.command = option->command;
            continue;
        }
        std::string_view value;
        if (equals != std::string::npos) {
            value = std::string_view(*word).substr(equals + 1);
        } else if (option->takes_value) {
            if (word + 1 == words.end() || word + 1 == history) {
                return usage_error(name + " needs a value");
            }
            value = *++word;
        }
        if (std::string error = option->set(options, value); !error.empty()) {
            return usage_error(std::move(error));
        }
    }

    for (const Option* option : given) {
        if (option->command == Command::window && !goes_with(*option, options.command)) {
            return usage_error(std::string(option->name) + " goes with " + commands_of(*option));
        }
    }
    return options;
}

std::string usage_text()
{
    return "Usage:\n"
           "  quelvane                 the window\n"
           "  quelvane --read [--port P] [--sensors 1|2] [--json]\n"
           "  quelvane --log [--port P] [--sensors 1|2] [--every SECONDS] [--file PATH]\n"
           "  quelvane --history [FILE] [--png OUT [--size WxH]] [--csv OUT]\n"
           "  quelvane --find [DEVICE...] [--json]\n"
           "  quelvane --help | -h\n"
           "  quelvane --version\n"
           "\n"
           "  --read           read each sensor once and print \"sensor1 21.5\", one line a\n"
           "                   sensor read; exit status 0 when every sensor was read, else 1\n"
           "  --json           with --read: one JSON object, with the time; a failed sensor\n"
           "                   is null; with --find: one JSON array, an object a device\n"
           "  --log            append a reading every interval to the measurement log, in\n"
           "                   the window's format, until SIGTERM, SIGINT or SIGHUP\n" +
           history::usage_lines() +
           "  --find           probe serial devices for the sensor board: the DEVICEs named,\n"
           "                   else /dev/ttyS0 to ttyS3, every ttyUSB and ttyACM, and the\n"
           "                   /dev/serial/by-id names; prints what each holds and the\n"
           "                   [Ports] line to use. Probing toggles DTR and RTS on every\n"
           "                   device probed, which resets some devices; a device another\n"
           "                   program holds is skipped. Exit status 0 when a board was\n"
           "                   found, else 1\n"
           "  --port P         COM1 to COM4, mapped as the window maps them, or a device\n"
           "                   such as /dev/ttyUSB0 (default: the port the window uses)\n"
           "  --sensors 1|2    sensor 1 alone, or sensors 1 and 2 (default: as the window)\n"
           "  --every SECONDS  the interval of --log, 1 to " + std::to_string(max_every_seconds) +
           " (default: as the window)\n"
           "  --file PATH      the log of --log (default: ./Quelvane.txt)\n"
           "\n"
           "The defaults come from ./Quelvane.INI, which these commands never write.\n"
           "A bad option or value is reported on stderr, with exit status 2.\n";
}

std::string version_text() { return "quelvane " QUELVANE_VERSION; }

}  // namespace cli
