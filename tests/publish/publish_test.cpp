// The publishers in this process, against the real servers: a mosquitto broker
// and its subscriber, Prometheus' promtool, and raw HTTP clients good and bad.
// The whole program publishing (--log, --read, the window) is in
// publish_program_test.cpp.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <fstream>
#include <arpa/inet.h>
#include <mutex>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "publishers/metrics_server.h"
#include "publish/publishing.h"
#include "tests/support/servers.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Subscriber;

// What the publishers told, line by line.
struct Told {
    publish::Report report()
    {
        return [this](const std::string& line) {
            const std::lock_guard lock(mutex);
            lines.push_back(line);
        };
    }
    std::vector<std::string> all()
    {
        const std::lock_guard lock(mutex);
        return lines;
    }
    std::mutex mutex;
    std::vector<std::string> lines;
};

publish::Reading reading(int sensor, std::optional<double> celsius, std::chrono::seconds interval = 5s)
{
    return {sensor, celsius, std::chrono::system_clock::now(), interval};
}

publish::MqttPlan plan_for(const std::string& url)
{
    publish::MqttPlan plan;
    EXPECT_EQ(publish::parse_mqtt_url(url, plan.url), "");
    plan.node_id = "cellar_ttyUSB0";
    return plan;
}

std::unique_ptr<publish::Publishing> start(const publish::MqttPlan& mqtt, Told& told)
{
    publish::Plan plan;
    plan.mqtt = mqtt;
    std::string error;
    auto publishing = publish::Publishing::start(plan, error, told.report());
    EXPECT_TRUE(publishing) << error;
    return publishing;
}

