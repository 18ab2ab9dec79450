#include "publishers/mqtt_publisher.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <csignal>
#include <cstring>
#include <mosquitto.h>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "log/reading_text.h"

namespace publish {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int keepalive_seconds = 30;
// The longest the thread sleeps between two looks at the keepalive: well
// within the 15 s the broker allows beyond keepalive_seconds.
constexpr int idle_poll_ms = 5000;
constexpr std::chrono::seconds first_retry{1};
constexpr std::chrono::seconds longest_retry{60};
// The clean end: how long "offline" may wait for its acknowledgement, and
// how long the owner waits for the whole thread.
constexpr std::chrono::seconds offline_wait{2};
constexpr std::chrono::seconds end_wait{3};
// Messages sent and not yet acknowledged beyond which new readings wait in
// the mailbox (a broker that stopped answering without closing).
constexpr int most_in_flight = 100;
constexpr int sensor_count = 2;
constexpr const char* online = "online";
constexpr const char* offline = "offline";

std::string base_topic(const MqttPlan& plan) { return plan.url.prefix + "/" + plan.node_id; }
std::string status_topic(const MqttPlan& plan) { return base_topic(plan) + "/status"; }
std::string sensor_topic(const MqttPlan& plan, int sensor)
{
    return base_topic(plan) + "/sensor" + std::to_string(sensor);
}
std::string object_id(const MqttPlan& plan, int sensor) { return plan.node_id + "_sensor" + std::to_string(sensor); }

// A library result in words, with the errno taken right after the call.
std::string describe(int result, int error_number)
{
    switch (result) {
    case MOSQ_ERR_ERRNO:
        return std::strerror(error_number);
    case MOSQ_ERR_EAI:
        return "the host name cannot be resolved";
    case MOSQ_ERR_CONN_LOST:
        return "the connection was lost";
    case MOSQ_ERR_KEEPALIVE:
        return "the broker stopped answering";
    case MOSQ_ERR_TLS:
    case MOSQ_ERR_TLS_HANDSHAKE:
        return "the TLS handshake failed (is the broker's certificate trusted?)";
    default:
        return mosquitto_strerror(result);
    }
}

std::string refusal(int connack)
{
    switch (connack) {
    case 1:
        return "the broker refused the connection: protocol version not accepted";
    case 2:
        return "the broker refused the connection: client id rejected";
    case 3:
        return "the broker refused the connection: server unavailable";
    case 4:
        return "the broker refused the connection: bad user name or password";
    case 5:
        return "the broker refused the connection: not authorised (check the user and the password)";
    default:
        return "the broker refused the connection (code " + std::to_string(connack) + ")";
    }
}

// Home Assistant's discovery config of a sensor (1 or 2), compact JSON, and
// the topic it goes to.
std::string discovery_topic(const MqttPlan& plan, int sensor)
{
    return "homeassistant/sensor/" + object_id(plan, sensor) + "/config";
}

std::string discovery_config(const MqttPlan& plan, int sensor, std::optional<int> expire_after)
{
    const QString sensor_state = QString::fromStdString(sensor_topic(plan, sensor));
    const QString node = QString::fromStdString(plan.node_id);
    QJsonObject config{
        {"name", QStringLiteral("Sensor %1").arg(sensor)},
        {"unique_id", QStringLiteral("quelvane_") + QString::fromStdString(object_id(plan, sensor))},
        {"state_topic", sensor_state},
        {"availability", QJsonArray{QJsonObject{{"topic", QString::fromStdString(status_topic(plan))}},
                                    QJsonObject{{"topic", sensor_state + QStringLiteral("/status")}}}},
        {"availability_mode", "all"},
        {"device_class", "temperature"},
        {"state_class", "measurement"},
        {"unit_of_measurement", measurement::unit_suffix},
        {"suggested_display_precision", 1},
        {"device", QJsonObject{{"identifiers", QJsonArray{QStringLiteral("quelvane_") + node}},
                               {"name", QStringLiteral("Quelvane ") + node},
                               {"model", "DS1621"}}},
    };
    if (expire_after) {
        config.insert("expire_after", *expire_after);
    }
    return QJsonDocument(config).toJson(QJsonDocument::Compact).toStdString();
}

}  // namespace

// What the owner's thread and the publisher's thread share.
struct MqttPublisher::Shared {
    enum class Outcome { pending, delivered, failed };

    Shared(MqttPlan plan_, Report report_) : plan(std::move(plan_)), report(std::move(report_)) {}
    ~Shared()
    {
        if (wake_fd >= 0) ::close(wake_fd);
    }

