// Whether the window can be shown at all. Qt's platform plugin aborts the
// whole process (SIGABRT, an English message about reinstalling) when it
// cannot reach its display or finds no plugin of the name asked for, so this
// is looked at before the application object is made, with what that plugin
// would look at.
#pragma once

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>

namespace window {

// Reads an environment variable (nullptr when unset).
using Environment = std::function<const char*(const char* name)>;

// The longest a display may take to answer before it counts as absent.
inline constexpr std::chrono::milliseconds display_probe_limit{2000};

// Why no window can be shown here, or empty when it can, or when the platform
// chosen (QT_QPA_PLATFORM) is one that needs no display, such as offscreen:
// the toolkit then decides. A platform name that Qt has no plugin for counts
// as no display. For X11 the X library connects to DISPLAY as the toolkit
// will (a local or abstract socket, host:number over TCP, unix/path), and for
// Wayland the compositor's socket must take a connection; either must answer
// within `limit`. (The program takes no toolkit options: every argument is one
// of its own.)
std::string missing_display(const Environment& env = ::getenv,
                            std::chrono::milliseconds limit = display_probe_limit);

// missing_display said on standard error, in one line that names the program
// (argv[0]) and the commands that need no display. Returns whether there is a
// display.
bool require_display(const char* program_path);

}  // namespace window
