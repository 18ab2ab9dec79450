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
//
// The bus thread never calls the toolkit and never reads the settings: what a
// port stands for is looked up by the asker, where a box may be shown, and
// handed over with the port.
#pragma once

#include <QObject>
#include <coroutine>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <string>
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
    template <class Result> class Awaiter;

    // Takes the serial control; from here on only the bus thread may use it.
    explicit BusThread(std::unique_ptr<serial::SerialControl> control, QObject* parent = nullptr);
    // Lets the request under way finish and drops the others (a coroutine
    // waiting for one of them is destroyed, never resumed), then destroys the
    // control on the bus thread, which closes a port still open. Waits for
    // that at most sensor::reading_wait_limit(), and not at all for a request
    // that already made close_bus give up: the thread is then left to end
    // with the process, and the port to the kernel.
    ~BusThread() override;

    BusThread(const BusThread&) = delete;
    BusThread& operator=(const BusThread&) = delete;

    // `co_await run(job, if_closed)` runs job(control) on the bus thread
    // after whatever was asked before, or gives if_closed once close_bus has
    // run. The coroutine is resumed with the result on this object's thread,
    // from its event loop: anything may have happened meanwhile. job must not
    // throw.
    template <class Result>
    Awaiter<Result> run(std::function<Result(serial::SerialControl&)> job, Result if_closed);

    // A reading of sensor `index`, as run() runs it.
    Awaiter<sensor::Reading> read(std::int16_t index);

    // Closes the port if it is open, then makes `port` (1..4) the one the
    // next reading opens, on `device`. Does not wait.
    void select_port(int port, std::string device);

    // Waits until what was asked before has finished, then closes the port.
    // From then on nothing touches the port: readings fail at once and port
    // changes are ignored. Waits at most sensor::reading_wait_limit(): false
    // when the request under way has not ended by then (the close then
    // happens, if ever, when it does).
    bool close_bus();

    // The serial control as the bus thread uses it. Used from any other
    // thread it aborts the program.
    serial::SerialControl& control();

private:
    struct Shared;
    // Runs on the bus thread with the control, or with nullptr once the bus
    // is closed for good; what it returns runs on this object's thread, and
    // then the coroutine is resumed.
    using Work = std::function<std::function<void()>(serial::SerialControl* control)>;

    void post(std::function<void(Shared& bus)> job);
    void ask(std::coroutine_handle<> coroutine, Work work);
    void resume_next();
    static void run_jobs(const std::shared_ptr<Shared>& bus);

    // Shared with the bus thread, which keeps it alive for as long as it
    // runs, even past this object.
    std::shared_ptr<Shared> shared_;
    std::thread thread_;

    // This object's thread only: coroutines waiting for a result, in the
    // order they asked (and so are answered).
    std::deque<std::coroutine_handle<>> waiting_;
    // Requests begun on the bus thread when close_bus gave up, or 0.
    std::uint64_t stuck_after_ = 0;
};

template <class Result> class BusThread::Awaiter {
public:
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> coroutine)
    {
        bus_.ask(coroutine, [this, job = std::move(job_), if_closed = std::move(if_closed_)](
                                serial::SerialControl* control) -> std::function<void()> {
            Result result = control != nullptr ? job(*control) : if_closed;
            return [this, result = std::move(result)]() mutable { result_ = std::move(result); };
        });
    }
    Result await_resume() { return std::move(result_); }

private:
    friend class BusThread;
    Awaiter(BusThread& bus, std::function<Result(serial::SerialControl&)> job, Result if_closed)
        : bus_(bus), job_(std::move(job)), if_closed_(std::move(if_closed))
    {
    }

    BusThread& bus_;
    std::function<Result(serial::SerialControl&)> job_;
    Result if_closed_;
    Result result_{};
};

template <class Result>
BusThread::Awaiter<Result> BusThread::run(std::function<Result(serial::SerialControl&)> job, Result if_closed)
{
    return Awaiter<Result>(*this, std::move(job), std::move(if_closed));
}

}  // namespace window