    void wake() const
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(wake_fd, &one, sizeof one);
    }

    // Sets the outcome of a single reading once, and says why when it failed.
    void finish(Outcome result, const std::string& line)
    {
        {
            const std::lock_guard lock(mutex);
            if (outcome != Outcome::pending) return;
            outcome = result;
        }
        changed.notify_all();
        if (!line.empty()) report(line);
    }

    const MqttPlan plan;
    const Report report;
    const int wake_fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);

    std::mutex mutex;
    std::condition_variable changed;
    // Guarded by mutex: the mailbox and what the two threads ask of each other.
    std::array<std::optional<Reading>, sensor_count> latest;
    std::array<bool, sensor_count> fresh{};
    bool stopping = false;
    bool delivering = false;
    bool ended = false;
    Outcome outcome = Outcome::pending;
};

namespace {

using Shared = MqttPublisher::Shared;

// The publisher's thread: one connection after another until the owner asks
// it to stop (or, for a single reading, until delivered or failed).
class Link {
public:
    explicit Link(Shared& shared) : shared_(shared), plan_(shared.plan), address_(host_port(plan_.url.host, plan_.url.port)) {}

    void run()
    {
        std::chrono::seconds retry = first_retry;
        while (!stop_asked()) {
            const std::string failure = connect_and_serve();
            if (failure.empty() || stop_asked()) {
                return;
            }
            if (plan_.one_shot) {
                shared_.finish(Shared::Outcome::failed, "MQTT: cannot reach the broker at " + address_ + " (" + failure +
                                                            "); the reading was not published");
                return;
            }
            if (!told_down_) {
                told_down_ = true;
                shared_.report(ever_up_ ? "MQTT: lost the broker at " + address_ + " (" + failure +
                                              "); trying again, the readings go on"
                                        : "MQTT: cannot reach the broker at " + address_ + " (" + failure +
                                              "); trying again in the background, the readings go on");
            }
            if (was_active_) {
                retry = first_retry;
            }
            pause(retry);
            retry = std::min(retry * 2, longest_retry);
        }
    }

private:
    struct ClientDeleter {
        void operator()(mosquitto* client) const { mosquitto_destroy(client); }
    };

    bool stop_asked()
    {
        const std::lock_guard lock(shared_.mutex);
        return shared_.stopping;
    }

