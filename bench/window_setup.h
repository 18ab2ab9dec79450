// What the window benchmark programs share: the window on a simulated board
// set up as a user with two sensors and logging would have it, run in a
// scratch working directory.
#pragma once

#include <QCheckBox>
#include <QCoreApplication>
#include <QRadioButton>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>

#include "bench/process_figures.h"
#include "bench/scratch_directory.h"
#include "sensor/simulated_board.h"
#include "window/frm_quelvane.h"

namespace bench {

// Both sensors read, every reading appended to the log.
inline void set_two_sensors_logging(frm_quelvane& window)
{
    qobject_cast<QRadioButton*>(window.control("option_double"))->setChecked(true);
    qobject_cast<QCheckBox*>(window.control("check_log_to_file"))->setChecked(true);
}

// Runs one tick to its end: it goes on while the bus thread reads.
inline void run_tick(frm_quelvane& window)
{
    window.Timer1_Timer();
    while (window.tick_running()) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
}

// The window owns its board; `board` stays valid as long as `window` lives.
struct WindowOnBoard {
    sensor::SimulatedBoard* board = nullptr;
    std::unique_ptr<frm_quelvane> window;

    WindowOnBoard()
    {
        auto owned = std::make_unique<sensor::SimulatedBoard>();
        board = owned.get();
        board->set_temperature(0, 21.5);
        board->set_temperature(1, 8.0);
        window = std::make_unique<frm_quelvane>(std::move(owned));
    }

    void two_sensors_logging() { set_two_sensors_logging(*window); }
};

// Message boxes are modal and would wait for a click: benchmarks count them.
inline long& swallowed_message_boxes()
{
    static long count = 0;
    return count;
}

inline void swallow_message_boxes()
{
    frm_quelvane::set_message_box([](QWidget*, const QString& text, const QString& title) {
        ++swallowed_message_boxes();
        std::fprintf(stderr, "message box \"%s\": %s\n", title.toLocal8Bit().constData(),
                     text.toLocal8Bit().constData());
    });
}

// A settings file selecting two sensors and logging, as a previous run of a
// user with both sensors would leave the options; then `more` (a [Publish]
// section, say).
inline void write_two_sensor_settings(const std::filesystem::path& file, const std::string& more = {})
{
    std::ofstream(file, std::ios::binary) << "[CT]\r\nFileId=quelv\r\n"
                                             "frm_quelvaner.option_double.value=1\r\n"
                                             "frm_quelvaner.option_single.value=0\r\n"
                                             "frm_quelvaner.check_log_to_file.value=1\r\n"
                                          << more;
}

}  // namespace bench
