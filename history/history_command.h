// "quelvane --history": the history window, or its exports without a display.
#pragma once

#include <QSize>
#include <string>

namespace history {

// What the command line asked of the history (cli/options.h checks it).
struct Request {
    std::string file;  // the measurement log to read
    std::string png;   // the chart's image, or empty for none
    std::string csv;   // the records as CSV, or empty for none; "-": standard output
    QSize size;        // of the image
};

// Runs the history: the exports when any is asked for (no display needed:
// offscreen platform), else the window; makes the application object it
// needs itself. Returns the exit status: 0, or 1 when the log cannot be read
// or an output cannot be written.
int run_history(int argc, char** argv, const Request& request);

}  // namespace history