    // Sleeps for delay, or until the owner asks to stop.
    void pause(std::chrono::seconds delay)
    {
        const auto until = Clock::now() + delay;
        while (!stop_asked() && Clock::now() < until) {
            pollfd wake{shared_.wake_fd, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (::poll(&wake, 1, static_cast<int>(std::max<long>(left.count(), 0) + 1)) > 0) drain_wake();
        }
    }

    void drain_wake() const
    {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(shared_.wake_fd, &count, sizeof count);
    }

    // A fresh client for each connection: nothing queued for an earlier one
    // survives it. Returns why it could not be set up, else empty.
    std::string new_client()
    {
        const std::string id = "quelvane-" + plan_.node_id + (plan_.one_shot ? "-read" : "");
        client_.reset(mosquitto_new(id.c_str(), true, this));
        if (!client_) {
            return std::strerror(errno);
        }
        mosquitto* client = client_.get();
        mosquitto_connect_callback_set(client, on_connect);
        mosquitto_disconnect_callback_set(client, on_disconnect);
        mosquitto_publish_callback_set(client, on_publish);
        mosquitto_int_option(client, MOSQ_OPT_TCP_NODELAY, 1);
        if (!plan_.one_shot) {
            const std::string status = status_topic(plan_);
            mosquitto_will_set(client, status.c_str(), static_cast<int>(std::strlen(offline)), offline, 1, true);
        }
        if (!plan_.url.user.empty()) {
            mosquitto_username_pw_set(client, plan_.url.user.c_str(), plan_.password ? plan_.password->c_str() : nullptr);
        }
        if (plan_.url.tls) {
            const int result = plan_.ca_file.empty()
                                   ? mosquitto_int_option(client, MOSQ_OPT_TLS_USE_OS_CERTS, 1)
                                   : mosquitto_tls_set(client, plan_.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
            if (result != MOSQ_ERR_SUCCESS) {
                return "cannot use the CA certificates: " + describe(result, errno);
            }
        }
        return {};
    }

    // One connection, from its start to its end. Returns the failure in
    // words, or empty when it ended because it was asked to.
    std::string connect_and_serve()
    {
        active_ = was_active_ = just_connected_ = false;
        in_flight_ = 0;
        failure_.clear();
        sent_ = {};
        if (std::string why = new_client(); !why.empty()) {
            return why;
        }
        errno = 0;
        const int result = mosquitto_connect_async(client_.get(), plan_.url.host.c_str(), plan_.url.port, keepalive_seconds);
        if (result != MOSQ_ERR_SUCCESS) {
            return describe(result, errno);
        }
        return serve();
    }

    std::string serve()
    {
        mosquitto* client = client_.get();
        bool ending = false;
        Clock::time_point end_by;
        for (;;) {
            const int socket = mosquitto_socket(client);
            if (socket < 0) {
                return ending ? std::string() : (failure_.empty() ? "the connection was closed" : failure_);
            }
            pollfd fds[2] = {{shared_.wake_fd, POLLIN, 0},
                             {socket, static_cast<short>(POLLIN | (mosquitto_want_write(client) ? POLLOUT : 0)), 0}};
            int timeout_ms = idle_poll_ms;
            if (ending) {
                const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end_by - Clock::now()).count();
                timeout_ms = static_cast<int>(std::clamp<long>(left + 1, 0, timeout_ms));
            }
            if (::poll(fds, 2, timeout_ms) < 0 && errno != EINTR) {
                return std::strerror(errno);
            }
            if (fds[0].revents != 0) {
                drain_wake();
            }
            // The client calls back (on_connect, on_publish, on_disconnect)
            // from inside these three.
            const bool usable = ((fds[1].revents & (POLLIN | POLLERR | POLLHUP)) == 0 ||
                                 step(mosquitto_loop_read(client, 1))) &&
                                ((fds[1].revents & POLLOUT) == 0 || step(mosquitto_loop_write(client, 1))) &&
                                step(mosquitto_loop_misc(client));
            if (!usable) {
                return ending ? std::string() : failure_;
            }

            if (just_connected_) {
                just_connected_ = false;
                came_up();
                publish_everything();
            } else if (active_) {
                publish_fresh();
            }

            if (!ending && stop_asked()) {
                ending = true;
                end_by = Clock::now() + offline_wait;
                if (active_ && !plan_.one_shot) {
                    publish(status_topic(plan_), offline);
                }
            }
            if (ending && (!active_ || in_flight_ == 0 || Clock::now() >= end_by)) {
                mosquitto_disconnect(client);
                return {};
            }
            if (plan_.one_shot && active_ && in_flight_ == 0 && delivering_and_nothing_fresh()) {
                mosquitto_disconnect(client);
                shared_.finish(Shared::Outcome::delivered, {});
                return {};
            }
        }
    }

    // Whether a library call left the connection usable; when not, why.
    bool step(int result)
    {
        const int error_number = errno;
        if (result == MOSQ_ERR_SUCCESS) {
            return true;
        }
        if (failure_.empty()) {
            failure_ = describe(result, error_number);
        }
        return false;
    }

    void came_up()
    {
        if (told_down_) {
            shared_.report("MQTT: connected to the broker at " + address_ + (ever_up_ ? " again" : ""));
            told_down_ = false;
        }
        ever_up_ = was_active_ = true;
    }

    bool delivering_and_nothing_fresh()
    {
        const std::lock_guard lock(shared_.mutex);
        return shared_.delivering && std::none_of(shared_.fresh.begin(), shared_.fresh.end(), [](bool f) { return f; });
    }

    // Moves what the owner left in the mailbox to known_; returns which
    // sensors had something new.
    std::array<bool, sensor_count> take_fresh()
    {
        const std::lock_guard lock(shared_.mutex);
        const std::array<bool, sensor_count> fresh = shared_.fresh;
        for (int i = 0; i < sensor_count; ++i) {
            if (fresh[i]) known_[i] = shared_.latest[i];
        }
        shared_.fresh = {};
        return fresh;
    }

    // After the broker accepted the connection: the node online, then the
    // config, status and state of every sensor read so far.
    void publish_everything()
    {
        take_fresh();
        publish(status_topic(plan_), online);
        for (int i = 0; i < sensor_count; ++i) {
            if (known_[i]) publish_sensor(*known_[i], true);
        }
    }

    void publish_fresh()
    {
        if (in_flight_ >= most_in_flight) {
            return;  // they wait in the mailbox, where newer ones replace them
        }
        const std::array<bool, sensor_count> fresh = take_fresh();
        for (int i = 0; i < sensor_count; ++i) {
            if (fresh[i] && known_[i]) publish_sensor(*known_[i], false);
        }
    }

    void publish_sensor(const Reading& reading, bool whole)
    {
        Sent& sent = sent_[static_cast<std::size_t>(reading.sensor - 1)];
        std::optional<int> expire = plan_.expire_seconds;
        if (!plan_.one_shot && reading.interval.count() > 0) {
            expire = static_cast<int>(kept_for(reading.interval).count());
        }
        if (plan_.discovery && (!sent.config || sent.expire != expire)) {
            publish(discovery_topic(plan_, reading.sensor), discovery_config(plan_, reading.sensor, expire));
            sent.config = true;
            sent.expire = expire;
        }
        const std::string topic = sensor_topic(plan_, reading.sensor);
        const bool reads = reading.celsius.has_value();
        if (whole || sent.reads != reads) {
            publish(topic + "/status", reads ? online : offline);
            sent.reads = reads;
        }
        if (reads) {
            publish(topic, measurement::decimal_text(*reading.celsius));
        }
    }

    // Retained, at QoS 1; counted until the broker acknowledges it.
    void publish(const std::string& topic, const std::string& payload)
    {
        if (mosquitto_publish(client_.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()), payload.data(), 1,
                              true) == MOSQ_ERR_SUCCESS) {
            ++in_flight_;
        }
    }

