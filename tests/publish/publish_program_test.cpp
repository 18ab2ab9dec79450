// The real quelvane program publishing, end to end, under umockdev (its
// /dev/ttyS0 is the simulated board: sensor 1 at 21.5 °C, sensor 2 at 8.0 °C),
// to a real mosquitto broker and a real Prometheus server on loopback ports.
#include <gtest/gtest.h>

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <csignal>
#include <fstream>
#include <map>
#include <sys/socket.h>

#include "tests/support/program_fixture.h"
#include "tests/support/servers.h"

namespace {

using namespace std::chrono_literals;
using testsupport::eventually;
using testsupport::lines_of;
using testsupport::read_bytes;
using testsupport::Subscriber;

class PublishProgram : public testsupport::ProgramFixture {
protected:
    std::string said() const { return read_bytes(dir / "stderr"); }
    long log_lines() const { return lines_of(dir / "Quelvane.txt"); }
    // --log of one sensor every second, to broker as node "node".
    void log_to(const testsupport::Mosquitto& broker)
    {
        start(QUELVANE_PROGRAM, {}, false, {"--log", "--sensors", "1", "--every", "1", "--mqtt", broker.url(), "--mqtt-id", "node"});
    }
};

// A clean end (SIGTERM) says offline; a killed program leaves it to its will.
TEST_F(PublishProgram, LogEndsOfflineBySigtermAndByItsWillWhenKilled)
{
    testsupport::Mosquitto broker;
    Subscriber live(broker.port);
    for (const int signal : {SIGTERM, SIGKILL}) {
        SCOPED_TRACE(signal);
        live.clear();
        log_to(broker);
        ASSERT_TRUE(live.last_becomes("quelvane/node/sensor1", "21.5"));
        ASSERT_TRUE(live.last_becomes("quelvane/node/status", "online"));
        ASSERT_EQ(::kill(child, signal), 0);
        EXPECT_EQ(exit_status(), signal == SIGTERM ? 0 : 128 + SIGKILL);
        EXPECT_TRUE(live.last_becomes("quelvane/node/status", "offline"));
        EXPECT_EQ(live.on("quelvane/node/status").size(), 2u);
    }
    EXPECT_NE(said().find("quelvane: publishing to " + broker.url() + "/quelvane/node\n"), std::string::npos) << said();
    EXPECT_EQ(said().find("MQTT:"), std::string::npos) << said();
}

// The broker killed and restarted: the readings and the log go on; after the
// reconnect the latest state comes again, and no reading of the outage is
// replayed. Each change is told once. (That the configs and "online" come
// again, with no new reading, is in publish_test.cpp.)
TEST_F(PublishProgram, ABrokerRestartedMidRunGetsTheLatestStateAgain)
{
    testsupport::Mosquitto broker;
    {
        Subscriber live(broker.port);
        log_to(broker);
        ASSERT_TRUE(live.last_becomes("quelvane/node/sensor1", "21.5"));
    }
    broker.kill();
    const long before = log_lines();
    board.set_temperature(0, 22.0);
    ASSERT_TRUE(eventually([&] {
        return log_lines() >= before + 2 && read_bytes(dir / "Quelvane.txt").find("22,0") != std::string::npos;
    }));
    broker.start();

    Subscriber after(broker.port);
    ASSERT_TRUE(after.last_becomes("quelvane/node/sensor1", "22.0"));
    for (const auto& message : after.on("quelvane/node/sensor1")) EXPECT_EQ(message.payload, "22.0");
    const long lines = log_lines();
    terminate_when([&] { return log_lines() > lines; });
    const std::string err = said();
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 4) << err;  // publishing, logging, lost, back
    EXPECT_NE(err.find("quelvane: MQTT: connected to the broker at 127.0.0.1:" + std::to_string(broker.port) + " again\n"),
              std::string::npos) << err;
}

