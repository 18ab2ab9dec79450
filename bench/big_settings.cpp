// The settings on a large file: a Quelvane.INI of MEGABYTES (default 70) MB,
// nearly all of it a section of the user's own before [CT], and the same
// file's 33 keys alone as the yardstick. For each it prints what the window's
// load (Form_Load: its 33 keys), the lookups of --read (the saved choices and
// the [Ports] device) and the window's close (Form_Unload: a save after a
// reading changed, 33 keys) cost: wall time, CPU time of the process, and
// how far the peak resident memory rose above the resident memory before.
// Runs the window offscreen on a simulated board, in a scratch directory.
//   quelvane_big_settings [MEGABYTES]
#include <QApplication>
#include <QLabel>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "bench/process_figures.h"
#include "bench/window_setup.h"
#include "log/reading_text.h"
#include "settings/ini.h"
#include "settings/saved_choices.h"

namespace {

double cpu_ms()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Runs step and prints its figures as KEY=VALUE words. The peak is set back
// to the resident memory first (/proc/self/clear_refs), so that VmHWM after
// the step is the highest the step itself went.
void measure(const char* file, const char* step_name, const std::function<void()>& step)
{
    std::ofstream("/proc/self/clear_refs") << "5";
    const long rss_before = bench::status_kb("VmRSS");
    const double wall = bench::monotonic_ms();
    const double cpu = cpu_ms();
    step();
    const double cpu_used = cpu_ms() - cpu;
    const double wall_used = bench::monotonic_ms() - wall;
    const long peak_rise = bench::status_kb("VmHWM") - rss_before;
    std::printf("file=%s step=%s wall_ms=%.1f cpu_ms=%.1f peak_rise_kb=%ld\n", file, step_name, wall_used, cpu_used,
                peak_rise);
    std::fflush(stdout);
}

// The 33 keys of a window in its design-time state, as its close saves them.
std::string saved_keys()
{
    std::filesystem::remove("Quelvane.INI");
    bench::WindowOnBoard setup;
    setup.window->Form_Unload();
    std::ifstream in("Quelvane.INI", std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A section of the user's own of about `bytes`, lines of about 60 bytes.
std::string foreign_section(std::size_t bytes)
{
    std::string section = "[Journal]\r\n";
    section.reserve(bytes + 128);
    char line[96];
    for (long i = 0; section.size() < bytes; ++i) {
        std::snprintf(line, sizeof line, "entry%08ld=relevé du %02ld/%02ld, chaudière réglée à %ld\r\n", i,
                      i % 28 + 1, i % 12 + 1, 15 + i % 10);
        section += line;
    }
    return section;
}

void run(const char* name, const std::string& contents)
{
    std::ofstream("Quelvane.INI", std::ios::binary) << contents;
    std::printf("file=%s bytes=%zu\n", name, contents.size());
    bench::WindowOnBoard setup;
    measure(name, "window_load", [&] { setup.window->Form_Load(); });
    measure(name, "read_lookups", [] {
        const ini::Snapshot settings = ini::Snapshot::read();
        const ini::SavedChoices saved = ini::saved_choices(settings);
        if (ini::device_for_port(saved.port, settings).empty()) {
            std::abort();
        }
    });
    // A reading changed since the file was written, as at any close.
    qobject_cast<QLabel*>(setup.window->control("label_temperature_indoor"))->setText(measurement::reading_text(21.5));
    measure(name, "window_close", [&] { setup.window->Form_Unload(); });
    if (std::filesystem::file_size("Quelvane.INI") < contents.size()) {
        std::fprintf(stderr, "the close lost part of the file\n");
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char* argv[])
{
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 70;
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication app(argc, argv);
    bench::ScratchDirectory scratch("quelvane-big-settings");
    bench::swallow_message_boxes();

    const std::string keys = saved_keys();
    const std::string big = foreign_section(static_cast<std::size_t>(megabytes) * 1000 * 1000) + keys +
                            "[Ports]\r\nCOM1=/dev/ttyUSB0\r\n";
    run("small", keys);
    run("large", big);
    frm_quelvane::set_message_box(nullptr);
    return bench::swallowed_message_boxes() == 0 ? 0 : 1;
}
