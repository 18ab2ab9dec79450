// The history's command alone, exactly as `quelvane --history ARGS` runs it,
// for whole-process timings of the exports. Being a program of its own, it
// cannot reach the window or any port, whatever its arguments.
//   quelvane_history_export FILE --png OUT [--size WxH] | --csv OUT
#include <string>
#include <vector>

#include "history/history_command.h"

int main(int argc, char** argv)
{
    return history::run_history(argc, argv, std::vector<std::string>(argv + 1, argv + argc));
}
