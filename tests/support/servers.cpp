#include "tests/support/servers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <mosquitto.h>
#include <netinet/in.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {
namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket connected to 127.0.0.1:port, or -1.
int connect_to(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
        return fd;
    }
    if (fd >= 0) ::close(fd);
    return -1;
}

// Runs a command to its end; throws when it fails.
void run_to_end(const std::vector<std::string>& argv, const std::string& output)
{
    Child child;
    child.spawn(argv, output);
    if (child.wait() != 0) {
        throw std::runtime_error(argv[0] + " failed: " + read_bytes(output));
    }
}

// Waits for a server to accept connections on port; throws with its output
// when it ends or does not within the time.
void await_listening(Child& child, int port, const std::string& output, const char* name)
{
    if (!eventually([&] { return accepts(port) || !child.running(); }, 20s) || !child.running()) {
        throw std::runtime_error(std::string(name) + " did not start on 127.0.0.1:" + std::to_string(port) + ": " +
                                 read_bytes(output));
    }
}

std::string url_encoded(const std::string& text)
{
    std::string encoded;
    for (const unsigned char c : text) {
        if (std::isalnum(c) || c == '_' || c == '-' || c == '.') {
            encoded += static_cast<char>(c);
        } else {
            char hex[4];
            std::snprintf(hex, sizeof hex, "%%%02X", c);
            encoded += hex;
        }
    }
    return encoded;
}

}  // namespace

int free_port()
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        throw std::runtime_error(std::string("no free port: ") + std::strerror(errno));
    }
    ::close(fd);
    return ntohs(address.sin_port);
}

bool accepts(int port)
{
    const int fd = connect_to(port);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

bool eventually(const std::function<bool()>& done, std::chrono::milliseconds timeout)
{
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= until) return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

// --- Child -----------------------------------------------------------------------

Child::~Child()
{
    if (running()) {
        signal(SIGKILL);
        wait();
    }
}

void Child::spawn(const std::vector<std::string>& argv, const std::string& output)
{
    std::vector<char*> arguments;
    for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
    // The servers run without the umockdev preload the test binary may carry.
    std::vector<char*> environment;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        if (std::strncmp(*entry, "LD_PRELOAD=", 11) != 0 && std::strncmp(*entry, "UMOCKDEV_", 9) != 0) {
            environment.push_back(*entry);
        }
    }
    environment.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    const int error = posix_spawnp(&pid_, arguments[0], &actions, nullptr, arguments.data(), environment.data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    }
}

bool Child::running()
{
    if (pid_ <= 0) return false;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
    }
    return true;
}

void Child::signal(int number)
{
    if (pid_ > 0) ::kill(pid_, number);
}

