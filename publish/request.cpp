#include "publish/request.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cstdlib>
#include <cerrno>
#include <cctype>
#include <optional>
#include <type_traits>
#include <limits.h>
#include <unistd.h>

#include "files/regular_file.h"
#include "text/cp1252.h"

namespace publish {
namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_id_byte(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || is_digit(c) || c == '_' || c == '-';
}
bool is_blank_or_control(char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; }

// A port number from 1 to 65535, or 0.
int port_number(std::string_view text)
{
    if (text.empty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), is_digit)) {
        return 0;
    }
    int port = 0;
    for (const char c : text) port = port * 10 + (c - '0');
    return port <= 65535 ? port : 0;
}

bool is_address(int family, const std::string& text)
{
    unsigned char bytes[sizeof(in6_addr)];
    return inet_pton(family, text.c_str(), bytes) == 1;
}

bool is_host_name(std::string_view host)
{
    return std::all_of(host.begin(), host.end(), [](char c) { return is_id_byte(c) || c == '.'; }) &&
           host.front() != '-' && host.front() != '.';
}

// Topic levels joined by '/': none empty, no wildcard, not a broker topic.
std::string prefix_refusal(std::string_view prefix)
{
    if (prefix.front() == '$') {
        return "a prefix may not begin with '$', which marks the broker's own topics";
    }
    if (prefix.find_first_of("+#?") != std::string_view::npos) {
        return "a prefix may not hold '+', '#' or '?'";
    }
    if (prefix.find("//") != std::string_view::npos) {
        return "a prefix may not hold an empty level ('//')";
    }
    if (!text::is_valid_utf8(prefix)) {
        return "a prefix must be UTF-8";
    }
    return {};
}

std::string in_quotes(const std::string& path) { return "'" + path + "'"; }

}  // namespace

std::string parse_mqtt_url(std::string_view text, MqttUrl& url)
{
    MqttUrl parsed;
    const std::size_t scheme_end = text.find("://");
    std::string scheme(text.substr(0, scheme_end));
    std::transform(scheme.begin(), scheme.end(), scheme.begin(), [](unsigned char c) { return std::tolower(c); });
    if (scheme_end == std::string_view::npos || (scheme != "mqtt" && scheme != "mqtts")) {
        return "a broker is mqtt://[user@]host[:port][/prefix] or mqtts://...";
    }
    if (std::any_of(text.begin(), text.end(), is_blank_or_control)) {
        return "the URL holds a blank or a control character";
    }
    parsed.tls = scheme == "mqtts";
    parsed.port = parsed.tls ? 8883 : 1883;
    const std::string_view rest = text.substr(scheme_end + 3);
    const std::size_t slash = rest.find('/');
    std::string_view authority = rest.substr(0, slash);
    const std::string_view path = slash == std::string_view::npos ? std::string_view() : rest.substr(slash);

    if (const std::size_t at = authority.rfind('@'); at != std::string_view::npos) {
        parsed.user = std::string(authority.substr(0, at));
        authority.remove_prefix(at + 1);
        if (parsed.user.empty()) {
            return "the user before '@' is empty";
        }
        if (parsed.user.find(':') != std::string::npos) {
            return "a password never goes in the URL: put it in a file (--mqtt-password-file) or in "
                   "QUELVANE_MQTT_PASSWORD";
        }
    }
    std::optional<std::string_view> port_text;  // after a ':'
    if (authority.starts_with('[')) {
        const std::size_t close = authority.find(']');
        if (close == std::string_view::npos) {
            return "an IPv6 address needs its closing ']'";
        }
        parsed.host = std::string(authority.substr(1, close - 1));
        if (!is_address(AF_INET6, parsed.host)) {
            return "'" + parsed.host + "' is not an IPv6 address";
        }
        const std::string_view after = authority.substr(close + 1);
        if (!after.empty() && !after.starts_with(':')) {
            return "only ':port' may follow an IPv6 address";
        }
        if (!after.empty()) port_text = after.substr(1);
    } else {
        const std::size_t colon = authority.find(':');
        if (colon != std::string_view::npos && authority.find(':', colon + 1) != std::string_view::npos) {
            return "an IPv6 address goes in brackets: mqtt://[::1]";
        }
        parsed.host = std::string(authority.substr(0, colon));
        if (colon != std::string_view::npos) port_text = authority.substr(colon + 1);
        if (parsed.host.empty()) {
            return "the URL names no host";
        }
        if (!is_host_name(parsed.host)) {
            return "'" + parsed.host + "' is not a host name or address";
        }
    }
    if (port_text) {
        parsed.port = port_number(*port_text);
        if (parsed.port == 0) {
            return "the port must be a number from 1 to 65535";
        }
    }

    std::string_view prefix = path;
    if (prefix.starts_with('/')) prefix.remove_prefix(1);
    if (prefix.ends_with('/')) prefix.remove_suffix(1);
    if (!prefix.empty()) {
        if (std::string why = prefix_refusal(prefix); !why.empty()) {
            return why;
        }
        parsed.prefix = std::string(prefix);
    }
    url = std::move(parsed);
    return {};
}

