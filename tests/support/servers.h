// The real servers the publishers talk to, from Debian: a mosquitto broker and
// a Prometheus server, each started on a free loopback port with a config
// generated in a folder of its own and stopped at the end. A server that
// cannot start throws, which fails the test. Also: an MQTT subscriber (the
// same client library as the program), and a raw HTTP exchange for the
// requests a well-behaved client never sends. Loopback only.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "tests/support/temp_dir.h"

struct mosquitto;
struct mosquitto_message;

namespace testsupport {

using namespace std::chrono_literals;

// A TCP port on 127.0.0.1 that nothing listens on at the time of the call.
int free_port();

// Whether something accepts connections on 127.0.0.1:port.
bool accepts(int port);

// Waits until done() holds, at most timeout. Returns done().
bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout = 20s);

// A program run with its output (both streams) in a file, without umockdev's
// preload in its environment. Killed at the end if still running.
class Child {
public:
    Child() = default;
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void spawn(const std::vector<std::string>& argv, const std::string& output);
    bool running();
    void signal(int number);
    // Its exit status (128 + the signal that ended it), waiting at most 10 s.
    int wait();

private:
    pid_t pid_ = -1;
};

class Mosquitto {
public:
    struct Setup {
        // user:password the broker requires (anonymous clients refused)
        std::string user, password;
        bool tls = false;  // TLS with a CA of its own (ca_file())
    };
    explicit Mosquitto(Setup setup);
    Mosquitto() : Mosquitto(Setup{}) {}
    ~Mosquitto() = default;

    void start();     // on the same port as before
    void kill();      // SIGKILL: no goodbye to anyone
    int port() const { return port_; }
    std::string url() const;  // mqtt://127.0.0.1:PORT or mqtts://127.0.0.1:PORT
    std::string ca_file() const { return dir_.file("ca.pem"); }

private:
    TempDir dir_;
    int port_;
    bool tls_;
    Child child_;
};

// A subscriber to every topic (#), which keeps each message it gets.
class Subscriber {
public:
    struct Message {
        std::string payload;
        bool retained;
    };
    // Anonymous, or as user with password.
    explicit Subscriber(int port, const std::string& user = {}, const std::string& password = {});
    ~Subscriber();
    Subscriber(const Subscriber&) = delete;
    Subscriber& operator=(const Subscriber&) = delete;

    // Every message on topic so far, in order.
    std::vector<Message> on(const std::string& topic);
    // The last payload on topic, "" when none.
    std::string last(const std::string& topic);
    // Waits (20 s at most) until the last payload on topic is payload.
    bool last_becomes(const std::string& topic, const std::string& payload);
    // Forgets every message so far.
    void clear();

private:
    static void on_message(::mosquitto*, void* self, const ::mosquitto_message* message);

    ::mosquitto* client_;
    std::mutex mutex_;
    std::condition_variable arrived_;
    std::map<std::string, std::vector<Message>> messages_;
    bool subscribed_ = false;
};

// One request written as it stands, and whatever comes back until the server
// closes or timeout passes.
std::string http_exchange(int port, const std::string& request, std::chrono::milliseconds timeout = 10s);
std::string http_get(int port, const std::string& path);
// The status code of a response ("HTTP/1.1 200 OK" gives 200), 0 without one.
int status_of(const std::string& response);
// The body of a response.
std::string body_of(const std::string& response);

// Prometheus scraping 127.0.0.1:target every second.
class Prometheus {
public:
    explicit Prometheus(int target);
    // The JSON answer of the HTTP API's instant query.
    std::string query(const std::string& expression);

private:
    TempDir dir_;
    int port_;
    Child child_;
};

// promtool check metrics on text: its exit status and what it said.
std::pair<int, std::string> promtool_check_metrics(const std::string& text);

}  // namespace testsupport
