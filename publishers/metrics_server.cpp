#include "publishers/metrics_server.h"

#include <arpa/inet.h>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "log/reading_text.h"

namespace publish {
namespace {

constexpr const char* chips[] = {"IC2", "IC3"};

bool fresh_enough(const SensorMetrics& sensor, std::chrono::steady_clock::time_point now)
{
    return sensor.interval.count() <= 0 || now - sensor.taken <= kept_for(sensor.interval);
}

std::string seconds_text(std::chrono::system_clock::time_point time)
{
    const double seconds = std::chrono::duration<double>(time.time_since_epoch()).count();
    char digits[32];
    const auto end = std::to_chars(digits, digits + sizeof digits, seconds, std::chars_format::fixed, 3).ptr;
    return std::string(digits, end);
}

// One family: its HELP and TYPE lines, then a sample for each sensor seen,
// given its number ("1") and chip ("IC2").
template <class Sample>
void family(std::string& text, const char* name, const char* type, const char* help, const Snapshot& snapshot,
            Sample sample)
{
    text += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    for (std::size_t i = 0; i < snapshot.size(); ++i) {
        if (snapshot[i].seen) sample(text, name, std::to_string(i + 1), chips[i], snapshot[i]);
    }
}

// A listening TCP socket on the endpoint, or minus the errno of the call that failed.
int listening_socket(const Endpoint& endpoint)
{
    sockaddr_storage address{};
    socklen_t length = 0;
    if (endpoint.ipv6) {
        auto& in6 = reinterpret_cast<sockaddr_in6&>(address);
        in6.sin6_family = AF_INET6;
        in6.sin6_port = htons(static_cast<std::uint16_t>(endpoint.port));
        inet_pton(AF_INET6, endpoint.address.c_str(), &in6.sin6_addr);
        length = sizeof in6;
    } else {
        auto& in4 = reinterpret_cast<sockaddr_in&>(address);
        in4.sin_family = AF_INET;
        in4.sin_port = htons(static_cast<std::uint16_t>(endpoint.port));
        inet_pton(AF_INET, endpoint.address.c_str(), &in4.sin_addr);
        length = sizeof in4;
    }
    const int fd = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -errno;
    }
    const int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 || ::listen(fd, 64) != 0) {
        const int error = errno;
        ::close(fd);
        return -error;
    }
    return fd;
}