std::string parse_endpoint(std::string_view text, Endpoint& endpoint)
{
    const std::string form = "an endpoint is [ADDR:]PORT: an IP address such as 0.0.0.0 or [::1], and a port from 1 "
                             "to 65535";
    Endpoint parsed;
    std::string_view port_text = text;
    if (text.starts_with('[')) {
        const std::size_t close = text.find("]:");
        if (close == std::string_view::npos) {
            return form;
        }
        parsed.address = std::string(text.substr(1, close - 1));
        parsed.ipv6 = true;
        port_text = text.substr(close + 2);
        if (!is_address(AF_INET6, parsed.address)) {
            return "'" + parsed.address + "' is not an IPv6 address";
        }
    } else if (const std::size_t colon = text.rfind(':'); colon != std::string_view::npos) {
        parsed.address = std::string(text.substr(0, colon));
        port_text = text.substr(colon + 1);
        if (parsed.address.find(':') != std::string::npos) {
            return "an IPv6 address goes in brackets: [::1]:PORT";
        }
        if (!is_address(AF_INET, parsed.address)) {
            return "'" + parsed.address + "' is not an IPv4 address (a name is not taken)";
        }
    }
    parsed.port = port_number(port_text);
    if (parsed.port == 0) {
        return form;
    }
    endpoint = std::move(parsed);
    return {};
}

std::string check_node_id(std::string_view id)
{
    if (id.empty() || id.size() > max_node_id || !std::all_of(id.begin(), id.end(), is_id_byte)) {
        return "an id is 1 to " + std::to_string(max_node_id) + " letters, digits, '_' or '-'";
    }
    return {};
}

std::string parse_expire(std::string_view text, int& seconds)
{
    long value = 0;
    if (!text.empty() && text.size() <= 8 && std::all_of(text.begin(), text.end(), is_digit)) {
        for (const char c : text) value = value * 10 + (c - '0');
    }
    if (value < 1 || value > max_expire_seconds) {
        return "takes a whole number of seconds from 1 to " + std::to_string(max_expire_seconds);
    }
    seconds = static_cast<int>(value);
    return {};
}

std::string default_node_id(std::string_view host_name, std::string_view device)
{
    const std::string_view host = host_name.substr(0, host_name.find('.'));
    const std::size_t slash = device.rfind('/');
    const std::string_view name = slash == std::string_view::npos ? device : device.substr(slash + 1);
    std::string id = std::string(host) + (!host.empty() && !name.empty() ? "_" : "") + std::string(name);
    if (id.empty()) {
        id = "quelvane";
    }
    std::replace_if(id.begin(), id.end(), [](char c) { return !is_id_byte(c); }, '_');
    id.resize(std::min(id.size(), max_node_id));
    return id;
}

std::string default_node_id(std::string_view device)
{
    char host[HOST_NAME_MAX + 1] = {};
    if (::gethostname(host, sizeof host - 1) != 0) {
        host[0] = '\0';
    }
    return default_node_id(host, device);
}

