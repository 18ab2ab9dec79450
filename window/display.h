// Whether the window can be shown at all. Qt's platform plugin aborts the
// whole process (SIGABRT, an English message about reinstalling) when it
// finds no display, so this is looked at before the application object is
// made, with what that plugin would look at.
#pragma once

#include <cstdlib>
#include <functional>
#include <string>

namespace window {

// Reads an environment variable (nullptr when unset).
using Environment = std::function<const char*(const char* name)>;

// Why no window can be shown here, or empty when it can, or when the platform
// chosen (QT_QPA_PLATFORM) is one this does not know, such as offscreen: the
// toolkit then decides. For X11 and Wayland a local display must answer on
// its socket; a display on another host is taken on trust. (The program takes
// no toolkit options: every argument is one of its own.)
std::string missing_display(const Environment& env = ::getenv);

// missing_display said on standard error, in one line that names the program
// (argv[0]) and the commands that need no display. Returns whether there is a
// display.
bool require_display(const char* program_path);

}  // namespace window