int Child::wait()
{
    int status = 0;
    for (int waited = 0; waited < 500; ++waited) {
        if (pid_ <= 0) return -1;
        const pid_t ended = ::waitpid(pid_, &status, WNOHANG);
        if (ended == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(20ms);
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return -1;
}

// --- Mosquitto --------------------------------------------------------------------

Mosquitto::Mosquitto(Setup setup) : port_(free_port()), tls_(setup.tls)
{
    std::string config = "listener " + std::to_string(port_) + " 127.0.0.1\n"
                         "persistence false\nlog_dest stdout\nlog_type error\nlog_type warning\n";
    if (::geteuid() == 0) {
        config += "user root\n";  // else it would drop to a user that cannot read this folder
    }
    if (setup.user.empty()) {
        config += "allow_anonymous true\n";
    } else {
        run_to_end({"mosquitto_passwd", "-c", "-b", dir_.file("passwords"), setup.user, setup.password},
                   dir_.file("passwd.out"));
        config += "allow_anonymous false\npassword_file " + dir_.file("passwords") + "\n";
    }
    if (tls_) {
        // A CA of its own, and a certificate for 127.0.0.1 that it signs.
        const std::string out = dir_.file("openssl.out");
        const std::vector<std::string> ec{"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"};
        std::vector<std::string> ca{"openssl", "req", "-x509"};
        ca.insert(ca.end(), ec.begin(), ec.end());
        ca.insert(ca.end(), {"-keyout", dir_.file("ca.key"), "-out", ca_file(), "-days", "2", "-subj", "/CN=quelvane test CA"});
        run_to_end(ca, out);
        std::vector<std::string> request{"openssl", "req"};
        request.insert(request.end(), ec.begin(), ec.end());
        request.insert(request.end(), {"-keyout", dir_.file("server.key"), "-out", dir_.file("server.csr"), "-subj", "/CN=127.0.0.1"});
        run_to_end(request, out);
        write_bytes(dir_.file("san.cnf"), "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1,DNS:localhost\n");
        run_to_end({"openssl", "x509", "-req", "-in", dir_.file("server.csr"), "-CA", ca_file(), "-CAkey", dir_.file("ca.key"),
                    "-CAcreateserial", "-out", dir_.file("server.pem"), "-days", "2", "-extfile", dir_.file("san.cnf")},
                   out);
        config += "cafile " + ca_file() + "\ncertfile " + dir_.file("server.pem") + "\nkeyfile " + dir_.file("server.key") + "\n";
    }
    write_bytes(dir_.file("mosquitto.conf"), config);
    start();
}

void Mosquitto::start()
{
    child_.spawn({QUELVANE_MOSQUITTO, "-c", dir_.file("mosquitto.conf")}, dir_.file("mosquitto.out"));
    await_listening(child_, port_, dir_.file("mosquitto.out"), "mosquitto");
}

void Mosquitto::kill()
{
    child_.signal(SIGKILL);
    child_.wait();
}

std::string Mosquitto::url() const { return std::string(tls_ ? "mqtts" : "mqtt") + "://127.0.0.1:" + std::to_string(port_); }

// --- Subscriber -------------------------------------------------------------------

Subscriber::Subscriber(int port, const std::string& user, const std::string& password)
{
    mosquitto_lib_init();
    client_ = mosquitto_new(nullptr, true, this);
    if (client_ == nullptr) throw std::runtime_error("mosquitto_new failed");
    // (Re)subscribes on every connection: the broker may be restarted.
    mosquitto_connect_callback_set(client_, [](mosquitto* client, void*, int result) {
        if (result == 0) mosquitto_subscribe(client, nullptr, "#", 1);
    });
    mosquitto_subscribe_callback_set(client_, [](mosquitto*, void* self, int, int, const int*) {
        auto& subscriber = *static_cast<Subscriber*>(self);
        const std::lock_guard lock(subscriber.mutex_);
        subscriber.subscribed_ = true;
        subscriber.arrived_.notify_all();
    });
    mosquitto_message_callback_set(client_, on_message);
    mosquitto_reconnect_delay_set(client_, 1, 1, false);
    if (!user.empty()) mosquitto_username_pw_set(client_, user.c_str(), password.c_str());
    if (mosquitto_connect(client_, "127.0.0.1", port, 30) != MOSQ_ERR_SUCCESS || mosquitto_loop_start(client_) != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client_);
        throw std::runtime_error("the subscriber cannot connect to port " + std::to_string(port));
    }
    std::unique_lock lock(mutex_);
    if (!arrived_.wait_for(lock, 10s, [this] { return subscribed_; })) throw std::runtime_error("the subscription was not acknowledged");
}

Subscriber::~Subscriber()
{
    mosquitto_disconnect(client_);
    mosquitto_loop_stop(client_, false);
    mosquitto_destroy(client_);
}

void Subscriber::on_message(mosquitto*, void* self, const mosquitto_message* message)
{
    auto& subscriber = *static_cast<Subscriber*>(self);
    const std::lock_guard lock(subscriber.mutex_);
    subscriber.messages_[message->topic].push_back(
        {std::string(static_cast<const char*>(message->payload), static_cast<std::size_t>(message->payloadlen)),
         message->retain});
    subscriber.arrived_.notify_all();
}

std::vector<Subscriber::Message> Subscriber::on(const std::string& topic)
{
    const std::lock_guard lock(mutex_);
    const auto found = messages_.find(topic);
    return found == messages_.end() ? std::vector<Message>{} : found->second;
}

std::string Subscriber::last(const std::string& topic)
{
    const auto messages = on(topic);
    return messages.empty() ? std::string() : messages.back().payload;
}

bool Subscriber::last_becomes(const std::string& topic, const std::string& payload)
{
    std::unique_lock lock(mutex_);
    return arrived_.wait_for(lock, 20s, [&] {
        const auto found = messages_.find(topic);
        return found != messages_.end() && !found->second.empty() && found->second.back().payload == payload;
    });
}

void Subscriber::clear()
{
    const std::lock_guard lock(mutex_);
    messages_.clear();
}

// --- HTTP -------------------------------------------------------------------------

std::string http_exchange(int port, const std::string& request, std::chrono::milliseconds timeout)
{
    const int fd = connect_to(port);
    if (fd < 0) return {};
    std::size_t sent = 0;
    while (sent < request.size()) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may answer and close before taking it all
        sent += static_cast<std::size_t>(n);
    }
    std::string response;
    const auto until = std::chrono::steady_clock::now() + timeout;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now());
        pollfd readable{fd, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&readable, 1, static_cast<int>(left.count())) <= 0) break;
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        response.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return response;
}

std::string http_get(int port, const std::string& path)
{
    return http_exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

int status_of(const std::string& response)
{
    if (response.rfind("HTTP/1.", 0) != 0 || response.size() < 12) return 0;
    return std::atoi(response.c_str() + 9);
}

std::string body_of(const std::string& response)
{
    const std::size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// --- Prometheus -------------------------------------------------------------------

Prometheus::Prometheus(int target) : port_(free_port())
{
    write_bytes(dir_.file("prometheus.yml"), "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                             "scrape_configs:\n  - job_name: quelvane\n    static_configs:\n"
                                             "      - targets: ['127.0.0.1:" + std::to_string(target) + "']\n");
    child_.spawn({QUELVANE_PROMETHEUS, "--config.file=" + dir_.file("prometheus.yml"),
                  "--storage.tsdb.path=" + dir_.file("data"), "--web.listen-address=127.0.0.1:" + std::to_string(port_),
                  "--log.level=error"},
                 dir_.file("prometheus.out"));
    await_listening(child_, port_, dir_.file("prometheus.out"), "prometheus");
    if (!eventually([this] { return status_of(http_get(port_, "/-/ready")) == 200; }, 30s)) {
        throw std::runtime_error("prometheus did not become ready: " + read_bytes(dir_.file("prometheus.out")));
    }
}

std::string Prometheus::query(const std::string& expression)
{
    return body_of(http_get(port_, "/api/v1/query?query=" + url_encoded(expression)));
}

std::pair<int, std::string> promtool_check_metrics(const std::string& text)
{
    TempDir dir;
    write_bytes(dir.file("metrics.txt"), text);
    Child child;
    // promtool reads the metrics from its standard input.
    child.spawn({"sh", "-c", std::string(QUELVANE_PROMTOOL) + " check metrics < '" + dir.file("metrics.txt") + "'"},
                dir.file("promtool.out"));
    const int status = child.wait();
    return {status, read_bytes(dir.file("promtool.out"))};
}

}  // namespace testsupport