std::vector<std::string> request_from_section(const std::function<std::string(const char* key)>& value,
                                              Request& request)
{
    std::vector<std::string> errors;
    // A key that a parser takes, when it is there.
    const auto take = [&](const char* key, auto parse, auto& target) {
        const std::string text = value(key);
        typename std::remove_reference_t<decltype(target)>::value_type parsed;
        if (text.empty()) {
            return;
        }
        if (std::string why = parse(text, parsed); why.empty()) {
            target = std::move(parsed);
        } else {
            errors.push_back(key + (": " + why));
        }
    };
    take("mqtt", parse_mqtt_url, request.mqtt);
    if (const std::string id = value("mqtt_id"); !id.empty()) {
        if (std::string why = check_node_id(id); why.empty()) {
            request.mqtt_id = id;
        } else {
            errors.push_back("mqtt_id: " + why);
            request.mqtt.reset();
        }
    }
    if (const std::string file = value("mqtt_password_file"); !file.empty()) {
        request.mqtt_password_file = file;
    }
    if (const std::string file = value("mqtt_ca"); !file.empty()) {
        request.mqtt_ca = file;
    }
    take("metrics", parse_endpoint, request.metrics);
    return errors;
}

namespace {

// Reads a password file: its whole text less one line end. Returns why it
// cannot (missing, not a regular file, empty, more than one line), else empty.
std::string read_password_file(const std::string& path, std::string& password)
{
    // A password longer than MQTT can carry is no password.
    constexpr std::size_t longest = 65535;
    struct stat status {};
    const int fd = files::open_regular_file(path, status);
    if (fd < 0) {
        return "cannot read the password file " + in_quotes(path) + ": " + files::error_text(-fd);
    }
    std::string text(longest + 3, '\0');
    std::size_t size = 0;
    ssize_t got = 0;
    while (size < text.size() && (got = ::read(fd, text.data() + size, text.size() - size)) > 0) {
        size += static_cast<std::size_t>(got);
    }
    const int error = errno;
    ::close(fd);
    if (got < 0) {
        return "cannot read the password file " + in_quotes(path) + ": " + files::error_text(error);
    }
    text.resize(size);
    if (text.ends_with('\n')) text.pop_back();
    if (text.ends_with('\r')) text.pop_back();
    if (text.empty()) {
        return "the password file " + in_quotes(path) + " is empty";
    }
    if (text.size() > longest) {
        return "the password file " + in_quotes(path) + " holds more than " + std::to_string(longest) + " bytes";
    }
    if (text.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        return "the password file " + in_quotes(path) + " holds more than one line";
    }
    password = std::move(text);
    return {};
}

}  // namespace

std::string make_plan(const Request& request, std::string_view device, bool one_shot, Plan& plan)
{
    Plan made;
    made.metrics = request.metrics;
    if (request.mqtt) {
        MqttPlan mqtt;
        mqtt.url = *request.mqtt;
        mqtt.node_id = request.mqtt_id.empty() ? default_node_id(device) : request.mqtt_id;
        mqtt.discovery = request.discovery;
        mqtt.one_shot = one_shot;
        mqtt.expire_seconds = one_shot ? request.mqtt_expire_seconds : std::nullopt;
        if (request.mqtt_password_file) {
            std::string password;
            if (std::string why = read_password_file(*request.mqtt_password_file, password); !why.empty()) {
                return why;
            }
            mqtt.password = std::move(password);
        } else if (const char* password = std::getenv("QUELVANE_MQTT_PASSWORD"); password != nullptr && *password != '\0') {
            mqtt.password = password;
        }
        if (mqtt.password && mqtt.url.user.empty()) {
            return "a password needs a user in the broker's URL: mqtt://user@host";
        }
        if (request.mqtt_ca) {
            if (!mqtt.url.tls) {
                return "a CA file goes with mqtts:// only";
            }
            struct stat status {};
            const int fd = files::open_regular_file(*request.mqtt_ca, status);
            if (fd < 0) {
                return "cannot read the CA file " + in_quotes(*request.mqtt_ca) + ": " + files::error_text(-fd);
            }
            ::close(fd);
            mqtt.ca_file = *request.mqtt_ca;
        }
        made.mqtt = std::move(mqtt);
    }
    plan = std::move(made);
    return {};
}

}  // namespace publish
