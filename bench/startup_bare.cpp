// The yardstick for startup_quelvane.cpp: a bare widgets window with one
// label, set up the same way (same application object and settings, show,
// a 1 s QTimer whose tick sets the label text and the title, the first tick
// run as soon as the event loop starts). Prints the same line of figures.
#include <QLabel>

#include "bench/startup_probe.h"

int main(int argc, char* argv[])
{
    bench::use_offscreen_platform();
    QApplication app(argc, argv);
    bench::name_application();
    bench::StartupSteps steps;
    steps.app_ms = steps.now();

    QWidget window;
    window.setWindowTitle(QStringLiteral("Quelvane"));
    // Built like the monitor's reading label: text from the start.
    auto* label = new QLabel(QStringLiteral("--.-"), &window);
    label->setGeometry(10, 10, 200, 40);

    int count = 0;
    const auto tick = [&] {
        ++count;
        label->setText(QString::number(20.0 + (count % 10) / 10.0, 'f', 1) + QStringLiteral("°C"));
        window.setWindowTitle(label->text());
    };
    QTimer timer(&window);
    timer.setInterval(1000);
    QObject::connect(&timer, &QTimer::timeout, &window, tick);
    timer.start();
    steps.window_ms = steps.now();
    steps.loaded_ms = steps.window_ms;  // nothing to load
    window.show();
    steps.shown_ms = steps.now();
    return bench::measure_first_tick(argc, argv, window, *label, timer, tick, [] { return false; }, steps,
                                     [] { return 0L; });
}
