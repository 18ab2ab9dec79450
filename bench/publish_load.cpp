// The readings while /metrics is under load: the code of `quelvane --log
// --sensors 2 --every 1 --metrics PORT` (and --mqtt to the broker of
// bench/run.sh, when there is one) on the simulated board with its 5 us
// holds, for SECONDS. bench/run.sh runs it once alone and once while wrk asks
// for /metrics about 1000 times a second. Prints one line:
//   rounds       readings of both sensors made
//   failed       readings that failed (must be 0)
//   late_ms_p50/max  how late each round started against its schedule
//   round_ms_p50/max the wall time of a round (two readings, a log record)
//   cpu_ms       the CPU time of the whole process (readings, HTTP server, MQTT)
//   quelvane_publish_load PORT SECONDS
//   quelvane_publish_load --free-port     prints a free loopback port
//   quelvane_publish_load --await PORT    waits (10 s at most) for a listener there
#include <QDateTime>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include "bench/publish_setup.h"
#include "bench/scratch_directory.h"
#include "cli/commands.h"
#include "sensor/read_sensor.h"
#include "sensor/simulated_board.h"

namespace {

using Clock = std::chrono::steady_clock;

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double percentile(std::vector<double> values, double p)
{
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

double cpu_ms()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto total = [](const timeval& t) { return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3; };
    return total(usage.ru_utime) + total(usage.ru_stime);
}

}  // namespace

int main(int argc, char* argv[])
{
    if (argc == 2 && std::string(argv[1]) == "--free-port") {
        std::printf("%d\n", bench::free_port());
        return 0;
    }
    if (argc == 3 && std::string(argv[1]) == "--await") {
        for (int tries = 0; tries < 200; ++tries) {
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in address{};
            address.sin_family = AF_INET;
            address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[2])));
            address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            const bool listening = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
            ::close(fd);
            if (listening) return 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return 1;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: quelvane_publish_load PORT SECONDS | --free-port | --await PORT\n");
        return 2;
    }
    const auto length = std::chrono::seconds(std::atoi(argv[2]));
    bench::ScratchDirectory scratch("quelvane-publish-load");
    // The first reading's conversion wait is a second of nothing: left out.
    sensor::set_conversion_wait([] {});
    std::vector<std::string> words{"--log", "--sensors", "2", "--every", "1", "--metrics", argv[1]};
    if (!bench::bench_broker().empty()) {
        words.insert(words.end(), {"--mqtt", bench::bench_broker(), "--mqtt-id", "bench"});
    }
    const cli::Options options = cli::parse_arguments(words);

    std::vector<double> late, round;
    Clock::time_point woke;
    const auto end = Clock::now() + length;
    std::ostringstream out, err;
    const double cpu_before = cpu_ms();
    cli::Io io{out, err, [] { return QDateTime::currentDateTime(); }, [&](Clock::time_point deadline) {
                   const auto now = Clock::now();
                   if (woke != Clock::time_point{}) round.push_back(ms(now - woke));
                   if (deadline >= end) return false;
                   std::this_thread::sleep_until(deadline);
                   woke = Clock::now();
                   late.push_back(ms(woke - deadline));
                   return true;
               }};
    const int status = cli::run_command(options, [](const std::string&) {
        auto board = std::make_unique<sensor::SimulatedBoard>();
        board->set_temperature(0, 21.5);
        board->set_temperature(1, 8.0);
        return board;
    }, io);
    const double cpu = cpu_ms() - cpu_before;
    // A failed reading is logged as the no-reading text.
    std::ifstream log(scratch.path() / "Quelvane.txt", std::ios::binary);
    const std::string records((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
    long failed = 0;
    for (std::size_t at = records.find("--.-"); at != std::string::npos; at = records.find("--.-", at + 1)) ++failed;
    std::printf("rounds=%zu failed=%ld late_ms_p50=%.3f late_ms_max=%.3f round_ms_p50=%.3f round_ms_max=%.3f cpu_ms=%.0f\n",
                round.size(), failed, percentile(late, 0.5), percentile(late, 1.0), percentile(round, 0.5),
                percentile(round, 1.0), cpu);
    if (status != 0 || failed != 0) {
        std::fprintf(stderr, "%s", err.str().c_str());
        return 1;
    }
    return 0;
}
