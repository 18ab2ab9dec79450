// The sensor bus on a thread of its own.
//
// On a USB serial adapter every modem-line call is a round trip of up to a
// millisecond, and a two-sensor reading makes some 600 of them: made on the
// window's thread they would freeze the window for most of every tick. So one
// thread owns the serial control and the bus driver's state (the bus port, and
// which sensors hold a conversion since the port was opened), and the window
// only asks: for a reading, for a port change, for the closing at exit.
// Requests run one at a time in the order they were asked, so a port change or
// a close asked while a reading runs takes effect after that reading: an
// exchange is never cut (a sensor left mid-transaction holds the data line).
#pragma once

#include <QObject>
#include <condition_variable>
#include <coroutine>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "bus/serial_control.h"
#include "sensor/read_sensor.h"

namespace window {

// The return type of a coroutine that nobody waits for: it starts at once and
// frees itself when it ends.
struct Detached {
    struct promise_type {
        Detached get_return_object() noexcept { return {}; }
        std::suspend_never initial_suspend() noexcept { return {}; }
        std::suspend_never final_suspend() noexcept { return {}; }
        void return_void() noexcept {}
        void unhandled_exception() noexcept { std::terminate(); }
    };
};

class BusThread : public QObject {
public:
    class ReadingAwaiter;

    // Takes the serial control; from here on only the bus thread may use it.
    explicit BusThread(std::unique_ptr<serial::SerialControl> control, QObject* parent = nullptr);
    // Lets the request under way finish and drops the others (a coroutine
    // waiting for one of them is destroyed, never resumed), then destroys the
    // control on the bus thread, which closes a port still open.
    ~BusThread() override;

    BusThread(const BusThread&) = delete;
    BusThread& operator=(const BusThread&) = delete;

    // `co_await read(index)` reads sensor `index` after whatever was asked
    // before. The coroutine is resumed with the reading on this object's
    // thread, from its event loop: anything may have happened meanwhile.
    ReadingAwaiter read(std::int16_t index);

    // Closes the port if it is open, then makes `port` (1..4) the one the
    // next reading opens. Does not wait.
    void select_port(int port);

    // After what was asked before, closes the port if it is open (the next
    // reading opens it again) and runs job, which has the bus to itself:
    // it may open and probe other devices. What job returns then runs on
    // this object's thread, from its event loop; neither runs once the port
    // is closed for good. Does not wait.
    void run_with_port_closed(std::function<std::function<void()>()> job);

    // Waits until what was asked before has finished, then closes the port.
    // From then on nothing touches the port: readings fail at once and port
    // changes are ignored.
    void close_bus();

    // The serial control as the bus thread uses it. Used from any other
    // thread it aborts the program.
    serial::SerialControl& control();

private:
    struct Waiting {
        std::coroutine_handle<> coroutine;
        sensor::Reading* result;
    };

    void post(std::function<void()> job);
    void post_and_wait(std::function<void()> job);
    void run();
    void ask_reading(std::int16_t index, std::coroutine_handle<> coroutine, sensor::Reading* result);
    void deliver(sensor::Reading reading);

    // Owned by the bus thread: touched by jobs only, and destroyed there.
    std::unique_ptr<serial::SerialControl> control_;
    bool closed_for_good_ = false;

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> jobs_;  // guarded by mutex_
    bool stopping_ = false;                   // guarded by mutex_

    // This object's thread only: coroutines waiting for a reading, in the
    // order the readings were asked (and so are done).
    std::deque<Waiting> waiting_;

    std::thread thread_;
};

class BusThread::ReadingAwaiter {
public:
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> coroutine) { bus_.ask_reading(index_, coroutine, &result_); }
    sensor::Reading await_resume() { return std::move(result_); }

private:
    friend class BusThread;
    ReadingAwaiter(BusThread& bus, std::int16_t index) : bus_(bus), index_(index) {}

    BusThread& bus_;
    std::int16_t index_;
    sensor::Reading result_;
};

}  // namespace window
