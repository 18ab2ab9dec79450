// The publishers in this process, against the real servers: a mosquitto broker
// watched by mosquitto_sub, promtool's reading of the text, and raw HTTP
// clients good and bad. What needs the whole program (its signals, --read, the
// window, a broker restarted under it, Prometheus scraping it) is in
// publish_program_test.cpp.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sys/socket.h>
#include <unistd.h>

#include "publishers/metrics_server.h"
#include "publish/publishing.h"
#include "tests/support/servers.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Subscriber;

// What the publishers told from their threads, line by line.
struct Told {
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

// Publishing to url as node "cellar_ttyUSB0".
std::unique_ptr<publish::Publishing> start(const std::string& url, Told& told, bool one_shot = false,
                                           const std::string& ca_file = {})
{
    publish::Plan plan;
    plan.mqtt.emplace();
    EXPECT_EQ(publish::parse_mqtt_url(url, plan.mqtt->url), "");
    plan.mqtt->node_id = "cellar_ttyUSB0";
    plan.mqtt->one_shot = one_shot;
    plan.mqtt->ca_file = ca_file;
    std::string error;
    auto publishing = publish::Publishing::start(plan, error, [&told](const std::string& line) {
        const std::lock_guard lock(told.mutex);
        told.lines.push_back(line);
    });
    EXPECT_TRUE(publishing) << error;
    return publishing;
}

TEST(PublishRequest, SectionKeysPlansAndDefaultIds)
{
    // What good values parse to (the refusals are in the command line's table).
    for (const auto& [text, parsed] : std::map<std::string, std::string>{
             {"mqtt://broker.lan", "mqtt @broker.lan:1883/quelvane"},
             {"MQTTS://ha@10.0.0.2/", "mqtts ha@10.0.0.2:8883/quelvane"},
             {"mqtt://me@home@[::1]:1884/maison/cave/", "mqtt me@home@::1:1884/maison/cave"}}) {
        publish::MqttUrl url;
        EXPECT_EQ(publish::parse_mqtt_url(text, url), "") << text;
        EXPECT_EQ((url.tls ? "mqtts " : "mqtt ") + url.user + "@" + url.host + ":" + std::to_string(url.port) + "/" + url.prefix,
                  parsed);
    }
    for (const auto& [text, parsed] : std::map<std::string, std::string>{
             {"9101", "127.0.0.1 9101"}, {"0.0.0.0:9101", "0.0.0.0 9101"}, {"[::]:80", "IPv6 :: 80"}}) {
        publish::Endpoint endpoint;
        EXPECT_EQ(publish::parse_endpoint(text, endpoint), "") << text;
        EXPECT_EQ((endpoint.ipv6 ? "IPv6 " : "") + endpoint.address + " " + std::to_string(endpoint.port), parsed);
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

    // The password (a missing file and a CA file without mqtts are in the
    // command line's table).
    testsupport::TempDir dir;
    for (const auto& [name, text] : std::map<std::string, std::string>{
             {"good", "s3cret\n"}, {"crlf", "s3cret\r\n"}, {"empty", "\n"}, {"two", "s3cret\nmore\n"}}) {
        testsupport::write_bytes(dir.file(name), text);
    }
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
        {"mqtt://u@broker", dir.file("empty"), {}, {}, "the password file '" + dir.file("empty") + "' is empty", {}},
        {"mqtt://u@broker", dir.file("two"), {}, {}, "the password file '" + dir.file("two") + "' holds more than one line", {}},
        {"mqtt://u@broker", "/dev/null", {}, {}, "cannot read the password file '/dev/null': not a regular file", {}},
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

std::string config_topic(int sensor)
{
    return "homeassistant/sensor/cellar_ttyUSB0_sensor" + std::to_string(sensor) + "/config";
}

// The last config of a sensor, parsed; empty when none came.
QJsonObject config_of(Subscriber& subscriber, int sensor)
{
    const std::string topic = config_topic(sensor);
    EXPECT_TRUE(testsupport::eventually([&] { return !subscriber.on(topic).empty(); })) << topic;
    const auto messages = subscriber.on(topic);
    if (messages.empty()) return {};
    QJsonParseError parse{};
    const QJsonObject config = QJsonDocument::fromJson(QByteArray::fromStdString(messages.back().payload), &parse).object();
    EXPECT_EQ(parse.error, QJsonParseError::NoError) << messages.back().payload;
    return config;
}

TEST(Mqtt, DiscoveryStatesAndAvailabilityThroughAFailureAndABrokerRestart)
{
    testsupport::Mosquitto broker;
    Subscriber live(broker.port);
    Told told;
    auto publishing = start(broker.url() + "/maison", told);
    const std::string base = "maison/cellar_ttyUSB0";

    publishing->reading(reading(1, 21.5));
    publishing->reading(reading(2, -3.0));
    ASSERT_TRUE(live.last_becomes(base + "/sensor2", "-3.0"));

    // What Home Assistant finds on subscribing: the retained configs, states
    // and availability.
    Subscriber late(broker.port);
    for (const auto& [topic, payload] : std::map<std::string, std::string>{{base + "/status", "online"},
                                                                           {base + "/sensor1", "21.5"},
                                                                           {base + "/sensor1/status", "online"},
                                                                           {base + "/sensor2/status", "online"}}) {
        ASSERT_TRUE(late.last_becomes(topic, payload)) << topic;
        EXPECT_TRUE(late.on(topic).back().retained) << topic;
    }
    for (const QString n : {"1", "2"}) {
        const QJsonObject expected = QJsonDocument::fromJson(QString(R"({
            "name": "Sensor %1", "unique_id": "quelvane_cellar_ttyUSB0_sensor%1", "state_topic": "%2/sensor%1",
            "availability": [{"topic": "%2/status"}, {"topic": "%2/sensor%1/status"}], "availability_mode": "all",
            "device_class": "temperature", "state_class": "measurement", "unit_of_measurement": "°C",
            "suggested_display_precision": 1, "expire_after": 15,
            "device": {"identifiers": ["quelvane_cellar_ttyUSB0"], "name": "Quelvane cellar_ttyUSB0", "model": "DS1621"}
        })").arg(n, QString::fromStdString(base)).toUtf8()).object();  // expire_after: three intervals of 5 s
        const QJsonObject config = config_of(late, n.toInt());
        EXPECT_TRUE(late.on(config_topic(n.toInt())).back().retained);
        for (auto field = expected.begin(); field != expected.end(); ++field) {
            EXPECT_EQ(config[field.key()], field.value()) << "sensor " << n.toStdString() << ": " << field.key().toStdString();
        }
        EXPECT_EQ(config.size(), expected.size()) << QJsonDocument(config).toJson().toStdString();
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
    EXPECT_EQ(told.all(), std::vector<std::string>{});

    // The broker restarted, its retained messages gone: with no new reading,
    // the configs, "online" and the latest states come again. Told once each.
    broker.kill();
    broker.start();
    Subscriber after(broker.port);
    for (const auto& [topic, payload] : std::map<std::string, std::string>{{base + "/status", "online"},
                                                                           {base + "/sensor1", "21.0"},
                                                                           {base + "/sensor2", "7.5"},
                                                                           {base + "/sensor2/status", "online"}}) {
        EXPECT_TRUE(after.last_becomes(topic, payload)) << topic;
    }
    EXPECT_EQ(config_of(after, 1)["state_topic"], QString::fromStdString(base + "/sensor1"));
    const std::string address = "127.0.0.1:" + std::to_string(broker.port);
    const auto lines = told.all();
    ASSERT_EQ(lines.size(), 2u) << ::testing::PrintToString(lines);
    EXPECT_TRUE(lines[0].starts_with("MQTT: lost the broker at " + address + " (")) << lines[0];
    EXPECT_TRUE(lines[0].ends_with("); trying again, the readings go on")) << lines[0];
    EXPECT_EQ(lines[1], "MQTT: connected to the broker at " + address + " again");
}

// A single reading (--read) over TLS: delivered with the broker's CA, one
// clear line without it. Its config has no expire_after unless asked. (A
// password, and a broker that cannot be reached, are the program's --read.)
TEST(Mqtt, SingleReadingOverTls)
{
    testsupport::Mosquitto broker;
    const std::string address = "127.0.0.1:" + std::to_string(broker.tls_port);
    for (const bool trusted : {true, false}) {
        Told told;
        auto publishing = start("mqtts://" + address, told, true, trusted ? broker.ca_file() : "");
        publishing->reading(reading(1, 21.5, 0s));
        EXPECT_EQ(publishing->deliver(std::chrono::steady_clock::now() + 10s), trusted);
        publishing.reset();
        EXPECT_EQ(told.all(), trusted ? std::vector<std::string>{}
                                      : std::vector<std::string>{"MQTT: cannot reach the broker at " + address +
                                                                 " (the TLS handshake failed (is the broker's certificate "
                                                                 "trusted?)); the reading was not published"});
    }
    Subscriber check(broker.port);
    EXPECT_TRUE(check.last_becomes("quelvane/cellar_ttyUSB0/sensor1", "21.5"));
    EXPECT_FALSE(config_of(check, 1).contains("expire_after"));
}

// --- Metrics ---------------------------------------------------------------------

TEST(Metrics, TemperatureOnlyWhileTheSensorReadsFreshly)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point start{};
    publish::Snapshot snapshot;
    publish::count_reading(snapshot, reading(1, 21.5), start);
    publish::count_reading(snapshot, reading(2, 8.0), start);
    publish::count_reading(snapshot, reading(1, 21.0), start + 5s);
    publish::count_reading(snapshot, reading(2, std::nullopt), start + 5s);
    const std::string now = publish::metrics_text(snapshot, start + 5s);
    // (A failed sensor's temperature, and the success gauge: Prometheus scraping the program.)
    for (const char* line : {"quelvane_temperature_celsius{sensor=\"1\",chip=\"IC2\"} 21.0\n",
                             "quelvane_readings_total{sensor=\"1\",result=\"ok\"} 2\n",
                             "quelvane_readings_total{sensor=\"2\",result=\"failed\"} 1\n",
                             "quelvane_readings_total{sensor=\"2\",result=\"ok\"} 1\n",
                             "# TYPE quelvane_readings_total counter\n",
                             "quelvane_build_info{version=\"" QUELVANE_VERSION "\"} 1\n"}) {
        EXPECT_NE(now.find(line), std::string::npos) << line << now;
    }
    // Three intervals without a reading: stale, so not served.
    EXPECT_NE(publish::metrics_text(snapshot, start + 20s).find("\"IC2\"} 21.0"), std::string::npos);
    EXPECT_EQ(publish::metrics_text(snapshot, start + 21s).find("quelvane_temperature_celsius{"), std::string::npos);
}

// GET /metrics on 127.0.0.1 unless told otherwise; every other request
// refused; a slow client holds one connection, not the server. (Many clients
// at once, with the readings going on, are the program's.)
TEST(Metrics, ServesGetMetricsOnLoopbackAndRefusesTheRest)
{
    const int port = testsupport::free_port();
    publish::Endpoint endpoint;
    ASSERT_EQ(publish::parse_endpoint(std::to_string(port), endpoint), "");
    std::string error;
    auto server = publish::MetricsServer::start(endpoint, error);
    ASSERT_TRUE(server) << error;
    EXPECT_EQ(server->endpoint(), "127.0.0.1:" + std::to_string(port));
    EXPECT_EQ(testsupport::connect_to(port, "127.0.0.2"), -1) << "127.0.0.1 only, not every address";
    server->reading(reading(1, 21.5));

    // The same port again: said, not thrown.
    EXPECT_FALSE(publish::MetricsServer::start(endpoint, error));
    EXPECT_EQ(error, "metrics: cannot listen on 127.0.0.1:" + std::to_string(port) + ": Address already in use");

    const std::string close = "Host: x\r\nConnection: close\r\n\r\n";
    const struct {
        std::string request;
        int status;
        std::string holds;
    } requests[] = {
        {"GET /metrics?x=1 HTTP/1.0\r\n\r\n", 200, "Content-Type: text/plain; version=0.0.4; charset=utf-8\r\n"},
        {"HEAD /metrics HTTP/1.1\r\n" + close, 200, ""},
        {"GET / HTTP/1.1\r\n" + close, 404, ""},
        {"GET /metrics/x HTTP/1.1\r\n" + close, 404, ""},
        {"POST /metrics HTTP/1.1\r\nContent-Length: 5\r\n" + close + "hello", 405, "Allow: GET, HEAD\r\n"},
        {"DELETE /metrics HTTP/1.1\r\n" + close, 405, "Allow: GET, HEAD\r\n"},
        // 1 MB: refused once it outgrows a connection's memory.
        {"GET /" + std::string(1 << 20, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n", 414, ""},
        {"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(1 << 20, 'b') + "\r\n\r\n", 431, ""},
    };
    for (const auto& r : requests) {
        const std::string response = testsupport::http_exchange(port, r.request);
        SCOPED_TRACE(r.request.substr(0, 40) + "\n" + response.substr(0, 300));
        EXPECT_EQ(testsupport::status_of(response), r.status);
        EXPECT_NE(response.find(r.holds), std::string::npos);
        if (r.request.starts_with("HEAD")) {
            EXPECT_EQ(testsupport::body_of(response), "");
        }
    }

    const int slow = testsupport::connect_to(port);
    ASSERT_EQ(::send(slow, "GET /metr", 9, 0), 9);
    server->reading(reading(1, 22.0));
    const std::string metrics = testsupport::http_get(port, "/metrics");
    EXPECT_NE(metrics.find("quelvane_temperature_celsius{sensor=\"1\",chip=\"IC2\"} 22.0\n"), std::string::npos)
        << "while the slow client waits:\n" << metrics;
    ::close(slow);
}

}  // namespace
