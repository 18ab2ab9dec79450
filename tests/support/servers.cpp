#include "tests/support/servers.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <set>
#include <spawn.h>
#include <stdexcept>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace testsupport {
namespace {

sockaddr_in address_of(const char* ip, int port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(port));
    ::inet_pton(AF_INET, ip, &address.sin_addr);
    return address;
}

// Runs a command to its end; throws when it fails.
void run_to_end(const std::vector<std::string>& argv, const std::string& output)
{
    Child child;
    child.spawn(argv, output);
    if (child.wait() != 0) throw std::runtime_error(argv[0] + " failed: " + read_bytes(output));
}

// Waits for a server to be up; throws with its output when it ends first or
// is not up within 30 s.
void await_up(const char* name, Child& child, const std::function<bool()>& up, const std::string& output)
{
    if (!eventually([&] { return !child.running() || up(); }, 30s) || !child.running()) {
        throw std::runtime_error(std::string(name) + " did not start: " + read_bytes(output));
    }
}

}  // namespace

int free_port()
{
    static std::set<int> given;
    for (;;) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = address_of("127.0.0.1", 0);
        socklen_t length = sizeof address;
        if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            throw std::runtime_error(std::string("no free port: ") + std::strerror(errno));
        }
        ::close(fd);
        if (given.insert(ntohs(address.sin_port)).second) return ntohs(address.sin_port);
    }
}

int connect_to(int port, const char* ip)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const timeval limit{5, 0};  // SO_SNDTIMEO also bounds the connect, when the server's backlog is full
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    const sockaddr_in address = address_of(ip, port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    if (fd >= 0) ::close(fd);
    return -1;
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
    signal(SIGKILL);
    wait();
}

void Child::spawn(const std::vector<std::string>& argv, const std::string& output)
{
    std::vector<char*> arguments;
    for (const std::string& argument : argv) arguments.push_back(const_cast<char*>(argument.c_str()));
    arguments.push_back(nullptr);
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
    status_ = -1;
    if (error != 0) {
        pid_ = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(error));
    }
}

