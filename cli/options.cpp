#include "cli/options.h"

#include <algorithm>
#include <cstdio>

#include "bus/posix_serial_control.h"
#include "text/cp1252.h"

namespace cli {
namespace {

// A value quoted for a one-line message: control bytes become '?', and a long
// value is cut (at a character boundary) so the line stays readable.
std::string quoted(std::string_view value)
{
    constexpr std::size_t shown = 60;
    std::string cut = text::printable(value.substr(0, text::utf8_prefix_length(value, shown)));
    if (value.size() > shown) {
        cut += "...";
    }
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

// A path, which may be anything but empty, into target (a std::string or an
// optional one); if_empty is the error for the empty one.
template <class Target>
std::string set_path(Target& target, std::string_view if_empty, std::string_view value)
{
    if (value.empty()) {
        return std::string(if_empty);
    }
    target = std::string(value);
    return {};
}

std::string set_file(Options& options, std::string_view value)
{
    return set_path(options.file, "--file needs a path", value);
}

std::string set_png(Options& options, std::string_view value)
{
    return set_path(options.png, "--png needs a value", value);
}

std::string set_csv(Options& options, std::string_view value)
{
    return set_path(options.csv, "--csv needs a value", value);
}

std::string set_json(Options& options, std::string_view)
{
    options.json = true;
    return {};
}

// A device --find probes: each word after it, or --find=DEVICE.
std::string add_device(Options& options, std::string_view name)
{
    if (const auto refusal = serial::device_path_refusal(std::string(name))) {
        return "--find " + quoted(name) + ": " + refusal->why;
    }
    options.devices.emplace_back(name);
    return {};
}

// The log the history reads: FILE, or --history=FILE.
std::string set_history_file(Options& options, std::string_view value)
{
    if (value.empty()) {
        return "empty file name";
    }
    if (options.history_file) {
        return "one FILE only, not also " + quoted(value);
    }
    options.history_file = std::string(value);
    return {};
}

// "WxH" with each side within the PNG limits.
std::string set_size(Options& options, std::string_view value)
{
    const std::string text(value);
    int width = 0;
    int height = 0;
    char rest = 0;
    if (std::sscanf(text.c_str(), "%5dx%5d%c", &width, &height, &rest) != 2 ||
        text.find_first_of("+- ") != std::string::npos || width < min_png_side || width > max_png_side || height < min_png_side || height > max_png_side) {
        return "--size takes WIDTHxHEIGHT, each from " + std::to_string(min_png_side) + " to " +
               std::to_string(max_png_side) + ", not " + quoted(value);
    }
    options.png_width = width;
    options.png_height = height;
    return {};
}

// A value that a publishing parser takes, or the option, the value and why not.
template <class Value>
std::string set_parsed(std::optional<Value>& target, std::string_view option, std::string_view value,
                       std::string (*parse)(std::string_view, Value&))
{
    Value parsed;
    if (std::string why = parse(value, parsed); !why.empty()) {
        return std::string(option) + " " + quoted(value) + ": " + why;
    }
    target = std::move(parsed);
    return {};
}

std::string set_mqtt(Options& options, std::string_view value)
{
    return set_parsed(options.publishing.mqtt, "--mqtt", value, publish::parse_mqtt_url);
}

std::string set_mqtt_password_file(Options& options, std::string_view value)
{
    return set_path(options.publishing.mqtt_password_file, "--mqtt-password-file needs a path", value);
}

std::string set_mqtt_ca(Options& options, std::string_view value)
{
    return set_path(options.publishing.mqtt_ca, "--mqtt-ca needs a path", value);
}

std::string set_mqtt_id(Options& options, std::string_view value)
{
    if (std::string why = publish::check_node_id(value); !why.empty()) {
        return "--mqtt-id " + quoted(value) + ": " + why;
    }
    options.publishing.mqtt_id = std::string(value);
    return {};
}

std::string set_mqtt_expire(Options& options, std::string_view value)
{
    int seconds = 0;
    if (std::string why = publish::parse_expire(value, seconds); !why.empty()) {
        return "--mqtt-expire " + why + ", not " + quoted(value);
    }
    options.publishing.mqtt_expire_seconds = seconds;
    return {};
}

std::string set_no_discovery(Options& options, std::string_view)
{
    options.publishing.discovery = false;
    return {};
}

std::string set_metrics(Options& options, std::string_view value)
{
    return set_parsed(options.publishing.metrics, "--metrics", value, publish::parse_endpoint);
}

enum class Value {
    none,
    required,  // the next word, or after "="
    attached,  // optional: after "=", or for a command each later word that is no option
};

// The commands a setting goes with.
enum Goes : unsigned { with_read = 1, with_log = 2, with_history = 4, with_find = 8 };

struct Option {
    std::string_view name;
    Command command;  // the command it chooses; window for a setting of a command
    Value value;
    std::string (*set)(Options&, std::string_view value);  // nullptr: it only chooses its command
    unsigned goes_with = 0;       // a setting: the commands it goes with
    std::string_view needs = {};  // a setting: another option it goes with
};

// Every option; a new one needs a row here and, if it takes a value, a setter.
constexpr Option option_table[] = {
    {"--help", Command::help, Value::none, nullptr},
    {"-h", Command::help, Value::none, nullptr},
    {"--version", Command::version, Value::none, nullptr},
    {"--read", Command::read, Value::none, nullptr},
    {"--log", Command::log, Value::none, nullptr},
    {"--history", Command::history, Value::attached, set_history_file},
    {"--port", Command::window, Value::required, set_port, with_read | with_log},
    {"--sensors", Command::window, Value::required, set_sensors, with_read | with_log},
    {"--find", Command::find, Value::attached, add_device},
    {"--json", Command::window, Value::none, set_json, with_read | with_find},
    {"--every", Command::window, Value::required, set_every, with_log},
    {"--file", Command::window, Value::required, set_file, with_log},
    {"--png", Command::window, Value::required, set_png, with_history},
    {"--size", Command::window, Value::required, set_size, with_history, "--png"},
    {"--csv", Command::window, Value::required, set_csv, with_history},
    {"--mqtt", Command::window, Value::required, set_mqtt, with_read | with_log},
    {"--mqtt-password-file", Command::window, Value::required, set_mqtt_password_file, with_read | with_log, "--mqtt"},
    {"--mqtt-ca", Command::window, Value::required, set_mqtt_ca, with_read | with_log, "--mqtt"},
    {"--mqtt-id", Command::window, Value::required, set_mqtt_id, with_read | with_log, "--mqtt"},
    {"--mqtt-expire", Command::window, Value::required, set_mqtt_expire, with_read, "--mqtt"},
    {"--no-discovery", Command::window, Value::none, set_no_discovery, with_read | with_log, "--mqtt"},
    {"--metrics", Command::window, Value::required, set_metrics, with_log},
};

const Option* find_option(std::string_view name)
{
    for (const Option& option : option_table) {
        if (option.name == name) return &option;
    }
    return nullptr;
}

// The commands a setting can go with, in the order its errors name them.
struct SettingCommand {
    Goes goes;
    Command command;
    std::string_view name;
};
constexpr SettingCommand setting_commands[] = {
    {with_read, Command::read, "--read"},
    {with_log, Command::log, "--log"},
    {with_history, Command::history, "--history"},
    {with_find, Command::find, "--find"},
};

bool goes_with(const Option& option, Command command)
{
    for (const SettingCommand& each : setting_commands) {
        if (each.command == command) return (option.goes_with & each.goes) != 0;
    }
    return false;
}

// "--read or --log", "--log only".
std::string commands_of(const Option& option)
{
    std::string names;
    int count = 0;
    for (const SettingCommand& each : setting_commands) {
        if ((option.goes_with & each.goes) != 0) {
            names += (count++ == 0 ? "" : " or ") + std::string(each.name);
        }
    }
    return count == 1 ? names + " only" : names;
}

// Whether an option belongs to the history alone: its errors, once
// --history is given, say so, as the history's own words.
bool of_history(const Option& option)
{
    return option.command == Command::history || option.goes_with == with_history;
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
    const auto history = std::find_if(words.begin(), words.end(), [](const std::string& word) {
        return word == "--history" || word.starts_with("--history=");
    });
    if (std::any_of(words.begin(), history, [](const std::string& word) { return word == "--help" || word == "-h"; })) {
        Options options;
        options.command = Command::help;
        return options;
    }

    Options options;
    std::vector<const Option*> given;  // in the order given
    const Option* chosen = nullptr;    // the option that chose the command
    const auto in_history = [&options](const Option* option) {
        return options.command == Command::history && (option == nullptr || of_history(*option)) ? "--history: " : "";
    };
    for (auto word = words.begin(); word != words.end(); ++word) {
        if (options.command == Command::history && (*word == "--help" || *word == "-h")) {
            options.history_help = true;
            continue;
        }
        const std::size_t equals = word->starts_with("--") ? word->find('=') : std::string::npos;
        const std::string name = word->substr(0, equals);
        const Option* option = find_option(name);
        if (option == nullptr) {
            if (word->size() > 1 && word->starts_with("-")) {
                return usage_error(in_history(nullptr) + ("unknown option " + quoted(*word)));
            }
            if (chosen == nullptr || chosen->value != Value::attached) {
                return usage_error("unexpected argument " + quoted(*word));
            }
            if (std::string error = chosen->set(options, *word); !error.empty()) {
                return usage_error(in_history(chosen) + error);
            }
            continue;
        }
        if (std::find(given.begin(), given.end(), option) != given.end()) {
            return usage_error(in_history(option) + name + " given twice");
        }
        given.push_back(option);
        if (option->value == Value::none && equals != std::string::npos) {
            return usage_error(name + " takes no value");
        }
        if (option->command != Command::window) {
            if (chosen != nullptr) {
                return usage_error(std::string(chosen->name) + " and " + name + " cannot be combined");
            }
            chosen = option;
            options.command = option->command;
        }
        std::optional<std::string_view> value;
        if (equals != std::string::npos) {
            value = std::string_view(*word).substr(equals + 1);
        } else if (option->value == Value::required) {
            if (word + 1 == words.end()) {
                return usage_error(in_history(option) + name + " needs a value");
            }
            value = *++word;
        }
        if (option->set != nullptr && (value || option->value == Value::none)) {
            if (std::string error = option->set(options, value.value_or("")); !error.empty()) {
                return usage_error(in_history(option) + error);
            }
        }
    }

    for (const Option* option : given) {
        if (option->command != Command::window) {
            continue;
        }
        if (!goes_with(*option, options.command)) {
            return usage_error(std::string(option->name) + " goes with " + commands_of(*option));
        }
        const Option* needed = option->needs.empty() ? nullptr : find_option(option->needs);
        if (needed != nullptr && std::find(given.begin(), given.end(), needed) == given.end()) {
            return usage_error(in_history(option) + std::string(option->name) + " goes with " + std::string(needed->name));
        }
    }
    if (options.history_help) {
        options.command = Command::help;
    }
    return options;
}

std::string usage_text()
{
    return "Usage:\n"
           "  quelvane                 the window\n"
           "  quelvane --read [--port P] [--sensors 1|2] [--json]\n"
           "  quelvane --log [--port P] [--sensors 1|2] [--every SECONDS] [--file PATH]\n"
           "  quelvane --read|--log ... --mqtt URL [--mqtt-...] [--no-discovery]\n"
           "  quelvane --log ... --metrics [ADDR:]PORT\n"
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
           history_usage_text() +
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
           "Publishing, with --read or --log:\n"
           "  --mqtt URL       each reading to an MQTT broker, with Home Assistant discovery:\n"
           "                   mqtt://[user@]host[:port][/prefix] or mqtts://... (port 1883,\n"
           "                   8883 for mqtts; prefix quelvane)\n"
           "  --mqtt-password-file F  the broker's password, read from F (else from\n"
           "                   $QUELVANE_MQTT_PASSWORD; never from the command line)\n"
           "  --mqtt-ca F      the CA certificates of an mqtts broker (default: the system's)\n"
           "  --mqtt-id ID     the node in the topics, PREFIX/ID/sensor1 (default: the host\n"
           "                   name and the port's device, as cellar_ttyUSB0)\n"
           "  --mqtt-expire SECONDS  with --read: Home Assistant's expire_after (default: none;\n"
           "                   --log sets three intervals)\n"
           "  --no-discovery   no Home Assistant discovery configs\n"
           "  --metrics [ADDR:]PORT  with --log: Prometheus metrics at http://ADDR:PORT/metrics\n"
           "                   (ADDR 127.0.0.1 unless named, as 0.0.0.0:9101)\n"
           "\n"
           "An option's value may also follow an equals sign: --port=COM2.\n"
           "The defaults come from ./Quelvane.INI, which these commands never write.\n"
           "A bad option or value, or an option given twice, is reported on stderr, with\n"
           "exit status 2.\n";
}

std::string history_usage_text()
{
    const std::string size = std::to_string(default_png_width) + "x" + std::to_string(default_png_height);
    return "  --history        the measurement log (FILE, default ./Quelvane.txt) as a chart\n"
           "                   that follows the file\n"
           "  --png OUT        with --history: the whole log as a PNG image, no display needed\n"
           "  --size WxH       with --png: the image's size (default " + size + ")\n"
           "  --csv OUT        with --history: the records as CSV (time,sensor1,sensor2),\n"
           "                   no display needed; - for standard output\n";
}

std::string version_text() { return "quelvane " QUELVANE_VERSION; }

}  // namespace cli
