#include "window/bus_thread.h"

#include <QMetaObject>
#include <cstdio>
#include <cstdlib>
#include <future>
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

BusThread::BusThread(std::unique_ptr<serial::SerialControl> control, QObject* parent) : QObject(parent)
{
    thread_ = std::thread([this] { run(); });
    // Before any job is posted, so the bus thread sees it through the queue.
    control_ = std::make_unique<ThreadBoundControl>(std::move(control), thread_.get_id());
}

BusThread::~BusThread()
{
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        dropped.swap(jobs_);
    }
    wake_.notify_one();
    thread_.join();
    // Their readings will never come: results already sent go with this
    // object's posted events.
    for (const Waiting& waiting : waiting_) {
        waiting.coroutine.destroy();
    }
}

serial::SerialControl& BusThread::control() { return *control_; }

void BusThread::post(std::function<void()> job)
{
    {
        std::lock_guard lock(mutex_);
        jobs_.push_back(std::move(job));
    }
    wake_.notify_one();
}

// Called from this object's thread only; the bus thread never waits for it,
// so this cannot deadlock.
void BusThread::post_and_wait(std::function<void()> job)
{
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    post([&job, &done] {
        job();
        done.set_value();
    });
    finished.wait();
}

void BusThread::run()
{
    ::pthread_setname_np(::pthread_self(), "quelvane-bus");
    for (;;) {
        std::function<void()> job;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
            if (stopping_) {
                break;
            }
            job = std::move(jobs_.front());
            jobs_.pop_front();
        }
        const std::lock_guard driver(bus_driver);
        job();
    }
    const std::lock_guard driver(bus_driver);
    control_.reset();  // detaches it from the driver
}

BusThread::ReadingAwaiter BusThread::read(std::int16_t index) { return ReadingAwaiter(*this, index); }

void BusThread::ask_reading(std::int16_t index, std::coroutine_handle<> coroutine, sensor::Reading* result)
{
    waiting_.push_back({coroutine, result});
    post([this, index] {
        sensor::Reading reading = closed_for_good_
                                      ? sensor::Reading{sensor::READ_FAILED, "the port was closed at exit"}
                                      : sensor::read_sensor_with_reason(index, *control_);
        QMetaObject::invokeMethod(
            this, [this, reading = std::move(reading)]() mutable { deliver(std::move(reading)); },
            Qt::QueuedConnection);
    });
}

void BusThread::deliver(sensor::Reading reading)
{
    // Taken off first: the coroutine may wait for the next reading before
    // resume returns.
    const Waiting waiting = waiting_.front();
    waiting_.pop_front();
    *waiting.result = std::move(reading);
    waiting.coroutine.resume();
}

void BusThread::select_port(int port)
{
    post([this, port] {
        if (closed_for_good_) {
            return;
        }
        try {
            if (control_->PortOpen()) {
                control_->set_PortOpen(false);
            }
            control_->set_CommPort(port);
        } catch (const std::exception& error) {
            // The next reading tells the user; the journal learns why here.
            std::fprintf(stderr, "quelvane: choosing port %d: %s\n", port, error.what());
        }
    });
}

void BusThread::run_with_port_closed(std::function<std::function<void()>()> job)
{
    post([this, job = std::move(job)] {
        if (closed_for_good_) {
            return;
        }
        try {
            if (control_->PortOpen()) {
                control_->set_PortOpen(false);
            }
        } catch (const std::exception& error) {
            std::fprintf(stderr, "quelvane: closing the port: %s\n", error.what());
        }
        QMetaObject::invokeMethod(this, job(), Qt::QueuedConnection);
    });
}

void BusThread::close_bus()
{
    post_and_wait([this] {
        if (closed_for_good_) {
            return;
        }
        closed_for_good_ = true;
        try {
            iic::close_bus();
        } catch (const std::exception& error) {
            std::fprintf(stderr, "quelvane: closing the port: %s\n", error.what());
        }
    });
}

}  // namespace window
