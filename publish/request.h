// What a user asks to be published, from the command line or from the
// [Publish] section of the settings file, checked; and the plan made of it
// for a given port device, with the password read. Nothing here touches the
// network.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace publish {

// mqtt://[user@]host[:port][/prefix] or mqtts://...
struct MqttUrl {
    bool tls = false;
    std::string user;  // empty: none
    std::string host;  // a name, an IPv4 address, or an IPv6 address without its brackets
    int port = 1883;
    std::string prefix = "quelvane";  // topic levels, without a leading or trailing '/'
};

// Where /metrics is served: an IP address (IPv6 without brackets) and a port.
struct Endpoint {
    std::string address = "127.0.0.1";
    int port = 0;
    bool ipv6 = false;
};

// "host:port" as a user writes it: an IPv6 address in brackets.
inline std::string host_port(const std::string& host, int port)
{
    const bool ipv6 = host.find(':') != std::string::npos;
    return (ipv6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}

// Each parser stores a value and returns an empty string, or returns why it
// cannot: a few words that the caller puts after the value it quotes.
std::string parse_mqtt_url(std::string_view text, MqttUrl& url);
// [ADDR:]PORT: "9101", "0.0.0.0:9101", "[::1]:9101".
std::string parse_endpoint(std::string_view text, Endpoint& endpoint);
// A node id for topics and Home Assistant: letters, digits, '_' and '-', at
// most max_node_id bytes.
std::string check_node_id(std::string_view id);
// A --mqtt-expire value: whole seconds from 1 to max_expire_seconds.
std::string parse_expire(std::string_view text, int& seconds);

inline constexpr std::size_t max_node_id = 64;
inline constexpr int max_expire_seconds = 30 * 86400;

// The node id when none is given: the short host name and the port's device
// name (its last path step), joined by '_', every other byte made '_':
// "cellar_ttyUSB0".
std::string default_node_id(std::string_view host_name, std::string_view device);
// The same with this machine's host name.
std::string default_node_id(std::string_view device);

struct Request {
    std::optional<MqttUrl> mqtt;
    std::string mqtt_id;  // empty: default_node_id
    std::optional<std::string> mqtt_password_file;
    std::optional<std::string> mqtt_ca;  // empty: the system's certificate store
    std::optional<int> mqtt_expire_seconds;
    bool discovery = true;
    std::optional<Endpoint> metrics;

    bool any() const { return mqtt.has_value() || metrics.has_value(); }
};

// The keys of the settings file's [Publish] section, hand-edited like [Ports].
inline constexpr const char* publish_section = "Publish";

// The request a [Publish] section makes: value(key) is the key's value, empty
// when missing. Every bad value is one line in the result ("mqtt: why"), and
// that publisher stays off; the rest is taken.
std::vector<std::string> request_from_section(const std::function<std::string(const char* key)>& value,
                                              Request& request);

struct MqttPlan {
    MqttUrl url;
    std::string node_id;
    std::optional<std::string> password;
    std::string ca_file;  // empty: the system's store
    bool discovery = true;
    // A single reading (--read): no will and no "offline" at the end, no
    // retry, and expire_after as asked (none by default). Otherwise
    // expire_after is three intervals.
    bool one_shot = false;
    std::optional<int> expire_seconds;
};

struct Plan {
    std::optional<MqttPlan> mqtt;
    std::optional<Endpoint> metrics;
};

// The plan for a request on device: the node id, the password from
// --mqtt-password-file, else from $QUELVANE_MQTT_PASSWORD. Returns why it
// cannot be made (a password file that cannot be read, a password without a
// user, a CA file that cannot be read), else an empty string.
std::string make_plan(const Request& request, std::string_view device, bool one_shot, Plan& plan);

}  // namespace publish