TEST(PublishRequest, SectionKeysPlansAndDefaultIds)
{
    // What good values parse to (the refusals are in the command line's table).
    const struct {
        std::string url;
        bool tls;
        std::string user, host;
        int port;
        std::string prefix;
    } urls[] = {
        {"mqtt://broker.lan", false, "", "broker.lan", 1883, "quelvane"},
        {"MQTTS://ha@10.0.0.2/", true, "ha", "10.0.0.2", 8883, "quelvane"},
        {"mqtt://me@home@[::1]:1884/maison/cave/", false, "me@home", "::1", 1884, "maison/cave"},
    };
    for (const auto& c : urls) {
        publish::MqttUrl url;
        EXPECT_EQ(publish::parse_mqtt_url(c.url, url), "") << c.url;
        EXPECT_EQ(std::tie(url.tls, url.user, url.host, url.port, url.prefix),
                  std::tie(c.tls, c.user, c.host, c.port, c.prefix)) << c.url;
    }
    const struct {
        std::string text, address;
        int port;
        bool ipv6;
    } endpoints[] = {{"9101", "127.0.0.1", 9101, false}, {"0.0.0.0:9101", "0.0.0.0", 9101, false},
                     {"[::]:80", "::", 80, true}};
    for (const auto& c : endpoints) {
        publish::Endpoint endpoint;
        EXPECT_EQ(publish::parse_endpoint(c.text, endpoint), "") << c.text;
        EXPECT_EQ(std::tie(endpoint.address, endpoint.port, endpoint.ipv6), std::tie(c.address, c.port, c.ipv6));
    }

    const struct {
        std::map<std::string, std::string> keys;
        std::vector<std::string> errors;
        bool mqtt, metrics;
    } sections[] = {
        {{}, {}, false, false},
        {{{"mqtt", "mqtt://broker.lan/maison"}, {"metrics", "9101"}, {"mqtt_id", "cave"}}, {}, true, true},
        {{{"mqtt", "http://broker"}}, {"mqtt: a broker is mqtt://[user@]host[:port][/prefix] or mqtts://..."}, false, false},
        {{{"mqtt", "mqtt://broker"}, {"mqtt_id", "la cave"}}, {"mqtt_id: an id is 1 to 64 letters, digits, '_' or '-'"}, false, false},
        {{{"mqtt", "mqtt://broker"}, {"metrics", "localhost:9101"}},
         {"metrics: 'localhost' is not an IPv4 address (a name is not taken)"}, true, false},
    };
    for (const auto& c : sections) {
        publish::Request request;
        const auto errors = publish::request_from_section(
            [&](const char* key) { return c.keys.count(key) ? c.keys.at(key) : std::string(); }, request);
        EXPECT_EQ(errors, c.errors);
        EXPECT_EQ(request.mqtt.has_value(), c.mqtt);
        EXPECT_EQ(request.metrics.has_value(), c.metrics);
    }

    EXPECT_EQ(publish::default_node_id("cellar.example.org", "/dev/ttyUSB0"), "cellar_ttyUSB0");
    EXPECT_EQ(publish::default_node_id("", "/dev/serial/by-id/usb-FTDI_FT232R-if00:port0"), "usb-FTDI_FT232R-if00_port0");
    EXPECT_EQ(publish::default_node_id("pi 4", ""), "pi_4");
    EXPECT_EQ(publish::default_node_id("", ""), "quelvane");
    EXPECT_EQ(publish::default_node_id(std::string(100, 'h'), "/dev/ttyS0"), std::string(64, 'h'));

    testsupport::TempDir dir;
    testsupport::write_bytes(dir.file("good"), "s3cret\n");
    testsupport::write_bytes(dir.file("crlf"), "s3cret\r\n");
    testsupport::write_bytes(dir.file("empty"), "\n");
    testsupport::write_bytes(dir.file("two"), "s3cret\nmore\n");
    const struct {
        std::string url;
        std::optional<std::string> password_file, ca, environment;
        std::string error;
        std::optional<std::string> password;
    } plans[] = {
        {"mqtt://quelvane@broker", dir.file("good"), {}, {}, "", "s3cret"},
        {"mqtt://quelvane@broker", dir.file("crlf"), {}, "other", "", "s3cret"},  // the file before the variable
        {"mqtt://quelvane@broker", {}, {}, "fromenv", "", "fromenv"},
        {"mqtt://broker", {}, {}, {}, "", {}},
        {"mqtt://broker", dir.file("good"), {}, {}, "a password needs a user in the broker's URL: mqtt://user@host", {}},
        {"mqtt://u@broker", dir.file("missing"), {}, {}, "cannot read the password file '" + dir.file("missing") + "': ", {}},
        {"mqtt://u@broker", dir.file("empty"), {}, {}, "the password file '" + dir.file("empty") + "' is empty", {}},
        {"mqtt://u@broker", dir.file("two"), {}, {}, "the password file '" + dir.file("two") + "' holds more than one line", {}},
        {"mqtt://u@broker", "/dev/null", {}, {}, "cannot read the password file '/dev/null': not a regular file", {}},
        {"mqtt://broker", {}, dir.file("good"), {}, "a CA file goes with mqtts:// only", {}},
        {"mqtts://broker", {}, dir.file("missing"), {}, "cannot read the CA file '" + dir.file("missing") + "': ", {}},
    };
    for (const auto& c : plans) {
        SCOPED_TRACE(c.url + " " + c.password_file.value_or("-"));
        if (c.environment) ::setenv("QUELVANE_MQTT_PASSWORD", c.environment->c_str(), 1);
        publish::Request request;
        request.mqtt.emplace();
        ASSERT_EQ(publish::parse_mqtt_url(c.url, *request.mqtt), "");
        request.mqtt_password_file = c.password_file;
        request.mqtt_ca = c.ca;
        request.mqtt_expire_seconds = 600;
        publish::Plan plan;
        const std::string error = publish::make_plan(request, "/dev/ttyUSB0", true, plan);
        ::unsetenv("QUELVANE_MQTT_PASSWORD");
        EXPECT_EQ(error.substr(0, c.error.size()), c.error);
        EXPECT_EQ(error.empty(), c.error.empty()) << error;
        if (error.empty()) {
            EXPECT_EQ(plan.mqtt->password, c.password);
            EXPECT_EQ(plan.mqtt->node_id, publish::default_node_id("/dev/ttyUSB0"));
            EXPECT_EQ(plan.mqtt->expire_seconds, 600);  // a single reading keeps its expire_after
        }
    }
}

