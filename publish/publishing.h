// Readings where people watch them: MQTT (with Home Assistant discovery) and
// a Prometheus /metrics endpoint. The window's tick, --log and --read hand
// each reading to Publishing::reading, which never waits on the network: the
// MQTT client runs on a thread of its own, and the HTTP server on the
// server library's thread.
//
// The publishers themselves, with the MQTT, HTTP and TLS libraries they
// need, live in a module (libquelvane_publishers.so) that is loaded only when
// publishing is asked for: a run without it neither loads nor starts any of
// it.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "publish/request.h"

namespace publish {

// One reading of one sensor.
struct Reading {
    int sensor = 1;                 // 1 (IC2) or 2 (IC3)
    std::optional<double> celsius;  // none: the reading failed
    std::chrono::system_clock::time_point time;
    // Until the next reading is due (none for a single reading).
    std::chrono::seconds interval{0};
};

// How long a reading stays good: Home Assistant's expire_after, and how long
// /metrics serves the value. Three intervals, so that one late or failed
// reading does not make a sensor unavailable.
constexpr std::chrono::seconds kept_for(std::chrono::seconds interval) { return 3 * interval; }

// Where a publisher tells what happens to it: one line without the program
// name and without a line end, from any thread. By default, standard error.
using Report = std::function<void(const std::string& line)>;
void report_to_stderr(const std::string& line);

// What the module implements: the publishers a plan asks for.
class Publishers {
public:
    virtual ~Publishers() = default;
    virtual void reading(const Reading& reading) = 0;
    virtual bool deliver(std::chrono::steady_clock::time_point deadline) = 0;
    virtual std::string metrics_endpoint() const = 0;
    virtual std::string mqtt_destination() const = 0;
};

// The module's two entry points, looked up by these names: its version, which
// must be the program's, and the start of the publishers (nullptr, with
// error set, when one cannot start).
using PublishersVersion = const char* (*)();
using StartPublishers = Publishers* (*)(const Plan& plan, std::string& error, const Report& report);
inline constexpr const char* publishers_version_symbol = "quelvane_publishers_version";
inline constexpr const char* start_publishers_symbol = "quelvane_start_publishers";

class Publishing {
public:
    // Starts every publisher the plan asks for. Returns nullptr and says why
    // in error when one cannot start (the module cannot be loaded, the
    // metrics port cannot be bound); an unreachable broker is no error: it is
    // tried again in the background.
    static std::unique_ptr<Publishing> start(const Plan& plan, std::string& error, Report report = report_to_stderr);
    // The clean end: "offline" on the node status (not after a single
    // reading), the broker's acknowledgement awaited for a moment, the
    // server stopped. Bounded in time whatever the network does.
    ~Publishing();

    // Hands over one reading; returns at once.
    void reading(const Reading& reading);

    // After a single reading (--read): waits until the broker has
    // acknowledged everything, or until deadline. False (and said) when
    // something was not delivered. True when there is no broker to wait for.
    bool deliver(std::chrono::steady_clock::time_point deadline);

    // Where /metrics is served ("127.0.0.1:9101"), empty without it.
    std::string metrics_endpoint() const;
    // "mqtt://host:port/prefix/id", empty without MQTT.
    std::string mqtt_destination() const;

private:
    explicit Publishing(std::unique_ptr<Publishers> publishers);

    std::unique_ptr<Publishers> publishers_;
};

}  // namespace publish
