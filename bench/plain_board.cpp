// The monitor exactly as quelvane-demo runs it, but on a simulated board that
// stays still: no drift timer, so the only wake-ups are the window's own.
// For measuring the idle cost of the program itself (bench/run.sh).
#include <QApplication>
#include <memory>

#include "sensor/simulated_board.h"
#include "window/close_on_signal.h"
#include "window/frm_quelvane.h"

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Quelvane"));
    QApplication::setQuitOnLastWindowClosed(true);

    auto board = std::make_unique<sensor::SimulatedBoard>();
    board->set_temperature(0, 21.0);
    board->set_temperature(1, 8.0);
    frm_quelvane window(std::move(board));
    window::close_on_termination_signals(window);
    window.Form_Load();
    window.show();
    return QApplication::exec();
}