TEST(Mqtt, DiscoveryStatesAndAvailabilityThroughAFailureAndACleanEnd)
{
    testsupport::Mosquitto broker;
    Subscriber live(broker.port);
    Told told;
    auto publishing = start(plan_for(broker.url() + "/maison"), told);
    const std::string base = "maison/cellar_ttyUSB0";

    publishing->reading(reading(1, 21.5));
    publishing->reading(reading(2, -3.0));
    ASSERT_TRUE(live.last_becomes(base + "/sensor2", "-3.0"));

    // What Home Assistant finds on subscribing: the retained configs, states
    // and availability.
    {
        Subscriber late(broker.port);
        ASSERT_TRUE(late.last_becomes(base + "/sensor2/status", "online"));
        for (const auto& [topic, payload] : std::map<std::string, std::string>{
                 {base + "/status", "online"}, {base + "/sensor1", "21.5"}, {base + "/sensor1/status", "online"}}) {
            ASSERT_TRUE(late.last_becomes(topic, payload)) << topic;
            EXPECT_TRUE(late.on(topic).back().retained) << topic;
        }
        for (int sensor : {1, 2}) {
            const std::string n = std::to_string(sensor);
            ASSERT_TRUE(testsupport::eventually([&] { return !late.on("homeassistant/sensor/cellar_ttyUSB0_sensor" + n + "/config").empty(); }));
            const auto config_message = late.on("homeassistant/sensor/cellar_ttyUSB0_sensor" + n + "/config").back();
            EXPECT_TRUE(config_message.retained);
            QJsonParseError parse{};
            const QJsonObject config = QJsonDocument::fromJson(QByteArray::fromStdString(config_message.payload), &parse).object();
            ASSERT_EQ(parse.error, QJsonParseError::NoError) << config_message.payload;
            EXPECT_EQ(config["name"].toString(), QString::fromStdString("Sensor " + n));
            EXPECT_EQ(config["unique_id"].toString(), QString::fromStdString("quelvane_cellar_ttyUSB0_sensor" + n));
            EXPECT_EQ(config["state_topic"].toString(), QString::fromStdString(base + "/sensor" + n));
            const QJsonArray availability = config["availability"].toArray();
            ASSERT_EQ(availability.size(), 2);
            EXPECT_EQ(availability[0].toObject()["topic"].toString(), QString::fromStdString(base + "/status"));
            EXPECT_EQ(availability[1].toObject()["topic"].toString(), QString::fromStdString(base + "/sensor" + n + "/status"));
            EXPECT_EQ(config["availability_mode"].toString(), "all");
            EXPECT_EQ(config["device_class"].toString(), "temperature");
            EXPECT_EQ(config["state_class"].toString(), "measurement");
            EXPECT_EQ(config["unit_of_measurement"].toString(), QString::fromUtf8("\u00B0C"));
            EXPECT_EQ(config["suggested_display_precision"].toInt(), 1);
            EXPECT_EQ(config["expire_after"].toInt(), 15);  // three intervals of 5 s
            const QJsonObject device = config["device"].toObject();
            EXPECT_EQ(device["identifiers"].toArray(), QJsonArray{"quelvane_cellar_ttyUSB0"});
            EXPECT_EQ(device["name"].toString(), "Quelvane cellar_ttyUSB0");
            EXPECT_EQ(device["model"].toString(), "DS1621");
            EXPECT_EQ(config.size(), 11) << config_message.payload;
        }
    }

    // Sensor 2 fails: offline, and no number; then it reads again.
    const std::size_t states = live.on(base + "/sensor2").size();
    publishing->reading(reading(2, std::nullopt));
    ASSERT_TRUE(live.last_becomes(base + "/sensor2/status", "offline"));
    publishing->reading(reading(1, 21.0));  // comes after anything sent for the failure
    ASSERT_TRUE(live.last_becomes(base + "/sensor1", "21.0"));
    EXPECT_EQ(live.on(base + "/sensor2").size(), states);
    publishing->reading(reading(2, 7.5));
    ASSERT_TRUE(live.last_becomes(base + "/sensor2/status", "online"));
    ASSERT_TRUE(live.last_becomes(base + "/sensor2", "7.5"));
    EXPECT_EQ(live.on(base + "/sensor1/status").size(), 1u) << "told once, not at every reading";

    publishing.reset();
    EXPECT_TRUE(live.last_becomes(base + "/status", "offline"));
    EXPECT_EQ(told.all(), std::vector<std::string>{});
}

