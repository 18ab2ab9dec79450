// "quelvane --history": the history window, or its exports without a display.
#pragma once

#include <string>
#include <vector>

namespace history {

// "quelvane --history [FILE] [--png OUT [--size WxH]] [--csv OUT]": `arguments`
// are the words after "--history". Parses them (a bad one: one line on
// stderr, returns 2; --help: usage_lines() on stdout, returns 0), creates the
// application object it needs itself (exports need no display: offscreen
// platform), runs, and returns the exit status: 0, or 1 when FILE cannot be
// read or OUT cannot be written.
int run_history(int argc, char** argv, const std::vector<std::string>& arguments);

// Whether these arguments open the window (valid, and no export asked for),
// which needs a display.
bool needs_display(const std::vector<std::string>& arguments);

// The usage of --history and its options, each line ending with a line feed:
// a part of quelvane --help, and all that quelvane --history --help prints.
std::string usage_lines();

}  // namespace history
