#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <QTest>
#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <thread>

#include "history/history_window.h"
#include "log/reading_text.h"
#include "window_fixture.h"

using namespace std::chrono_literals;

// The window's thread never makes a line call: the serial control belongs to
// the bus thread, and used from any other it ends the program.
TEST_F(WindowTest, TheSerialControlUsedOffTheBusThreadEndsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(window->MSComm1().PortOpen(), "the serial control was used outside the bus thread");
}

// Two sensors, on a board that answers each line call late and powers up
// with -60 °C in its registers, each row on a fresh opening. A tick reads
// sensor 1, then sensor 2 (once the box of sensor 1, if any, is closed), then
// shows and titles; the event loop runs meanwhile. A failure is told in a box
// and in one line on stderr that says why, and stops the timer once its box
// is closed. A tick due while one runs or while a box is open is dropped.
TEST_F(WindowTest, ATickReadsInOrderAndEachFailureIsToldSaysWhyAndStopsTheTimer)
{
    const std::string open = "sim:COM1: open: ", absent = "no acknowledge at 0x4";
    const auto both = [](const std::string& reason) { return std::array{reason, reason}; };
    const struct {
        std::function<void(bool)> fault;
        std::array<std::string, 2> reasons;  // sensor 1's and sensor 2's; empty: read
    } cases[] = {
        {[](bool) {}, {"", ""}},
        {[this](bool on) { board->set_present(0, !on); }, {absent + "8", ""}},
        {[this](bool on) { board->set_present(1, !on); }, {"", absent + "9"}},
        {[this](bool on) { board->set_present(0, !on), board->set_present(1, !on); }, {absent + "8", absent + "9"}},
        {[this](bool on) { board->set_unplugged(on); },
         both("sim:COM1: the data line reads low on an idle bus (adapter unplugged, or the line stuck)")},
        {[this](bool on) { board->set_open_error(on ? ENOENT : 0); }, both(open + std::strerror(ENOENT))},
        {[this](bool on) { board->set_open_error(on ? EBUSY : 0); },
         both(open + std::strerror(EBUSY) + " (another program holds the port)")},
        {[this](bool on) { board->set_open_error(on ? EACCES : 0); },
         both(open + std::strerror(EACCES) +
              " (the user needs read and write access to the device, usually by being in the dialout group)")},
    };
    board->set_line_latency(50us);
    board->set_conversion_time(20ms);
    sensor::set_conversion_wait([] { std::this_thread::sleep_for(25ms); });
    int loop_turns = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&loop_turns] { ++loop_turns; });
    probe.start(1);
    control<QRadioButton>("option_1_min")->click();  // the test runs the ticks
    control<QRadioButton>("option_double")->click();
    for (const auto& [fault, reasons] : cases) {
        SCOPED_TRACE(reasons[0] + " | " + reasons[1]);
        fault(true);
        control<QRadioButton>("option_com1")->click();  // closes the port, starts the timer again
        boxes.clear(), board->clear_record();
        std::vector<std::pair<bool, long>> at_box;  // timer running; sensor 2's address bytes seen
        while_box_open = [&] {
            const auto addresses = board->addresses();
            at_box.emplace_back(window->Timer1().isActive(), std::count(addresses.begin(), addresses.end(), 0x92));
            window->Timer1_Timer();
        };
        ::testing::internal::CaptureStderr();
        window->Timer1_Timer();
        tick();  // dropped, then waits for the first one
        const std::string said = ::testing::internal::GetCapturedStderr();
        fault(false);

        std::string expected_said;
        std::vector<std::string> expected_boxes;
        QString shown[2];
        for (const int sensor : {1, 2}) {
            const std::string& reason = reasons[sensor - 1];
            shown[sensor - 1] = reason.empty() ? measurement::reading_text(sensor == 1 ? 21.5 : 8.0)
                                               : measurement::no_reading_text;
            if (reason.empty()) continue;
            expected_said += "quelvane: sensor " + std::to_string(sensor) + " (IC" + std::to_string(sensor + 1) +
                             "): " + reason + "\n";
            expected_boxes.push_back("Erreur: Lecture du capteur " + std::to_string(sensor) + " impossible");
        }
        EXPECT_EQ(said, expected_said);
        EXPECT_EQ(boxes, expected_boxes);
        if (!at_box.empty()) {  // stopped only once the first box is closed; sensor 2 not read before it
            EXPECT_EQ(at_box[0], std::pair(true, reasons[0].empty() ? at_box[0].second : 0L));
        }
        EXPECT_EQ(window->Timer1().isActive(), boxes.empty());
        EXPECT_EQ(window->windowTitle(), shown[0] + "    (  " + shown[1] + " )");  // what the record holds too
        const auto addresses = board->addresses();
        EXPECT_LE(std::count(addresses.begin(), addresses.end(), 0x91), 1) << "sensor 1 read twice";
    }
    EXPECT_GT(loop_turns, 0);
}