// A single reading (--read) with a broker that wants a password, with TLS,
// and with one that cannot be reached: deliver says whether the broker took
// it, and a failure is one clear line.
TEST(Mqtt, SingleReadingsWithPasswordsTlsAndNoBroker)
{
    testsupport::Mosquitto broker;
    const std::string locked = std::to_string(broker.locked_port), tls = std::to_string(broker.tls_port);
    const int nobody = testsupport::free_port();
    const std::string at = "MQTT: cannot reach the broker at 127.0.0.1:";
    const struct {
        std::string url, password, ca;
        bool delivered;
        std::string told;
    } cases[] = {
        {"mqtt://quelvane@127.0.0.1:" + locked, "s3cret", "", true, ""},
        {"mqtt://quelvane@127.0.0.1:" + locked, "wrong", "", false,
         at + locked +
             " (the broker refused the connection: not authorised (check the user and the password)); the reading was "
             "not published"},
        {"mqtts://127.0.0.1:" + tls, "", broker.ca_file(), true, ""},
        {"mqtts://127.0.0.1:" + tls, "", "", false,
         at + tls + " (the TLS handshake failed (is the broker's certificate trusted?)); the "
                                           "reading was not published"},
        {"mqtt://127.0.0.1:" + std::to_string(nobody), "", "", false,
         at + std::to_string(nobody) + " (Connection refused); the reading was not published"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url + " " + c.password + " " + c.ca);
        publish::MqttPlan plan = plan_for(c.url);
        plan.one_shot = true;
        if (!c.password.empty()) plan.password = c.password;
        plan.ca_file = c.ca;
        Told told;
        auto publishing = start(plan, told);
        publishing->reading(reading(1, 21.5, 0s));
        EXPECT_EQ(publishing->deliver(std::chrono::steady_clock::now() + 10s), c.delivered);
        publishing.reset();
        EXPECT_EQ(told.all(), c.told.empty() ? std::vector<std::string>{} : std::vector{c.told});
    }
    // What the delivered reading left: the broker keeps it, and no will.
    Subscriber check(broker.port);
    EXPECT_TRUE(check.last_becomes("quelvane/cellar_ttyUSB0/sensor1", "21.5"));
    EXPECT_TRUE(check.last_becomes("quelvane/cellar_ttyUSB0/status", "online"));
    ASSERT_TRUE(testsupport::eventually([&] { return !check.on("homeassistant/sensor/cellar_ttyUSB0_sensor1/config").empty(); }));
    const auto config = check.on("homeassistant/sensor/cellar_ttyUSB0_sensor1/config");
    ASSERT_EQ(config.size(), 1u);
    EXPECT_EQ(config[0].payload.find("expire_after"), std::string::npos) << "none unless asked";
}

// --- Metrics ---------------------------------------------------------------------

TEST(Metrics, TemperatureOnlyWhileTheSensorReadsAndTheTextPassesPromtool)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start{};
    publish::Snapshot snapshot;
    publish::count_reading(snapshot, reading(1, 21.5), start);
    publish::count_reading(snapshot, reading(2, 8.0), start);
    publish::count_reading(snapshot, reading(1, 21.0), start + 5s);
    publish::count_reading(snapshot, reading(2, std::nullopt), start + 5s);
    const std::string now = publish::metrics_text(snapshot, start + 5s);
    for (const char* line : {"quelvane_temperature_celsius{sensor=\"1\",chip=\"IC2\"} 21.0\n",
                             "quelvane_reading_success{sensor=\"1\"} 1\n", "quelvane_reading_success{sensor=\"2\"} 0\n",
                             "quelvane_readings_total{sensor=\"1\",result=\"ok\"} 2\n",
                             "quelvane_readings_total{sensor=\"2\",result=\"failed\"} 1\n",
                             "quelvane_readings_total{sensor=\"2\",result=\"ok\"} 1\n",
                             "# TYPE quelvane_readings_total counter\n",
                             "quelvane_build_info{version=\"" QUELVANE_VERSION "\"} 1\n"}) {
        EXPECT_NE(now.find(line), std::string::npos) << line << now;
    }
    EXPECT_EQ(now.find("chip=\"IC3\""), std::string::npos) << "no temperature for a failed sensor";
    // Three intervals without a reading: stale, so not served.
    EXPECT_NE(publish::metrics_text(snapshot, start + 20s).find("\"IC2\"} 21.0"), std::string::npos);
    EXPECT_EQ(publish::metrics_text(snapshot, start + 21s).find("quelvane_temperature_celsius{"), std::string::npos);

    for (const std::string& text : {now, publish::metrics_text(publish::Snapshot{}, start)}) {
        const auto [status, said] = testsupport::promtool_check_metrics(text);
        EXPECT_EQ(status, 0) << said << text;
    }
}

