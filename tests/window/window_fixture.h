// A window on the simulated board (21.5 °C indoor, 8.0 °C outdoor), in a
// scratch directory, in a French locale, with every message box recorded
// instead of shown.
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocale>
#include <QTimer>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "bus/iic.h"
#include "sensor/read_sensor.h"
#include "sensor/simulated_board.h"
#include "settings/ini.h"
#include "tests/support/temp_dir.h"
#include "window/frm_quelvane.h"

using testsupport::read_bytes;

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        iic::set_settle_time(std::chrono::nanoseconds(0));
        sensor::set_conversion_wait([] {});  // the board converts at once
        QLocale::setDefault(QLocale(QLocale::French, QLocale::France));
        std::filesystem::current_path(dir.path());
        ini::set_ini_dir(dir.path());  // where Form_Load would set it
        frm_quelvane::set_message_box([this](QWidget*, const QString& text, const QString& title) {
            boxes.push_back(title.toStdString() + ": " + text.toStdString());
            if (while_box_open) while_box_open();
        });
        new_window();
    }

    // A fresh window on a fresh board, in place of the one there was.
    void new_window()
    {
        window.reset();
        auto owned = std::make_unique<sensor::SimulatedBoard>();
        board = owned.get();
        board->set_temperature(0, 21.5);
        board->set_temperature(1, 8.0);
        window = std::make_unique<frm_quelvane>(std::move(owned));
    }

    void TearDown() override
    {
        window.reset();
        frm_quelvane::set_message_box(nullptr);
        QLocale::setDefault(QLocale::c());
        std::filesystem::current_path(previous_dir);
    }

    template <class T = QWidget> T* control(std::string_view name) const { return qobject_cast<T*>(window->control(name)); }

    // Runs the event loop until done() holds; false if it still does not
    // after `limit`.
    static bool spin_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10))
    {
        const QDeadlineTimer deadline(limit);
        QTimer wake;  // so that a wait for events ends now and then
        wake.start(5);
        while (!done() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        return done();
    }

    // One tick, run to its end: it goes on while the bus thread reads.
    void tick()
    {
        window->Timer1_Timer();
        ASSERT_TRUE(spin_until([this] { return !window->tick_running(); })) << "the tick never ended";
    }

    std::filesystem::path previous_dir = std::filesystem::current_path();
    testsupport::TempDir dir;
    std::unique_ptr<frm_quelvane> window;
    sensor::SimulatedBoard* board = nullptr;
    std::vector<std::string> boxes;  // "title: text"
    std::function<void()> while_box_open;
};
