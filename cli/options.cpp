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

// A file the publishing reads: any path but the empty one.
std::string set_path(std::optional<std::string>& path, std::string_view option, std::string_view value)
{
    if (value.empty()) {
        return std::string(option) + " needs a path";
    }
    path = std::string(value);
    return {};
}

std::string set_mqtt_password_file(Options& options, std::string_view value)
{
    return set_path(options.publishing.mqtt_password_file, "--mqtt-password-file", value);
}

std::string set_mqtt_ca(Options& options, std::string_view value)
{
    return set_path(options.publishing.mqtt_ca, "--mqtt-ca", value);
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

struct Option {
    std::string_view name;
    Command command;  // the command it chooses; window for the settings of a command
    std::string (*set)(Options&, std::string_view value);
    bool takes_value;
    bool with_read, with_log;  // settings: the commands they go with
};

constexpr Option option_table[] = {
    {"--help", Command::help, nullptr, false, false, false},
    {"-h", Command::help, nullptr, false, false, false},
    {"--version", Command::version, nullptr, false, false, false},
    {"--read", Command::read, nullptr, false, false, false},
    {"--log", Command::log, nullptr, false, false, false},
    {"--port", Command::window, set_port, true, true, true},
    {"--sensors", Command::window, set_sensors, true, true, true},
    {"--json", Command::window, set_json, false, true, false},
    {"--every", Command::window, set_every, true, false, true},
    {"--file", Command::window, set_file, true, false, true},
    {"--mqtt", Command::window, set_mqtt, true, true, true},
    {"--mqtt-password-file", Command::window, set_mqtt_password_file, true, true, true},
    {"--mqtt-ca", Command::window, set_mqtt_ca, true, true, true},
    {"--mqtt-id", Command::window, set_mqtt_id, true, true, true},
    {"--mqtt-expire", Command::window, set_mqtt_expire, true, true, false},
    {"--no-discovery", Command::window, set_no_discovery, false, true, true},
    {"--metrics", Command::window, set_metrics, true, false, true},
};

// The options that only shape what --mqtt publishes.
bool needs_mqtt(const Option& option) { return option.name.starts_with("--mqtt-") || option.name == "--no-discovery"; }

const Option* find_option(std::string_view name)
{
    for (const Option& option : option_table) {
        if (option.name == name) return &option;
    }
    return nullptr;
}

bool goes_with(const Option& option, Command command)
{
    return (command == Command::read && option.with_read) || (command == Command::log && option.with_log);
}

std::string commands_of(const Option& option)
{
    if (option.with_read && option.with_log) return "--read or --log";
    return option.with_read ? "--read only" : "--log only";
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
        if (needs_mqtt(*option) && !options.publishing.mqtt) {
            return usage_error(std::string(option->name) + " goes with --mqtt");
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
           "  quelvane --read|--log ... --mqtt URL [--mqtt-...] [--no-discovery]\n"
           "  quelvane --log ... --metrics [ADDR:]PORT\n"
           "  quelvane --history [FILE] [--png OUT [--size WxH]] [--csv OUT]\n"
           "  quelvane --help | -h\n"
           "  quelvane --version\n"
           "\n"
           "  --read           read each sensor once and print \"sensor1 21.5\", one line a\n"
           "                   sensor read; exit status 0 when every sensor was read, else 1\n"
           "  --json           with --read: one JSON object, with the time; a failed sensor\n"
           "                   is null\n"
           "  --log            append a reading every interval to the measurement log, in\n"
           "                   the window's format, until SIGTERM, SIGINT or SIGHUP\n" +
           history::usage_lines() +
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
           "The defaults come from ./Quelvane.INI, which these commands never write.\n"
           "A bad option or value is reported on stderr, with exit status 2.\n";
}

std::string version_text() { return "quelvane " QUELVANE_VERSION; }

}  // namespace cli
