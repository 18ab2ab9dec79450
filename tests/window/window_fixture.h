// A window on the simulated board (21.5 °C indoor, 8.0 °C outdoor), in a
// scratch directory, in a French locale, with every message box recorded
// instead of shown (and checked to come from the window's thread).
#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QLocale>
#include <QTimer>
#include <atomic>
#include <functional>
#include <gtest/gtest.h>
#include <memory>
#include <semaphore>
#include <string>
#include <thread>
#include <vector>

#include "bus/iic.h"
#include "sensor/read_sensor.h"
#include "sensor/simulated_board.h"
#include "settings/ini.h"
#include "tests/support/temp_dir.h"
#include "window/frm_quelvane.h"

using testsupport::read_bytes;

// Runs the event loop until done() holds; false if it still does not after
// `limit`.
inline bool spin_until(const std::function<bool()>& done, std::chrono::milliseconds limit = std::chrono::seconds(10))
{
    const QDeadlineTimer deadline(limit);
    QTimer wake;  // so that a wait for events ends now and then
    wake.start(5);
    while (!done() && !deadline.hasExpired()) QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    return done();
}

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
            EXPECT_EQ(std::this_thread::get_id(), window_thread) << "a box off the window's thread";
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

    // The board's time moves only by the conversion waits, one conversion
    // time each, and a conversion takes that time.
    void convert_in_board_time()
    {
        board->stop_time();
        board->set_conversion_time(sensor::max_conversion_time);
        sensor::set_conversion_wait([board = board] { board->advance(sensor::max_conversion_time); });
    }

    // The bus thread stops once the board has heard `address` (the first
    // time), until the test releases `go`; `held` says it has stopped.
    void hold_bus_at(std::uint8_t address)
    {
        held = false;
        board->set_address_hook([this, address, fired = std::make_shared<std::atomic<bool>>()](std::uint8_t heard) {
            if (heard == address && !fired->exchange(true)) {
                held = true;
                (void)go.try_acquire_for(std::chrono::seconds(30));  // a test that hangs fails instead
            }
        });
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
    const std::thread::id window_thread = std::this_thread::get_id();
    std::atomic<bool> held{false};
    std::binary_semaphore go{0};
};
