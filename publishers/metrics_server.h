// The readings as Prometheus metrics: GET /metrics in the text exposition
// format, served by libmicrohttpd on a thread of its own. Any other path is
// 404, any other method 405. Connections are bounded in number (in all and
// from one address), in idle time and in memory (a request line or headers
// beyond it are refused), so a slow or hostile client costs a connection
// slot, never a reading.
#pragma once

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>

#include "publish/publishing.h"
#include "publish/request.h"

struct MHD_Daemon;

namespace publish {

// What /metrics knows of a sensor.
struct SensorMetrics {
    bool seen = false;
    bool ok = false;
    double celsius = 0;
    std::chrono::system_clock::time_point time;  // of the last reading
    std::chrono::steady_clock::time_point taken;  // the same, on the steady clock
    std::chrono::seconds interval{0};
    long ok_count = 0;
    long failed_count = 0;
};
using Snapshot = std::array<SensorMetrics, 2>;

// Adds a reading to what the metrics hold.
void count_reading(Snapshot& snapshot, const Reading& reading, std::chrono::steady_clock::time_point now);

// The exposition text at now: a temperature only for a sensor whose last
// reading succeeded less than three intervals ago.
std::string metrics_text(const Snapshot& snapshot, std::chrono::steady_clock::time_point now);

// Connection bounds.
inline constexpr unsigned max_connections = 64;
inline constexpr unsigned max_connections_per_address = 16;
inline constexpr unsigned idle_timeout_seconds = 10;
inline constexpr std::size_t connection_memory = 16 * 1024;

class MetricsServer {
public:
    // Binds endpoint and serves. nullptr, with error set ("127.0.0.1:9101:
    // Address already in use"), when it cannot.
    static std::unique_ptr<MetricsServer> start(const Endpoint& endpoint, std::string& error);
    ~MetricsServer();
    MetricsServer(const MetricsServer&) = delete;
    MetricsServer& operator=(const MetricsServer&) = delete;

    void reading(const Reading& reading);
    // "127.0.0.1:9101", "[::1]:9101"
    const std::string& endpoint() const { return endpoint_; }
    // What GET /metrics answers now.
    std::string text() const;

private:
    MetricsServer() = default;

    std::string endpoint_;
    MHD_Daemon* daemon_ = nullptr;
    mutable std::mutex mutex_;
    Snapshot snapshot_;  // guarded by mutex_
};

}  // namespace publish
