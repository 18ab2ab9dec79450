// The window on a slow adapter: two-sensor ticks, logging on, each line call
// answered after 1 ms (a USB serial adapter's round trip), through the real
// PosixSerialControl whose system calls play the simulated board (no device).
// Prints:
//  - the ioctls of each reading, counted by request as they reach the "driver";
//  - for the first tick after the port opens (two conversion waits) and for
//    steady ticks: the tick's wall time, and the longest time the window's
//    thread was kept from its event loop. A probe thread posts an event to the
//    window's thread every millisecond; the figure is the longest any of them
//    waited to be handled, as a click or a screen reader's query would.
// With publish 1, the window loads a settings file whose [Publish] section
// sends each reading to the broker bench/run.sh started and serves /metrics.
//   quelvane_responsiveness [latency_us] [steady_ticks] [publish]   (defaults 1000, 5, 0)
#include <QApplication>
#include <QEvent>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <thread>
#include <vector>

#include "bench/publish_setup.h"
#include "bench/startup_probe.h"
#include "bench/window_setup.h"
#include "bus/posix_serial_control.h"
#include "log/measurement_log.h"
#include "log/reading_text.h"
#include "tests/support/board_system_calls.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Posts a time-stamped event to the window's thread every millisecond and
// records how late each one is handled.
class Probe : public QObject {
public:
    Probe()
        : poster_([this] {
              while (!stop_) {
                  QCoreApplication::postEvent(this, new Stamp);
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          })
    {
    }
    ~Probe() override
    {
        stop_ = true;
        poster_.join();
        QCoreApplication::removePostedEvents(this);
    }

    // Figures since the last call: longest wait, probes handled, and those
    // handled later than one frame (16 ms).
    struct Figures {
        Clock::duration longest{};
        long handled = 0;
        long late = 0;
    };
    Figures take()
    {
        const Figures figures = figures_;
        figures_ = {};
        return figures;
    }

protected:
    void customEvent(QEvent* event) override
    {
        const Clock::duration waited = Clock::now() - static_cast<Stamp*>(event)->posted;
        figures_.longest = std::max(figures_.longest, waited);
        ++figures_.handled;
        figures_.late += waited > std::chrono::milliseconds(16) ? 1 : 0;
    }

private:
    struct Stamp : QEvent {
        Stamp() : QEvent(QEvent::User) {}
        Clock::time_point posted = Clock::now();
    };

    Figures figures_;
    std::atomic<bool> stop_{false};
    std::thread poster_;
};

std::uintmax_t log_size()
{
    std::error_code missing;
    const auto size = std::filesystem::file_size(measurement::log_file_name, missing);
    return missing ? 0 : size;
}

// Runs one tick to its end and returns its wall time. A tick ends with its
// record in the log: waiting for the record holds whether Timer1_Timer
// returns before the tick has ended or only after.
Clock::duration tick_to_its_record(frm_quelvane& window)
{
    const auto before = log_size();
    const auto begin = Clock::now();
    window.Timer1_Timer();
    while (log_size() == before) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    const Clock::duration wall = Clock::now() - begin;
    QCoreApplication::processEvents();  // whatever waited behind the tick
    return wall;
}

}  // namespace

int main(int argc, char* argv[])
{
    bench::use_offscreen_platform();
    QApplication app(argc, argv);
    bench::name_application();
    bench::swallow_message_boxes();
    bench::ScratchDirectory scratch("quelvane-responsiveness");
    const long latency_us = argc > 1 ? std::atol(argv[1]) : 1000;
    const int steady_ticks = argc > 2 ? std::atoi(argv[2]) : 5;
    const bool publish = argc > 3 && std::atoi(argv[3]) != 0;
    if (publish && bench::bench_broker().empty()) {
        std::fprintf(stderr, "publishing needs the broker of bench/run.sh (QUELVANE_BENCH_MQTT)\n");
        return 2;
    }

    sensor::SimulatedBoard board;
    board.set_temperature(0, 21.5);
    board.set_temperature(1, 8.0);
    board.set_line_latency(std::chrono::microseconds(latency_us));
    testsupport::BoardSystemCalls system(board);
    frm_quelvane window(std::make_unique<serial::PosixSerialControl>(serial::default_device_for_port, system.calls()));
    if (publish) {
        bench::write_two_sensor_settings("Quelvane.INI", bench::publish_section());
        window.Form_Load();
    }
    window.Timer1().stop();  // ticks are run here, never by the timer
    bench::set_two_sensors_logging(window);
    window.show();
    QCoreApplication::processEvents();

    Probe probe;
    std::printf("Two-sensor ticks, logging on, each line call answered after %.3f ms\n", latency_us / 1000.0);
    std::printf("(real PosixSerialControl, its system calls playing the simulated board; 5 us holds%s)\n\n",
                publish ? "; both publishers on" : "");
    std::printf("  %-44s %12s %12s %14s\n", "", "tick wall", "longest wait", "waits > 16 ms");
    const auto row = [&probe](const char* what, Clock::duration wall) {
        const Probe::Figures f = probe.take();
        std::printf("  %-44s %9.0f ms %9.1f ms %7ld of %ld\n", what, ms(wall), ms(f.longest), f.late, f.handled);
    };

    probe.take();
    row("first tick after the port opens", tick_to_its_record(window));

    // Sensor 1 alone, then both: the second reading's ioctls are the rest.
    qobject_cast<QRadioButton*>(window.control("option_single"))->setChecked(true);
    system.counts().reset();
    tick_to_its_record(window);
    const long sensor_1 = system.counts().total();
    qobject_cast<QRadioButton*>(window.control("option_double"))->setChecked(true);
    system.counts().reset();
    probe.take();
    std::vector<Clock::duration> walls;
    for (int i = 0; i < steady_ticks; ++i) {
        walls.push_back(tick_to_its_record(window));
    }
    const long both = system.counts().total() / steady_ticks;
    std::sort(walls.begin(), walls.end());
    char what[64];
    std::snprintf(what, sizeof what, "steady ticks (%d; median wall)", steady_ticks);
    row(what, walls[walls.size() / 2]);

    std::printf("\n  ioctls per reading: sensor 1 %ld, sensor 2 %ld (both %ld)\n", sensor_1, both - sensor_1, both);
    std::printf("  (a probe event is posted to the window's thread every 1 ms; \"longest wait\" is the longest\n"
                "  any of them waited to be handled)\n");
    const QString title = measurement::reading_text(21.5) + QStringLiteral("    (  ") + measurement::reading_text(8.0) +
                          QStringLiteral(" )");
    if (window.windowTitle() != title || bench::swallowed_message_boxes() != 0) {
        std::fprintf(stderr, "the ticks did not show both readings: \"%s\"\n", qPrintable(window.windowTitle()));
        return 1;
    }
    return 0;
}
