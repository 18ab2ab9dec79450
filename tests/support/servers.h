// The real servers the publishers talk to, from Debian: a mosquitto broker and
// a Prometheus server, each started on free loopback ports with a config
// generated in a folder of its own and stopped at the end. A server that
// cannot start throws, which fails the test. The subscriber is mosquitto_sub;
// HTTP is written raw, for the requests a well-behaved client never sends.
#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/temp_dir.h"

namespace testsupport {

using namespace std::chrono_literals;

// A TCP port on 127.0.0.1 that nothing listens on, and that no earlier call
// returned.
int free_port();
// A socket connected to ip:port, or -1. Connecting, sending and receiving
// each give up after 5 s.
int connect_to(int port, const char* ip = "127.0.0.1");
// Waits until done() holds, at most timeout. Returns done().
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s);

// A program with its output (both streams) in a file, run without umockdev's
// preload. Killed at the end if still running.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void spawn(const std::vector<std::string>& argv, const std::string& output);
    bool running();
    void signal(int number);
    // Its exit status (128 + the signal that ended it) within 10 s, else it
    // is killed and -1.
    int wait();

private:
    pid_t pid_ = -1;
    int status_ = -1;
};

// A broker with three listeners that share the retained messages: port, open
// to anyone; locked_port, only for the user "quelvane" with the password
// "s3cret"; tls_port, with a certificate that is its own CA (ca_file()).
class Mosquitto {
public:
    Mosquitto();
    void start();  // on the same ports as before
    void kill();   // SIGKILL: no goodbye to anyone
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port); }
    std::string ca_file() const { return dir_.file("ca.pem"); }

    const int port = free_port(), locked_port = free_port(), tls_port = free_port();

private:
    TempDir dir_;
    Child child_;
};

// mosquitto_sub on every topic of a broker's open port.
class Subscriber {
public:
    struct Message {
        std::string payload;
        bool retained;
    };
    explicit Subscriber(int port);  // once the broker has acknowledged the subscription

    // Every message on topic since the start or clear(), in order.
    std::vector<Message> on(const std::string& topic);
    // Waits (20 s at most) until the last payload on topic is payload.
    bool last_becomes(const std::string& topic, const std::string& payload);
    void clear();

private:
    TempDir dir_;
    Child child_;
    std::size_t cleared_ = 0;  // the bytes of its output before clear()
};

// One request written as it stands, and what comes back until the server
// closes ("" when nothing answers).
std::string http_exchange(int port, const std::string& request);
std::string http_get(int port, const std::string& path);
// The status of a response ("HTTP/1.1 200 OK" gives 200), 0 without one.
int status_of(const std::string& response);
std::string body_of(const std::string& response);

// Prometheus scraping 127.0.0.1:target every second.
class Prometheus {
public:
    explicit Prometheus(int target);
    // The JSON answer of the HTTP API to the instant query of a metric.
    std::string query(const std::string& metric);

private:
    TempDir dir_;
    const int port_ = free_port();
    Child child_;
};

// promtool check metrics on text: its exit status and what it said.
std::pair<int, std::string> promtool_check_metrics(const std::string& text);

}  // namespace testsupport
