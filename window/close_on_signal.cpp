#include "window/close_on_signal.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <QWidget>
#include <memory>

#include "process/stop_signals.h"

namespace window {

void close_on_termination_signals(QWidget& window)
{
    auto stop = std::make_shared<process::StopSignals>();
    if (stop->fd() < 0) {
        return;  // the program still runs; only the graceful close is lost
    }
    auto* notifier = new QSocketNotifier(stop->fd(), QSocketNotifier::Read, &window);
    // The connection keeps the signals taken over for as long as the window.
    QObject::connect(notifier, &QSocketNotifier::activated, &window, [&window, notifier, stop] {
        notifier->setEnabled(false);  // the signal's byte stays: one close is enough
        window.close();
        // Also ends any nested loop (a message box waiting for OK), so the
        // program really exits once the settings are saved.
        QCoreApplication::quit();
    });
}

}  // namespace window