// A port chosen, or the window closed, while sensor 1 is read, or while its
// failure box waits: a reading under way is finished (an exchange is never
// cut), the port is closed right after it, and the tick goes no further:
// nothing more is read, shown or logged. The next tick opens the new port;
// after the close nothing touches the port.
TEST_F(WindowTest, APortChoiceOrAClosingWhileAReadingRunsEndsTheTickAfterThatReading)
{
    board->set_line_latency(100us);
    control<QRadioButton>("option_1_min")->click();  // the test runs the ticks
    control<QRadioButton>("option_double")->click();
    control<QCheckBox>("check_log_to_file")->click();
    const auto while_sensor_1_is_read = [this](const std::function<void()>& act, long stops) {
        board->clear_record();
        const auto before = board->counters();
        bool in_flight = false;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (board->counters().line_writes - before.line_writes >= 50) {
                poll.stop();
                in_flight = board->counters().line_reads - before.line_reads < 25;  // the 25 samples of a reading
                act();
            }
        });
        poll.start(1);
        tick();
        EXPECT_TRUE(in_flight);
        EXPECT_TRUE(spin_until([this] { return !board->PortOpen(); }));
        EXPECT_EQ(board->addresses(), (std::vector<std::uint8_t>{0x90, 0x90, 0x90, 0x91}));  // sensor 1 only...
        EXPECT_EQ(board->counters().line_reads - before.line_reads, 25);                        // ...to its end
        EXPECT_EQ(board->counters().stops - before.stops, stops);
    };
    while_sensor_1_is_read([this] { control<QRadioButton>("option_com2")->click(); }, 1 + 3);  // the opening's, then the reading's
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Quelvane"));
    EXPECT_FALSE(std::filesystem::exists("Quelvane.txt"));
    EXPECT_EQ(board->CommPort(), 2);
    tick();
    EXPECT_EQ(board->counters().opens, 2);
    EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C    (  8,0°C )"));

    board->set_temperature(0, 30);  // never shown
    sensor::SimulatedBoard::Counters at_close;
    while_sensor_1_is_read([&] {
        window->close();  // returns once the port is closed and the settings saved
        at_close = board->counters();
        EXPECT_FALSE(board->PortOpen());
        EXPECT_TRUE(std::filesystem::exists("Quelvane.INI"));
    }, 3);
    EXPECT_EQ(control<QLabel>("label_temperature_indoor")->text(), QStringLiteral("21,5°C"));
    EXPECT_EQ(read_bytes("Quelvane.txt").size(), 50u);  // the one record of the whole tick
    window->Timer1_Timer();
    spin_until([] { return false; }, 20ms);
    EXPECT_EQ(board->counters().line_writes, at_close.line_writes);
    EXPECT_EQ(board->counters().opens, 0);
    EXPECT_TRUE(boxes.empty());

}

// A port that fails to open names the other serial devices present on
// stderr, for the journal; its box says what it always says. A failure once
// the port is open names none.
TEST_F(WindowTest, APortThatFailsToOpenNamesTheOtherDevicesOnStderrOnly)
{
    window->set_serial_devices({[] { return std::vector<serial::SerialDevice>{{"/dev/ttyUSB0", ""}, {"sim:COM1", ""}}; },
                                nullptr, nullptr});
    for (const bool opens : {false, true}) {
        board->set_open_error(opens ? 0 : ENOENT);
        board->set_present(0, !opens);
        control<QRadioButton>("option_com1")->click();
        boxes.clear();
        ::testing::internal::CaptureStderr();
        tick();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  opens ? "quelvane: sensor 1 (IC2): no acknowledge at 0x48\n"
                        : "quelvane: sensor 1 (IC2): sim:COM1: open: " + std::string(std::strerror(ENOENT)) +
                              "; other serial devices: /dev/ttyUSB0; `quelvane --find` probes them\n");
        EXPECT_EQ(boxes, std::vector<std::string>{"Erreur: Lecture du capteur 1 impossible"});
    }
}

// Only a checked box logs, not a greyed one; a click turns an unchecked box
// checked. With one sensor the title and the record hold sensor 1 alone.
TEST_F(WindowTest, OnlyACheckedBoxLogs)
{
    auto* check = control<QCheckBox>("check_log_to_file");
    tick();
    check->click();
    tick();
    check->setCheckState(Qt::PartiallyChecked);
    tick();
    EXPECT_EQ(read_bytes("Quelvane.txt").substr(28), "--.-\xB0" "C        21,5\xB0" "C\r\n");
    EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C"));
    const auto addresses = board->addresses();
    EXPECT_EQ(std::count(addresses.begin(), addresses.end(), 0x93), 0);
}

TEST_F(WindowTest, ContextMenuFromMouseOrKeyboardOpensTheHistoryOfTheCurrentFolder)
{
    window->show();
    QApplication::setActiveWindow(window.get());
    QLabel* label = control<QLabel>("label_temperature_indoor");
    QContextMenuEvent right_click(QContextMenuEvent::Mouse, QPoint(2, 2), label->mapToGlobal(QPoint(2, 2)));
    QApplication::sendEvent(label, &right_click);  // no control keeps it: the window's menu
    auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    QAccessibleInterface* accessible = QAccessible::queryAccessibleInterface(menu);
    ASSERT_EQ(accessible->childCount(), 2);  // and "Ports série…", which the access tests open
    EXPECT_EQ(accessible->child(0)->text(QAccessible::Name), QStringLiteral("Historique…"));
    menu->actions().at(0)->trigger();
    menu->close();
    auto* shown = window->findChild<history::HistoryWindow*>();
    ASSERT_TRUE(shown != nullptr && shown->isVisible());
    shown->follow_file();
    EXPECT_TRUE(shown->status_text().startsWith(QStringLiteral("Quelvane.txt : fichier introuvable")));

    control("option_com1")->setFocus();
    QTest::keyClick(window.get(), Qt::Key_F10, Qt::ShiftModifier);
    menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    menu->actions().at(0)->trigger();  // the open history window comes to the front
    menu->close();
    EXPECT_EQ(window->findChildren<history::HistoryWindow*>().size(), 1);
}
