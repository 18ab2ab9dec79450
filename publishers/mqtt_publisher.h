// The readings on an MQTT broker, through libmosquitto, with Home Assistant's
// discovery. Topics under <prefix>/<id>:
//   status             online (retained), offline as the will and at a clean end
//   sensorN            the reading, "21.5", retained, QoS 1
//   sensorN/status     online, or offline while that sensor fails
// and homeassistant/sensor/<id>_sensorN/config, retained, for each sensor read.
//
// Every call into the client library is made on one thread of the
// publisher's own, which polls the client's socket and a wake-up descriptor:
// the owner's thread only leaves the latest reading of each sensor in a
// mailbox. A broker that goes away is tried again with a growing delay (1 s,
// doubling, at most 60 s), each time with a fresh client, so that nothing
// queued for the lost connection is replayed; the latest state is published
// on each connection instead.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "publish/publishing.h"
#include "publish/request.h"

namespace publish {

class MqttPublisher {
public:
    MqttPublisher(MqttPlan plan, Report report);
    // Publishes "offline" (not after a single reading) and waits for its
    // acknowledgement, at most 2 s; the whole end takes at most 3 s, then
    // the thread is left to end by itself (it can be held only by a name
    // lookup).
    ~MqttPublisher();
    MqttPublisher(const MqttPublisher&) = delete;
    MqttPublisher& operator=(const MqttPublisher&) = delete;

    void reading(const Reading& reading);
    // A single reading: see Publishing::deliver.
    bool deliver(std::chrono::steady_clock::time_point deadline);

    // "mqtt://host:port/prefix/id"
    std::string destination() const;

    struct Shared;

private:
    std::shared_ptr<Shared> shared_;
    std::thread thread_;
};

}  // namespace publish
