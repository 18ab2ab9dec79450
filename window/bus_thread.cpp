#include "window/bus_thread.h"

#include <QMetaObject>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <mutex>
#include <pthread.h>

#include "bus/iic.h"

namespace window {
namespace {

// The bus port of the driver and its record of converted sensors are
// process-wide: should two windows live at once, their bus threads take
// turns, one whole request each.
std::mutex bus_driver;

// The serial control as the bus thread holds it. Every call checks the
// thread, so that a line call from anywhere else (the window's thread above
// all) cannot slip in unnoticed and race with a reading.
class ThreadBoundControl final : public serial::SerialControl {
public:
    ThreadBoundControl(std::unique_ptr<serial::SerialControl> inner, std::thread::id owner)
        : inner_(std::move(inner)), owner_(owner)
    {
    }

    void set_CommPort(int port) override { checked().set_CommPort(port); }
    int CommPort() const override { return checked().CommPort(); }
    void set_PortOpen(bool open) override { checked().set_PortOpen(open); }
    bool PortOpen() const override { return checked().PortOpen(); }
    void set_DTREnable(bool asserted) override { checked().set_DTREnable(asserted); }
    void set_RTSEnable(bool asserted) override { checked().set_RTSEnable(asserted); }
    bool CTSHolding() override { return checked().CTSHolding(); }
    std::string device_name() const override { return checked().device_name(); }
    void set_device(int port, const std::string& device) override { checked().set_device(port, device); }

private:
    serial::SerialControl& checked() const
    {
        if (std::this_thread::get_id() != owner_) {
            std::fputs("quelvane: the serial control was used outside the bus thread\n", stderr);
            std::abort();
        }
        return *inner_;
    }

    std::unique_ptr<serial::SerialControl> inner_;
    std::thread::id owner_;
};

}  // namespace

struct BusThread::Shared {
    std::mutex mutex;
    std::condition_variable wake;   // a job was posted, or stopping
    std::condition_variable ended;  // the thread has run its last line
    // Guarded by mutex:
    std::deque<std::function<void(Shared&)>> jobs;
    bool stopping = false;
    bool has_ended = false;
    std::uint64_t begun = 0;     // jobs taken off the queue
    std::uint64_t finished = 0;  // jobs that returned
    BusThread* owner = nullptr;  // where results go; null once it is being destroyed

    // The bus thread's own: touched by jobs only, and destroyed there.
    std::unique_ptr<serial::SerialControl> control;
    bool closed_for_good = false;

    // Hands `deliver` to the owner's event loop, which then resumes the
    // coroutine next in line; dropped once the owner is going.
    void to_owner(std::function<void()> deliver)
    {
        const std::lock_guard lock(mutex);
        if (owner != nullptr) {
            QMetaObject::invokeMethod(
                owner,
                [owner = owner, deliver = std::move(deliver)] {
                    deliver();
                    owner->resume_next();
                },
                Qt::QueuedConnection);
        }
    }
};

BusThread::BusThread(std::unique_ptr<serial::SerialControl> control, QObject* parent)
    : QObject(parent), shared_(std::make_shared<Shared>())
{
    shared_->owner = this;
    thread_ = std::thread([bus = shared_] { run_jobs(bus); });
    // Before any job is posted, so the bus thread sees it through the queue.
    shared_->control = std::make_unique<ThreadBoundControl>(std::move(control), thread_.get_id());
}

BusThread::~BusThread()
{
    std::deque<std::function<void(Shared&)>> dropped;
    bool stuck = false;
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->owner = nullptr;
        shared_->stopping = true;
        dropped.swap(shared_->jobs);
        stuck = stuck_after_ != 0 && shared_->finished < stuck_after_;
    }
    shared_->wake.notify_one();
    dropped.clear();
    bool ended = false;
    {
        std::unique_lock lock(shared_->mutex);
        const auto limit = stuck ? std::chrono::milliseconds(0) : sensor::reading_wait_limit();
        ended = shared_->ended.wait_for(lock, limit, [this] { return shared_->has_ended; });
    }
    if (ended) {
        thread_.join();
    } else {
        std::fputs("quelvane: a line call on the port has not returned; the port is left to the system\n", stderr);
        thread_.detach();
    }
    // Their results will never come: those already sent go with this
    // object's posted events.
    for (const std::coroutine_handle<> coroutine : waiting_) {
        coroutine.destroy();
    }
}

serial::SerialControl& BusThread::control() { return *shared_->control; }

void BusThread::post(std::function<void(Shared& bus)> job)
{
    {
        const std::lock_guard lock(shared_->mutex);
        shared_->jobs.push_back(std::move(job));
    }
    shared_->wake.notify_one();
}

void BusThread::run_jobs(const std::shared_ptr<Shared>& bus)
{
    ::pthread_setname_np(::pthread_self(), "quelvane-bus");
    for (;;) {
        std::function<void(Shared&)> job;
        {
            std::unique_lock lock(bus->mutex);
            bus->wake.wait(lock, [&bus] { return bus->stopping || !bus->jobs.empty(); });
            if (bus->stopping) {
                break;
            }
            job = std::move(bus->jobs.front());
            bus->jobs.pop_front();
            ++bus->begun;
        }
        {
            const std::lock_guard driver(bus_driver);
            job(*bus);
        }
        const std::lock_guard lock(bus->mutex);
        ++bus->finished;
    }
    {
        const std::lock_guard driver(bus_driver);
        bus->control.reset();  // detaches it from the driver
    }
    {
        const std::lock_guard lock(bus->mutex);
        bus->has_ended = true;
    }
    bus->ended.notify_all();
}

void BusThread::ask(std::coroutine_handle<> coroutine, Work work)
{
    waiting_.push_back(coroutine);
    post([work = std::move(work)](Shared& bus) {
        bus.to_owner(work(bus.closed_for_good ? nullptr : bus.control.get()));
    });
}

void BusThread::resume_next()
{
    // Taken off first: the coroutine may ask again before resume returns.
    const std::coroutine_handle<> coroutine = waiting_.front();
    waiting_.pop_front();
    coroutine.resume();
}

BusThread::Awaiter<sensor::Reading> BusThread::read(std::int16_t index)
{
    return run<sensor::Reading>(
        [index](serial::SerialControl& control) { return sensor::read_sensor_with_reason(index, control); },
        sensor::Reading{sensor::READ_FAILED, "the port was closed at exit"});
}

void BusThread::select_port(int port, std::string device)
{
    post([port, device = std::move(device)](Shared& bus) {
        if (bus.closed_for_good) {
            return;
        }
        try {
            if (bus.control->PortOpen()) {
                bus.control->set_PortOpen(false);
            }
            bus.control->set_CommPort(port);
            bus.control->set_device(port, device);
        } catch (const std::exception& error) {
            // The next reading tells the user; the journal learns why here.
            std::fprintf(stderr, "quelvane: choosing port %d: %s\n", port, error.what());
        }
    });
}

bool BusThread::close_bus()
{
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> closed = done->get_future();
    post([done](Shared& bus) {
        if (!bus.closed_for_good) {
            bus.closed_for_good = true;
            try {
                iic::close_bus();
            } catch (const std::exception& error) {
                std::fprintf(stderr, "quelvane: closing the port: %s\n", error.what());
            }
        }
        done->set_value();
    });
    if (closed.wait_for(sensor::reading_wait_limit()) == std::future_status::ready) {
        return true;
    }
    const std::lock_guard lock(shared_->mutex);
    stuck_after_ = shared_->begun;
    return false;
}

}  // namespace window
