// A zoom step on a year of 1 s records (31.5 million), redrawn: the envelope
// of the new span and the painting of a 1200x600 chart, offscreen. The view
// zooms in and out in turns around the middle of the year, so that each step
// shows about the span given (in days).
#include <QApplication>
#include <QImage>
#include <benchmark/benchmark.h>
#include <cmath>
#include <cstdlib>

#include "bench/log_shape.h"
#include "bench/process_figures.h"
#include "history/chart.h"

namespace {

constexpr std::uint32_t year_start = bench::log_start;
constexpr std::uint32_t year_seconds = 365 * 86400;

long series_kb = 0;

// A year of bench/log_shape.h's log, as records.
const history::Series& year()
{
    static const history::Series series = [] {
        const long before = bench::status_kb("VmRSS");
        std::vector<measurement::LogRecord> records;
        records.reserve(year_seconds);
        const auto tenths = [](double celsius) { return static_cast<std::int16_t>(std::lround(celsius * 10)); };
        for (std::uint32_t second = 0; second < year_seconds; ++second) {
            const bench::LogShape shape = bench::log_shape(second);
            if (shape.recorded) {
                records.push_back({year_start + second, tenths(shape.indoor),
                                   shape.outdoor_failed ? measurement::no_value : tenths(shape.outdoor)});
            }
        }
        history::Series built;
        built.assign(std::move(records));
        series_kb = bench::status_kb("VmRSS") - before;
        return built;
    }();
    return series;
}

void BM_ZoomStep(benchmark::State& state)
{
    history::ChartView view(year());
    view.resize(1200, 600);
    QImage image(view.size(), QImage::Format_RGB32);
    const double middle = year_start + year_seconds / 2.0;
    const double width = state.range(0) * 86400.0;
    view.set_span({middle - width / 2, middle + width / 2});
    view.render(&image);
    bool in = true;
    for (auto _ : state) {
        view.zoom(in ? 0.8 : 1.25, middle);
        in = !in;
        view.render(&image);
    }
    state.counters["records_shown"] = static_cast<double>(width);
    state.counters["series_MB"] = series_kb / 1024.0;
}
BENCHMARK(BM_ZoomStep)->Arg(365)->Arg(30)->Arg(1)->Unit(benchmark::kMillisecond);

// The envelope alone, 1200 columns.
void BM_Envelope(benchmark::State& state)
{
    const double middle = year_start + year_seconds / 2.0;
    const double width = state.range(0) * 86400.0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(history::envelope(year(), middle - width / 2, middle + width / 2, 1200));
    }
}
BENCHMARK(BM_Envelope)->Arg(365)->Arg(30)->Arg(1)->Unit(benchmark::kMillisecond);

// What the window's thread does when the history window's loader thread has
// read a replaced year's log again: it swaps the series built there for the
// one shown (a year too) and the chart takes the new span. Reading, indexing
// and freeing the old year are the loader's, untimed here.
void BM_ReloadedYearTaken(benchmark::State& state)
{
    history::Series shown = year();
    history::Series loaded;
    history::ChartView view(shown);
    view.resize(1200, 600);
    for (auto _ : state) {
        state.PauseTiming();
        loaded = year();
        state.ResumeTiming();
        std::swap(shown, loaded);
        view.series_changed(true);
    }
}
BENCHMARK(BM_ReloadedYearTaken)->Iterations(5)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv)
{
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    ::benchmark::Initialize(&argc, argv);
    year();
    ::benchmark::RunSpecifiedBenchmarks();
    ::benchmark::Shutdown();
    return 0;
}
