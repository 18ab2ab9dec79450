#include "publish/publishing.h"

#include <cstdio>

#include "publish/metrics_server.h"
#include "publish/mqtt_publisher.h"

namespace publish {

void report_to_stderr(const std::string& line)
{
    // One call, so that a line from this thread and one from another never mix.
    const std::string whole = "quelvane: " + line + "\n";
    std::fputs(whole.c_str(), stderr);
}

Publishing::Publishing() = default;
Publishing::~Publishing() = default;

std::unique_ptr<Publishing> Publishing::start(const Plan& plan, std::string& error, Report report)
{
    std::unique_ptr<Publishing> publishing(new Publishing);
    if (plan.metrics) {
        publishing->metrics_ = MetricsServer::start(*plan.metrics, error);
        if (!publishing->metrics_) {
            return nullptr;
        }
    }
    if (plan.mqtt) {
        publishing->mqtt_ = std::make_unique<MqttPublisher>(*plan.mqtt, std::move(report));
    }
    return publishing;
}

void Publishing::reading(const Reading& reading)
{
    if (mqtt_) mqtt_->reading(reading);
    if (metrics_) metrics_->reading(reading);
}

bool Publishing::deliver(std::chrono::steady_clock::time_point deadline)
{
    return !mqtt_ || mqtt_->deliver(deadline);
}

std::string Publishing::metrics_endpoint() const { return metrics_ ? metrics_->endpoint() : std::string(); }
std::string Publishing::mqtt_destination() const { return mqtt_ ? mqtt_->destination() : std::string(); }

}  // namespace publish
