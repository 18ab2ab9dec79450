// Google Benchmark on the window: CPU time of one sampling tick (both sensors
// read, shown, titled and logged) on the simulated board, and of saving and
// loading the settings file. Runs on Qt's offscreen platform in a scratch
// directory of its own, since the tick appends to Quelvane.txt and the
// settings live in Quelvane.INI, both in the current directory.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "bench/paint_counter.h"
#include "bench/publish_setup.h"
#include "bench/window_setup.h"
#include "bus/iic.h"
#include "settings/control_state.h"
#include "settings/ini.h"
#include "log/measurement_log.h"
#include "log/reading_text.h"

namespace {

const char* const settings_file = "Quelvane.INI";

std::uintmax_t size_of(const char* path)
{
    std::error_code error;
    const auto size = std::filesystem::file_size(path, error);
    return error ? 0 : size;
}

long lines_of(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return static_cast<long>(std::count(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>(), '\n'));
}

// Arguments: settle time in nanoseconds (0 or the standard 5000); whether the
// repaint the tick causes is included (1: each tick reads a changed
// temperature, and the posted events are processed after it, as the event
// loop would; 0: the readings stay the same and nothing needs repainting);
// whether both publishers are on (1: a [Publish] section sends each reading
// to the broker bench/run.sh started and serves /metrics; 0: none). The
// window loads its settings first, either way.
void BM_Tick(benchmark::State& state)
{
    iic::set_settle_time(std::chrono::nanoseconds(state.range(0)));
    const bool repaint = state.range(1) != 0;
    const std::string publish = state.range(2) != 0 ? bench::publish_section() : std::string();
    if (state.range(2) != 0 && publish.empty()) {
        state.SkipWithError("publishing needs the broker of bench/run.sh (QUELVANE_BENCH_MQTT)");
        return;
    }
    std::filesystem::remove(measurement::log_file_name);
    bench::write_two_sensor_settings(settings_file, publish);
    bench::WindowOnBoard setup;
    setup.window->Form_Load();
    setup.two_sensors_logging();
    setup.window->Timer1().stop();  // ticks are called here, never by the timer
    setup.window->show();
    bench::run_tick(*setup.window);  // opens the port
    QCoreApplication::processEvents();
    bench::PaintCounter painted;
    setup.window->control("label_temperature_indoor")->installEventFilter(&painted);
    const auto log_before = size_of(measurement::log_file_name);
    const long boxes_before = bench::swallowed_message_boxes();

    double indoor = 21.5;
    double outside = 8.0;
    for (auto _ : state) {
        if (repaint) {
            // A label set to the text it shows is not repainted: each tick
            // here reads half a degree more or less than the one before.
            indoor = indoor == 21.5 ? 22.0 : 21.5;
            outside = outside == 8.0 ? 7.5 : 8.0;
            setup.board->set_temperature(0, indoor);
            setup.board->set_temperature(1, outside);
        }
        bench::run_tick(*setup.window);
        if (repaint) {
            QCoreApplication::processEvents();
        }
    }
    state.counters["log_bytes"] = benchmark::Counter(
        static_cast<double>(size_of(measurement::log_file_name) - log_before), benchmark::Counter::kAvgIterations);
    state.counters["label_paints"] =
        benchmark::Counter(static_cast<double>(painted.paints), benchmark::Counter::kAvgIterations);
    const QString expected_title =
        measurement::reading_text(indoor) + QStringLiteral("    (  ") + measurement::reading_text(outside) + QStringLiteral(" )");
    if (setup.window->windowTitle() != expected_title ||
        bench::swallowed_message_boxes() != boxes_before) {
        state.SkipWithError("the tick did not show both readings");
    }
    setup.window.reset();
    std::filesystem::remove(measurement::log_file_name);
    std::filesystem::remove(settings_file);
    iic::set_settle_time(iic::standard_settle_time);
}
// The readings run on the bus thread, publishing on threads of its own: the
// CPU time is the whole process's.
BENCHMARK(BM_Tick)
    ->MeasureProcessCPUTime()
    ->ArgNames({"settle_ns", "repaint", "publish"})
    ->Args({0, 0, 0})
    ->Args({0, 0, 1})
    ->Args({5000, 0, 0})
    ->Args({5000, 0, 1})
    ->Args({0, 1, 0})
    ->Unit(benchmark::kMicrosecond);

// A two-sensor window that has read once, with no settings file yet; its
// ticks are called here, never by the timer.
void settings_ready(bench::WindowOnBoard& setup)
{
    iic::set_settle_time(std::chrono::nanoseconds(0));
    std::filesystem::remove(settings_file);
    ini::set_ini_dir(std::filesystem::current_path().string());
    setup.two_sensors_logging();
    setup.window->Timer1().stop();
    bench::run_tick(*setup.window);
}

// Argument: what the save finds. 0: the file already holds every value (only
// reads); 1: the two readings changed since the file was written, as at a
// usual exit (two keys rewritten); 2: no file (every key written).
void BM_SaveSettings(benchmark::State& state)
{
    const int mode = static_cast<int>(state.range(0));
    bench::WindowOnBoard setup;
    settings_ready(setup);
    auto* indoor = qobject_cast<QLabel*>(setup.window->control("label_temperature_indoor"));
    auto* outside = qobject_cast<QLabel*>(setup.window->control("label_temperature_outside"));
    ini::save_settings(setup.window->settings_controls());

    long turn = 0;
    for (auto _ : state) {
        if (mode == 1) {
            state.PauseTiming();
            const bool odd = (++turn % 2) != 0;
            indoor->setText(measurement::reading_text(odd ? 21.0 : 21.5));
            outside->setText(measurement::reading_text(odd ? 7.5 : 8.0));
            state.ResumeTiming();
        } else if (mode == 2) {
            state.PauseTiming();
            std::filesystem::remove(settings_file);
            state.ResumeTiming();
        }
        ini::save_settings(setup.window->settings_controls());
    }
    // The section header, then one line per key.
    state.counters["keys"] = static_cast<double>(lines_of(settings_file) - 1);
    state.SetLabel(mode == 0 ? "file up to date" : mode == 1 ? "two readings changed" : "new file");
    setup.window.reset();
    std::filesystem::remove(settings_file);
    iic::set_settle_time(iic::standard_settle_time);
}
BENCHMARK(BM_SaveSettings)->ArgName("case")->Arg(0)->Arg(1)->Arg(2)->Unit(benchmark::kMicrosecond);

// Restores every control from a complete settings file.
void BM_LoadSettings(benchmark::State& state)
{
    bench::WindowOnBoard setup;
    settings_ready(setup);
    ini::save_settings(setup.window->settings_controls());
    const long boxes_before = bench::swallowed_message_boxes();

    for (auto _ : state) {
        ini::load_settings(setup.window->settings_controls());
    }
    state.counters["keys"] = static_cast<double>(lines_of(settings_file) - 1);
    if (bench::swallowed_message_boxes() != boxes_before) {
        state.SkipWithError("the settings file was not accepted");
    }
    setup.window.reset();
    std::filesystem::remove(settings_file);
    iic::set_settle_time(iic::standard_settle_time);
}
BENCHMARK(BM_LoadSettings)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char* argv[])
{
    // No display needed; set before the application object reads it.
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quelvane"));
    bench::ScratchDirectory scratch("quelvane-window-bench");
    bench::swallow_message_boxes();

    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    frm_quelvane::set_message_box(nullptr);
    return 0;
}
