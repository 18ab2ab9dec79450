// The history's command alone, exactly as `quelvane --history ARGS` runs it,
// for whole-process timings of the exports. Being a program of its own, it
// cannot reach the window or any port, whatever its arguments.
//   quelvane_history_export FILE --png OUT [--size WxH] | --csv OUT
#include <cstdio>
#include <vector>

#include "cli/options.h"
#include "history/history_command.h"
#include "log/measurement_log.h"

int main(int argc, char** argv)
{
    std::vector<std::string> words = cli::arguments_of(argc, argv);
    words.insert(words.begin(), "--history");
    const cli::Options options = cli::parse_arguments(words);
    if (options.command != cli::Command::history || cli::shows_a_window(options)) {
        std::fprintf(stderr, "usage: %s FILE --png OUT [--size WxH] | --csv OUT\n", argv[0]);
        return 2;
    }
    return history::run_history(argc, argv,
                                {options.history_file.value_or(measurement::log_file_name), options.png, options.csv,
                                 QSize(options.png_width, options.png_height)});
}