// Whether a socket listens on address:port (IPv4, as /proc/net/tcp shows it).
bool listens_on(const char* hex_address, int port)
{
    char local[32];
    std::snprintf(local, sizeof local, "%s:%04X", hex_address, port);
    std::ifstream table("/proc/net/tcp");
    for (std::string line; std::getline(table, line);) {
        if (line.find(std::string(" ") + local + " ") != std::string::npos && line.find(" 0A ") != std::string::npos) {
            return true;
        }
    }
    return false;
}

TEST(Metrics, ServesGetMetricsOnLoopbackAndBoundsItsClients)
{
    const int port = testsupport::free_port();
    publish::Endpoint endpoint;
    ASSERT_EQ(publish::parse_endpoint(std::to_string(port), endpoint), "");
    std::string error;
    auto server = publish::MetricsServer::start(endpoint, error);
    ASSERT_TRUE(server) << error;
    EXPECT_EQ(server->endpoint(), "127.0.0.1:" + std::to_string(port));
    EXPECT_TRUE(listens_on("0100007F", port)) << "on 127.0.0.1 only";
    EXPECT_FALSE(listens_on("00000000", port));
    server->reading(reading(1, 21.5));

    // The same port again: said, not thrown.
    EXPECT_FALSE(publish::MetricsServer::start(endpoint, error));
    EXPECT_EQ(error, "metrics: cannot listen on 127.0.0.1:" + std::to_string(port) + ": Address already in use");

    const std::string metrics = testsupport::http_get(port, "/metrics");
    EXPECT_EQ(testsupport::status_of(metrics), 200) << metrics;
    EXPECT_NE(metrics.find("Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"), std::string::npos);
    EXPECT_NE(testsupport::body_of(metrics).find("quelvane_temperature_celsius{sensor=\"1\",chip=\"IC2\"} 21.5\n"),
              std::string::npos);
    const struct {
        std::string request;
        int status;
    } requests[] = {
        {"HEAD /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 200},
        {"GET /metrics?x=1 HTTP/1.0\r\n\r\n", 200},
        {"GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404},
        {"GET /metrics/x HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 404},
        {"POST /metrics HTTP/1.1\r\nHost: x\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello", 405},
        {"DELETE /metrics HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n", 405},
        // A 1 MB request line: refused once it outgrows a connection's memory.
        {"GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", 414},
        {"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(1 << 20, 'b') + "\r\n\r\n", 431},
    };
    for (const auto& r : requests) {
        const std::string response = testsupport::http_exchange(port, r.request);
        EXPECT_EQ(testsupport::status_of(response), r.status) << r.request.substr(0, 40) << "\n" << response.substr(0, 200);
        if (r.status == 405) {
            EXPECT_NE(response.find("Allow: GET, HEAD\r\n"), std::string::npos);
        }
        if (r.request.starts_with("HEAD")) {
            EXPECT_EQ(testsupport::body_of(response), "");
        }
    }

    // A slow client holds one connection; a flood takes every slot it can.
    // Meanwhile readings are taken, and once the flood is gone the metrics
    // are served again.
    const int slow = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{AF_INET, htons(static_cast<std::uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    ASSERT_EQ(::connect(slow, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::send(slow, "GET /metr", 9, 0), 9);
    EXPECT_EQ(testsupport::status_of(testsupport::http_get(port, "/metrics")), 200) << "while the slow client waits";
    std::vector<int> flood;
    for (int i = 0; i < 300; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            ::close(fd);
        } else if (i % 10 == 0) {
            // A whole request, and gone before the answer: the server's
            // write fails, and must not end this process with SIGPIPE.
            const std::string request = "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n";
            ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
            ::close(fd);
        } else {
            flood.push_back(fd);
        }
    }
    server->reading(reading(1, 22.0));
    for (const int fd : flood) ::close(fd);
    ::close(slow);
    EXPECT_TRUE(testsupport::eventually([&] {
        return testsupport::body_of(testsupport::http_get(port, "/metrics")).find("\"IC2\"} 22.0\n") != std::string::npos;
    }));
}

}  // namespace
