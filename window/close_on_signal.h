// Closing the window the ordinary way when the session ends under it, so the
// port is closed and the settings are saved.
#pragma once

class QWidget;

namespace window {

// On SIGTERM, SIGINT or SIGHUP, closes `window` from the event loop (through
// StopSignals: the handler itself only writes to a pipe) and quits the
// application. Call once, after the application object exists.
void close_on_termination_signals(QWidget& window);

}  // namespace window
