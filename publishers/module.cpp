// The publishing module's entry points: the publishers a plan asks for, each
// on its thread. Loaded by Publishing::start, and linked by the tests.
#include <memory>

#include "publish/publishing.h"
#include "publishers/metrics_server.h"
#include "publishers/mqtt_publisher.h"

namespace publish {
namespace {

class Both final : public Publishers {
public:
    std::unique_ptr<MqttPublisher> mqtt;
    std::unique_ptr<MetricsServer> metrics;

    void reading(const Reading& reading) override
    {
        if (mqtt) mqtt->reading(reading);
        if (metrics) metrics->reading(reading);
    }
    bool deliver(std::chrono::steady_clock::time_point deadline) override { return !mqtt || mqtt->deliver(deadline); }
    std::string metrics_endpoint() const override { return metrics ? metrics->endpoint() : std::string(); }
    std::string mqtt_destination() const override { return mqtt ? mqtt->destination() : std::string(); }
};

}  // namespace
}  // namespace publish

extern "C" {

const char* quelvane_publishers_version() { return QUELVANE_VERSION; }

publish::Publishers* quelvane_start_publishers(const publish::Plan& plan, std::string& error,
                                               const publish::Report& report)
{
    auto both = std::make_unique<publish::Both>();
    if (plan.metrics) {
        both->metrics = publish::MetricsServer::start(*plan.metrics, error);
        if (!both->metrics) {
            return nullptr;
        }
    }
    if (plan.mqtt) {
        both->mqtt = std::make_unique<publish::MqttPublisher>(*plan.mqtt, report);
    }
    return both.release();
}
}