bool Child::running()
{
    int status = 0;
    if (pid_ > 0 && ::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    return pid_ > 0;
}

void Child::signal(int number)
{
    if (pid_ > 0) ::kill(pid_, number);
}

int Child::wait()
{
    if (!eventually([this] { return !running(); }, 10s)) {
        signal(SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    return status_;
}

// --- Mosquitto --------------------------------------------------------------------

Mosquitto::Mosquitto()
{
    const std::string out = dir_.file("setup.out"), key = dir_.file("key.pem");
    run_to_end({"mosquitto_passwd", "-c", "-b", dir_.file("passwords"), "quelvane", "s3cret"}, out);
    run_to_end({"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-days", "2",
                "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", ca_file()},
               out);
    const auto listener = [](int port) { return "listener " + std::to_string(port) + " 127.0.0.1\n"; };
    write_bytes(dir_.file("mosquitto.conf"),
                // As root it would drop to a user that cannot read this folder.
                std::string(::geteuid() == 0 ? "user root\n" : "") + "persistence false\nper_listener_settings true\n" +
                    listener(port) + "allow_anonymous true\n" + listener(locked_port) + "password_file " +
                    dir_.file("passwords") + "\n" + listener(tls_port) + "allow_anonymous true\ncertfile " + ca_file() +
                    "\nkeyfile " + key + "\n");
    start();
}

void Mosquitto::start()
{
    child_.spawn({QUELVANE_MOSQUITTO, "-c", dir_.file("mosquitto.conf")}, dir_.file("mosquitto.out"));
    await_up("mosquitto", child_, [this] {
        const int fd = connect_to(tls_port);  // the last listener opened
        return fd >= 0 && ::close(fd) == 0;
    }, dir_.file("mosquitto.out"));
}

void Mosquitto::kill()
{
    child_.signal(SIGKILL);
    child_.wait();
}

// --- Subscriber -------------------------------------------------------------------

Subscriber::Subscriber(int port)
{
    // A line a message: its retain flag, topic and payload; the debug lines
    // (-d) tell when the subscription holds. Each line is written at once.
    child_.spawn({"stdbuf", "-oL", "mosquitto_sub", "-h", "127.0.0.1", "-p", std::to_string(port), "-t", "#", "-q", "1",
                  "-d", "-F", "%r %t %p"},
                 dir_.file("out"));
    await_up("mosquitto_sub", child_, [this] { return read_bytes(dir_.file("out")).find("\nSubscribed") != std::string::npos; },
             dir_.file("out"));
}

std::vector<Subscriber::Message> Subscriber::on(const std::string& topic)
{
    const std::string text = read_bytes(dir_.file("out")).substr(cleared_);
    std::vector<Message> messages;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if ((line.starts_with("0 ") || line.starts_with("1 ")) && line.compare(2, topic.size() + 1, topic + " ") == 0) {
            messages.push_back({line.substr(topic.size() + 3), line[0] == '1'});
        }
    }
    return messages;
}

bool Subscriber::last_becomes(const std::string& topic, const std::string& payload)
{
    return eventually([&] {
        const auto messages = on(topic);
        return !messages.empty() && messages.back().payload == payload;
    });
}

void Subscriber::clear() { cleared_ = read_bytes(dir_.file("out")).rfind('\n') + 1; }

// --- HTTP -------------------------------------------------------------------------

std::string http_exchange(int port, const std::string& request)
{
    const int fd = connect_to(port);
    if (fd < 0) return {};
    for (std::size_t sent = 0; sent < request.size();) {
        const ssize_t n = ::send(fd, request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // the server may answer and close before taking it all
        sent += static_cast<std::size_t>(n);
    }
    std::string response;
    char buffer[4096];
    for (ssize_t n; (n = ::recv(fd, buffer, sizeof buffer, 0)) > 0;) response.append(buffer, static_cast<std::size_t>(n));
    ::close(fd);
    return response;
}

std::string http_get(int port, const std::string& path)
{
    return http_exchange(port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
}

int status_of(const std::string& response)
{
    return response.starts_with("HTTP/1.") && response.size() >= 12 ? std::atoi(response.c_str() + 9) : 0;
}

std::string body_of(const std::string& response)
{
    const std::size_t end = response.find("\r\n\r\n");
    return end == std::string::npos ? std::string() : response.substr(end + 4);
}

// --- Prometheus -------------------------------------------------------------------

Prometheus::Prometheus(int target)
{
    write_bytes(dir_.file("prometheus.yml"), "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
                                             "scrape_configs:\n  - job_name: quelvane\n    static_configs:\n"
                                             "      - targets: ['127.0.0.1:" + std::to_string(target) + "']\n");
    child_.spawn({QUELVANE_PROMETHEUS, "--config.file=" + dir_.file("prometheus.yml"),
                  "--storage.tsdb.path=" + dir_.file("data"), "--web.listen-address=127.0.0.1:" + std::to_string(port_),
                  "--log.level=error"},
                 dir_.file("prometheus.out"));
    await_up("prometheus", child_, [this] { return status_of(http_get(port_, "/-/ready")) == 200; }, dir_.file("prometheus.out"));
}

std::string Prometheus::query(const std::string& metric) { return body_of(http_get(port_, "/api/v1/query?query=" + metric)); }

std::pair<int, std::string> promtool_check_metrics(const std::string& text)
{
    TempDir dir;
    write_bytes(dir.file("metrics.txt"), text);
    Child child;
    // promtool reads the metrics from its standard input.
    child.spawn({"sh", "-c", std::string(QUELVANE_PROMTOOL) + " check metrics < '" + dir.file("metrics.txt") + "'"},
                dir.file("promtool.out"));
    return {child.wait(), read_bytes(dir.file("promtool.out"))};
}

}  // namespace testsupport