    static void on_connect(mosquitto*, void* self, int result)
    {
        auto& link = *static_cast<Link*>(self);
        if (result == 0) {
            link.active_ = link.just_connected_ = true;
        } else {
            link.failure_ = refusal(result);
        }
    }

    static void on_disconnect(mosquitto*, void* self, int result)
    {
        auto& link = *static_cast<Link*>(self);
        link.active_ = false;
        if (result != 0 && link.failure_.empty()) {
            link.failure_ = describe(result, errno);
        }
    }

    static void on_publish(mosquitto*, void* self, int) { --static_cast<Link*>(self)->in_flight_; }

    // What this connection has published for a sensor.
    struct Sent {
        bool config = false;
        std::optional<int> expire;
        std::optional<bool> reads;
    };

    Shared& shared_;
    const MqttPlan& plan_;
    const std::string address_;
    std::unique_ptr<mosquitto, ClientDeleter> client_;
    std::array<std::optional<Reading>, sensor_count> known_;  // the latest of each sensor taken from the mailbox
    bool told_down_ = false;
    bool ever_up_ = false;

    // The connection under way (callbacks run on this thread, inside the
    // library calls above).
    bool active_ = false;  // the broker accepted it
    bool was_active_ = false;
    bool just_connected_ = false;
    int in_flight_ = 0;
    std::string failure_;
    std::array<Sent, sensor_count> sent_;
};

void initialise_library_once()
{
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

}  // namespace

MqttPublisher::MqttPublisher(MqttPlan plan, Report report)
    : shared_(std::make_shared<Shared>(std::move(plan), std::move(report)))
{
    initialise_library_once();
    thread_ = std::thread([shared = shared_] {
        // A write to a socket the broker closed gives EPIPE here, never a
        // signal that would end the program.
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
        Link(*shared).run();
        {
            const std::lock_guard lock(shared->mutex);
            shared->ended = true;
        }
        shared->changed.notify_all();
    });
}

MqttPublisher::~MqttPublisher()
{
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->stopping = true;
    }
    shared_->wake();
    std::unique_lock lock(shared_->mutex);
    const bool ended = shared_->changed.wait_for(lock, end_wait, [this] { return shared_->ended; });
    lock.unlock();
    if (ended) {
        thread_.join();
    } else {
        thread_.detach();  // it holds its own share of the state
    }
}

void MqttPublisher::reading(const Reading& reading)
{
    if (reading.sensor < 1 || reading.sensor > sensor_count) {
        return;
    }
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->latest[static_cast<std::size_t>(reading.sensor - 1)] = reading;
        shared_->fresh[static_cast<std::size_t>(reading.sensor - 1)] = true;
    }
    shared_->wake();
}

bool MqttPublisher::deliver(std::chrono::steady_clock::time_point deadline)
{
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->delivering = true;
    }
    shared_->wake();
    std::unique_lock lock(shared_->mutex);
    shared_->changed.wait_until(lock, deadline, [this] { return shared_->outcome != Shared::Outcome::pending; });
    if (shared_->outcome == Shared::Outcome::pending) {
        shared_->outcome = Shared::Outcome::failed;
        lock.unlock();
        shared_->report("MQTT: the broker at " + host_port(shared_->plan.url.host, shared_->plan.url.port) +
                        " did not acknowledge the reading in time; it may not have been published");
        return false;
    }
    return shared_->outcome == Shared::Outcome::delivered;
}

std::string MqttPublisher::destination() const
{
    const MqttPlan& plan = shared_->plan;
    return (plan.url.tls ? "mqtts://" : "mqtt://") + host_port(plan.url.host, plan.url.port) + "/" + base_topic(plan);
}

}  // namespace publish