MHD_Result answer(void* server, MHD_Connection* connection, const char* url, const char* method, const char*,
                  const char*, size_t*, void**)
{
    // Answered on the first call, once the headers are in; a body sent with
    // the request is never read, and the connection is closed after it.
    int status = MHD_HTTP_OK;
    std::string body;
    const char* type = "text/plain; charset=utf-8";
    if (std::strcmp(url, "/metrics") != 0) {
        status = MHD_HTTP_NOT_FOUND;
        body = "Not found: the metrics are at /metrics\n";
    } else if (std::strcmp(method, MHD_HTTP_METHOD_GET) != 0 && std::strcmp(method, MHD_HTTP_METHOD_HEAD) != 0) {
        status = MHD_HTTP_METHOD_NOT_ALLOWED;
        body = "Method not allowed: GET /metrics\n";
    } else {
        body = static_cast<const MetricsServer*>(server)->text();
        type = "text/plain; version=0.0.4; charset=utf-8";
    }
    MHD_Response* response = MHD_create_response_from_buffer(body.size(), body.data(), MHD_RESPMEM_MUST_COPY);
    if (response == nullptr) {
        return MHD_NO;
    }
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    if (status == MHD_HTTP_METHOD_NOT_ALLOWED) {
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    }
    const MHD_Result queued = MHD_queue_response(connection, static_cast<unsigned>(status), response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace

void count_reading(Snapshot& snapshot, const Reading& reading, std::chrono::steady_clock::time_point now)
{
    if (reading.sensor < 1 || reading.sensor > static_cast<int>(snapshot.size())) {
        return;
    }
    SensorMetrics& sensor = snapshot[static_cast<std::size_t>(reading.sensor - 1)];
    sensor.seen = true;
    sensor.ok = reading.celsius.has_value();
    sensor.celsius = reading.celsius.value_or(0);
    sensor.time = reading.time;
    sensor.taken = now;
    sensor.interval = reading.interval;
    ++(sensor.ok ? sensor.ok_count : sensor.failed_count);
}

std::string metrics_text(const Snapshot& snapshot, std::chrono::steady_clock::time_point now)
{
    std::string text;
    family(text, "quelvane_temperature_celsius", "gauge",
           "Temperature of a sensor, in degrees Celsius; present only while the sensor reads.", snapshot,
           [now](std::string& out, const char* name, const std::string& sensor, const char* chip,
                 const SensorMetrics& metrics) {
               if (metrics.ok && fresh_enough(metrics, now)) {
                   out += std::string(name) + "{sensor=\"" + sensor + "\",chip=\"" + chip + "\"} " +
                          measurement::decimal_text(metrics.celsius) + "\n";
               }
           });
    family(text, "quelvane_reading_success", "gauge", "Whether the last reading of a sensor succeeded (1) or failed (0).",
           snapshot, [](std::string& out, const char* name, const std::string& sensor, const char*, const SensorMetrics& metrics) {
               out += std::string(name) + "{sensor=\"" + sensor + "\"} " + (metrics.ok ? "1" : "0") + "\n";
           });
    family(text, "quelvane_readings_total", "counter", "Readings of a sensor since the start, by result.", snapshot,
           [](std::string& out, const char* name, const std::string& sensor, const char*, const SensorMetrics& metrics) {
               out += std::string(name) + "{sensor=\"" + sensor + "\",result=\"ok\"} " + std::to_string(metrics.ok_count) +
                      "\n" + name + "{sensor=\"" + sensor + "\",result=\"failed\"} " +
                      std::to_string(metrics.failed_count) + "\n";
           });
    family(text, "quelvane_last_reading_timestamp_seconds", "gauge",
           "When a sensor was last read, successfully or not, in seconds since the Unix epoch.", snapshot,
           [](std::string& out, const char* name, const std::string& sensor, const char*, const SensorMetrics& metrics) {
               out += std::string(name) + "{sensor=\"" + sensor + "\"} " + seconds_text(metrics.time) + "\n";
           });
    text += "# HELP quelvane_build_info The version of quelvane; the value is always 1.\n"
            "# TYPE quelvane_build_info gauge\n"
            "quelvane_build_info{version=\"" QUELVANE_VERSION "\"} 1\n";
    return text;
}

std::unique_ptr<MetricsServer> MetricsServer::start(const Endpoint& endpoint, std::string& error)
{
    const std::string shown = host_port(endpoint.address, endpoint.port);
    // The socket is bound here rather than in the library, so that a port
    // in use is told as such.
    const int fd = listening_socket(endpoint);
    if (fd < 0) {
        error = "metrics: cannot listen on " + shown + ": " + std::strerror(-fd);
        return nullptr;
    }
    std::unique_ptr<MetricsServer> server(new MetricsServer);
    server->endpoint_ = shown;
    server->daemon_ = MHD_start_daemon(
        MHD_USE_AUTO_INTERNAL_THREAD | (endpoint.ipv6 ? MHD_USE_IPv6 : 0), 0, nullptr, nullptr, &answer, server.get(),
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_CONNECTION_LIMIT, max_connections, MHD_OPTION_PER_IP_CONNECTION_LIMIT,
        max_connections_per_address, MHD_OPTION_CONNECTION_TIMEOUT, idle_timeout_seconds,
        MHD_OPTION_CONNECTION_MEMORY_LIMIT, connection_memory, MHD_OPTION_END);
    if (server->daemon_ == nullptr) {
        ::close(fd);
        error = "metrics: cannot start the HTTP server on " + shown;
        return nullptr;
    }
    return server;
}

MetricsServer::~MetricsServer()
{
    // Closes the listening socket and every connection.
    MHD_stop_daemon(daemon_);
}

void MetricsServer::reading(const Reading& reading)
{
    const auto now = std::chrono::steady_clock::now();
    const std::lock_guard lock(mutex_);
    count_reading(snapshot_, reading, now);
}

std::string MetricsServer::text() const
{
    Snapshot snapshot;
    {
        const std::lock_guard lock(mutex_);
        snapshot = snapshot_;
    }
    return metrics_text(snapshot, std::chrono::steady_clock::now());
}

}  // namespace publish
