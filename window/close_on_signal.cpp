#include "window/close_on_signal.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace window {
namespace {

int signal_pipe[2] = {-1, -1};

extern "C" void on_termination_signal(int signal_number)
{
    const int saved_errno = errno;
    const char byte = static_cast<char>(signal_number);
    // Async-signal-safe; a full pipe already holds a pending close.
    (void)!::write(signal_pipe[1], &byte, 1);
    errno = saved_errno;
}

}  // namespace

void close_on_termination_signals(QWidget& window)
{
    if (signal_pipe[0] < 0 && ::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return;  // the program still runs; only the graceful close is lost
    }
    auto* notifier = new QSocketNotifier(signal_pipe[0], QSocketNotifier::Read, &window);
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window] {
        char drain[64];
        while (::read(signal_pipe[0], drain, sizeof drain) > 0) {
        }
        window.close();
        // Also ends any nested loop (a message box waiting for OK), so the
        // program really exits once the settings are saved.
        QCoreApplication::quit();
    });

    struct sigaction action {};
    action.sa_handler = on_termination_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
        ::sigaction(signal_number, &action, nullptr);
    }
}

}  // namespace window
