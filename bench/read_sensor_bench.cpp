// Google Benchmark: one sensor reading through the simulated board, and
// through the real control on the board, with the line operations and ioctls
// of each reading as counters.
#include <benchmark/benchmark.h>

#include <chrono>

#include "bench/reading_setup.h"

namespace {

using namespace std::chrono_literals;

// Argument: settle time in nanoseconds (0, or the standard 5000).
void BM_ReadingOnSimulatedBoard(benchmark::State& state)
{
    iic::set_settle_time(std::chrono::nanoseconds(state.range(0)));
    sensor::SimulatedBoard board;
    board.set_temperature(0, 21.5);
    sensor::read_sensor(0, board);  // opens the port
    board.clear_record();

    for (auto _ : state) {
        benchmark::DoNotOptimize(sensor::read_sensor(0, board));
    }
    const auto counters = board.counters();
    const auto per_reading = benchmark::Counter::kAvgIterations;
    state.counters["line_writes"] = benchmark::Counter(static_cast<double>(counters.line_writes), per_reading);
    state.counters["line_reads"] = benchmark::Counter(static_cast<double>(counters.line_reads), per_reading);
    state.counters["line_ops"] =
        benchmark::Counter(static_cast<double>(counters.line_writes + counters.line_reads), per_reading);
    iic::set_settle_time(iic::standard_settle_time);
}
BENCHMARK(BM_ReadingOnSimulatedBoard)->Arg(0)->Arg(5000)->Unit(benchmark::kMicrosecond);

// Arguments: settle time in nanoseconds, sensor index.
void BM_ReadingThroughPosixControl(benchmark::State& state)
{
    iic::set_settle_time(std::chrono::nanoseconds(state.range(0)));
    const auto index = static_cast<std::int16_t>(state.range(1));
    bench::PosixOnBoard setup;

    for (auto _ : state) {
        benchmark::DoNotOptimize(sensor::read_sensor(index, setup.control));
    }
    const auto per_reading = benchmark::Counter::kAvgIterations;
    state.counters["ioctls"] = benchmark::Counter(static_cast<double>(setup.system.counts().total()), per_reading);
    const auto ops = setup.board.counters();
    state.counters["line_changes"] = benchmark::Counter(static_cast<double>(ops.line_writes), per_reading);
    iic::set_settle_time(iic::standard_settle_time);
}
BENCHMARK(BM_ReadingThroughPosixControl)
    ->Args({0, 0})
    ->Args({0, 1})
    ->Args({5000, 0})
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