// A single reading from cron: everything retained (the subscriber comes
// after it), no "offline" after it; a password from a file; exit 1 after
// printing when the broker refuses it or is not reached.
TEST_F(PublishProgram, ReadPublishesRetainedOrSaysWhyNot)
{
    testsupport::Mosquitto broker;
    EXPECT_EQ(run({"--read", "--sensors", "2", "--mqtt", broker.url(), "--mqtt-id", "node", "--mqtt-expire", "900"}), 0);
    EXPECT_EQ(read_bytes(dir / "stdout"), "sensor1 21.5\nsensor2 8.0\n");
    EXPECT_EQ(said(), "");
    Subscriber after(broker.port);
    for (const auto& [topic, payload] : std::map<std::string, std::string>{{"quelvane/node/status", "online"},
                                                                           {"quelvane/node/sensor1", "21.5"},
                                                                           {"quelvane/node/sensor1/status", "online"},
                                                                           {"quelvane/node/sensor2", "8.0"},
                                                                           {"quelvane/node/sensor2/status", "online"}}) {
        EXPECT_TRUE(after.last_becomes(topic, payload)) << topic;
    }
    const std::string config = "homeassistant/sensor/node_sensor2/config";
    ASSERT_TRUE(eventually([&] { return !after.on(config).empty(); }));
    EXPECT_EQ(QJsonDocument::fromJson(QByteArray::fromStdString(after.on(config).back().payload))["expire_after"], 900);

    testsupport::write_bytes(dir / "right", "s3cret\n");
    testsupport::write_bytes(dir / "wrong", "secret\n");
    const std::string url = "mqtt://quelvane@127.0.0.1:" + std::to_string(broker.locked_port);
    const int nobody = testsupport::free_port();
    const struct {
        std::vector<std::string> words;
        int status;
        std::string err;
    } cases[] = {
        {{"--read", "--mqtt", url, "--mqtt-password-file", "right"}, 0, ""},
        {{"--read", "--mqtt", url, "--mqtt-password-file", "wrong"}, 1,
         "quelvane: MQTT: cannot reach the broker at 127.0.0.1:" + std::to_string(broker.locked_port) +
             " (the broker refused the connection: not authorised (check the user and the password)); the reading "
             "was not published\n"},
        {{"--read", "--mqtt", "mqtt://127.0.0.1:" + std::to_string(nobody)}, 1,
         "quelvane: MQTT: cannot reach the broker at 127.0.0.1:" + std::to_string(nobody) +
             " (Connection refused); the reading was not published\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.back());
        EXPECT_EQ(run(c.words), c.status);
        EXPECT_EQ(read_bytes(dir / "stdout"), "sensor1 21.5\n");
        EXPECT_EQ(said(), c.err);
    }
}

// With a [Publish] section the window publishes each tick's readings and says
// offline when it closes; its [CT] is saved as ever, [Publish] left as it is.
TEST_F(PublishProgram, TheWindowPublishesWithAPublishSection)
{
    testsupport::Mosquitto broker;
    Subscriber live(broker.port);
    const std::string publish = "[Publish]\r\nmqtt=" + broker.url() + "/maison\r\nmqtt_id=salon\r\n";
    std::ofstream(dir / "Quelvane.INI", std::ios::binary)
        << "[CT]\r\nFileId=quelv\r\nfrm_quelvaner.option_double.value=1\r\nfrm_quelvaner.option_single.value=0\r\n"
        << publish;
    start();
    ASSERT_TRUE(live.last_becomes("maison/salon/sensor1", "21.5"));
    ASSERT_TRUE(live.last_becomes("maison/salon/sensor2", "8.0"));
    terminate_when([] { return true; });
    EXPECT_TRUE(live.last_becomes("maison/salon/status", "offline"));
    const std::string settings = read_bytes(dir / "Quelvane.INI");
    EXPECT_EQ(settings.substr(settings.size() - publish.size()), publish);
    EXPECT_EQ(lines_of(dir / "Quelvane.INI"), 34 + 3);
    EXPECT_EQ(said().find("quelvane: "), std::string::npos) << said();
}

// The values Prometheus scraped from --metrics, by sensor.
std::map<std::string, std::string> scraped(testsupport::Prometheus& prometheus, const std::string& metric)
{
    std::map<std::string, std::string> values;
    const QJsonObject answer = QJsonDocument::fromJson(QByteArray::fromStdString(prometheus.query(metric))).object();
    for (const auto& sample : answer["data"].toObject()["result"].toArray()) {
        values[sample.toObject()["metric"].toObject()["sensor"].toString().toStdString()] =
            sample.toObject()["value"].toArray()[1].toString().toStdString();
    }
    return values;
}

// A real Prometheus scraping --metrics every second: the board's values, and
// a failing sensor's temperature gone. Meanwhile a flood of clients: half-sent
// requests on every connection the server takes, and now and then a whole
// request from a client gone before the answer (the server's write fails,
// and must not end the program with SIGPIPE). The readings and the log go
// on, and once the flood is gone Prometheus is served again.
TEST_F(PublishProgram, PrometheusScrapesTheBoardsValuesWhateverOtherClientsDo)
{
    const int port = testsupport::free_port();
    testsupport::Prometheus prometheus(port);
    start(QUELVANE_PROGRAM, {}, false, {"--log", "--sensors", "2", "--every", "1", "--metrics", std::to_string(port)});
    using Values = std::map<std::string, std::string>;
    ASSERT_TRUE(eventually([&] { return scraped(prometheus, "quelvane_temperature_celsius") == Values{{"1", "21.5"}, {"2", "8"}}; }, 30s))
        << prometheus.query("quelvane_temperature_celsius");

    std::vector<int> clients;
    for (int i = 0; i < 200; ++i) {
        const std::string request = i % 10 == 0 ? "GET /metrics HTTP/1.1\r\nHost: x\r\n\r\n" : "GET /me";
        const int fd = testsupport::connect_to(port);
        if (fd < 0) break;  // the server no longer takes connections: enough
        if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) > 0 && i % 10 != 0) {
            clients.push_back(fd);
        } else {
            ::close(fd);
        }
    }
    const long lines = log_lines();
    EXPECT_TRUE(eventually([&] { return log_lines() >= lines + 2; }));
    for (const int fd : clients) ::close(fd);

    board.set_present(1, false);
    EXPECT_TRUE(eventually([&] { return scraped(prometheus, "quelvane_temperature_celsius") == Values{{"1", "21.5"}}; }, 30s));
    EXPECT_EQ(scraped(prometheus, "quelvane_reading_success"), (Values{{"1", "1"}, {"2", "0"}}));
    const auto [status, told] = testsupport::promtool_check_metrics(testsupport::body_of(testsupport::http_get(port, "/metrics")));
    EXPECT_EQ(status, 0) << told;
    terminate_when([] { return true; });
    EXPECT_EQ(said(), "quelvane: metrics at http://127.0.0.1:" + std::to_string(port) +
                          "/metrics\nquelvane: logging sensors 1 and 2 from /dev/ttyS0 every 1 s to Quelvane.txt\n"
                          "sensor 2: no acknowledge at 0x49\n");
}

}  // namespace
