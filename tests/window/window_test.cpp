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

#include "bus/posix_serial_control.h"
#include "history/history_window.h"
#include "log/reading_text.h"
#include "tests/support/board_system_calls.h"
#include "window/bus_thread.h"
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
    convert_in_board_time();
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

// A port chosen, or the window closed, while sensor 1 or sensor 2 is read
// (the bus held at the sensor's first address byte): the reading under way is
// finished (an exchange is never cut), the port is closed right after it, and
// the tick goes no further: nothing more is read, shown, titled or logged, and
// no box opens, not even for a sensor 2 that failed. The next tick opens the
// new port; after the close nothing touches the port. A sensor count chosen
// meanwhile counts from the next tick.
TEST_F(WindowTest, WhatIsChosenWhileASensorIsReadTakesEffectAfterThatReading)
{
    enum class Act { choose_port, close, one_sensor };
    const struct {
        const char* name;
        std::uint8_t address;
        Act act;
        bool sensor_2_absent;
    } cases[] = {
        {"port chosen while sensor 1 is read", 0x90, Act::choose_port, false},
        {"closed while sensor 1 is read", 0x90, Act::close, false},
        {"port chosen while sensor 2 is read", 0x92, Act::choose_port, false},
        {"port chosen while a failing sensor 2 is read", 0x92, Act::choose_port, true},
        {"closed while sensor 2 is read", 0x92, Act::close, false},
        {"closed while a failing sensor 2 is read", 0x92, Act::close, true},
        {"one sensor chosen while sensor 1 is read", 0x90, Act::one_sensor, false},
    };
    const std::vector<std::uint8_t> sensor_1{0x90, 0x90, 0x90, 0x91}, sensor_2{0x92, 0x92, 0x92, 0x93};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        new_window();
        std::filesystem::remove("Quelvane.txt"), std::filesystem::remove("Quelvane.INI");
        board->set_present(1, !c.sensor_2_absent);
        control<QRadioButton>("option_1_min")->click();  // the test runs the ticks
        control<QRadioButton>("option_double")->click();
        control<QCheckBox>("check_log_to_file")->click();
        hold_bus_at(c.address);
        window->Timer1_Timer();
        ASSERT_TRUE(spin_until([this] { return held.load(); }));
        go.release();  // the tick can only go on from the event loop, after the act
        switch (c.act) {
        case Act::choose_port: control<QRadioButton>("option_com2")->click(); break;
        case Act::close:
            window->close();  // returns once the reading, the closing and the saving are done
            EXPECT_FALSE(board->PortOpen());
            EXPECT_TRUE(std::filesystem::exists("Quelvane.INI"));
            break;
        case Act::one_sensor: control<QRadioButton>("option_single")->click(); break;
        }
        const auto opened = board->counters();
        ASSERT_TRUE(spin_until([this] { return !window->tick_running(); }));
        EXPECT_TRUE(boxes.empty());
        auto read = sensor_1;
        if (c.act == Act::one_sensor) {
            read.insert(read.end(), sensor_2.begin(), sensor_2.end());
            EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C    (  8,0°C )"));
            EXPECT_EQ(read_bytes("Quelvane.txt").substr(28), "8,0\xB0" "C         21,5\xB0" "C\r\n");
            EXPECT_EQ(board->addresses(), read);
            continue;
        }
        if (c.address == 0x92) read.insert(read.end(), sensor_2.begin(), sensor_2.end());
        EXPECT_TRUE(spin_until([this] { return !board->PortOpen(); }));
        EXPECT_EQ(board->addresses(), read);
        EXPECT_EQ(window->windowTitle(), QStringLiteral("Quelvane"));
        EXPECT_FALSE(std::filesystem::exists("Quelvane.txt"));
        if (c.act == Act::choose_port) {
            EXPECT_TRUE(spin_until([this] { return board->CommPort() == 2; }));
            board->set_present(1, true);
            tick();
            EXPECT_EQ(board->counters().opens, 2);
            EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C    (  8,0°C )"));
        } else {
            window->Timer1_Timer();
            spin_until([] { return false; }, 20ms);
            EXPECT_EQ(board->counters().line_writes, opened.line_writes);
            EXPECT_EQ(board->counters().opens, 1);
        }
    }
}

// A line call that never returns (a wedged USB adapter) while the window
// closes: the close waits for it no longer than sensor::reading_wait_limit(),
// then saves the settings all the same. The port is closed if the call ever
// returns.
TEST_F(WindowTest, AClosingSavesTheSettingsEvenWhenALineCallNeverReturns)
{
    control<QRadioButton>("option_1_min")->click();  // the test runs the ticks
    hold_bus_at(0x90);
    window->Timer1_Timer();
    ASSERT_TRUE(spin_until([this] { return held.load(); }));
    window->close();
    EXPECT_TRUE(std::filesystem::exists("Quelvane.INI"));
    EXPECT_TRUE(board->PortOpen());
    go.release();
    EXPECT_TRUE(spin_until([this] { return !board->PortOpen(); }));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Quelvane"));
}

// What a port stands for ([Ports] of the settings file) is looked up on the
// window's thread when the port is chosen, and handed to the bus thread with
// it: a hand edit counts from the next choice, and a settings file gone
// unreadable since start-up is told in a box there (the box hook checks the
// thread), the port then standing for its default device.
TEST_F(WindowTest, APortsDeviceIsLookedUpWhenThePortIsChosen)
{
    sensor::SimulatedBoard lines;
    testsupport::BoardSystemCalls system(lines);
    std::vector<std::string> opened;  // by the bus thread, seen here once a tick has ended
    serial::SystemCalls calls = system.calls();
    calls.open = [&opened, open = calls.open](const char* path, int flags) { return opened.push_back(path), open(path, flags); };
    window.reset();  // before the next is made: a window going takes the settings' box hook with it
    window = std::make_unique<frm_quelvane>(std::make_unique<serial::PosixSerialControl>(serial::default_device_for_port, calls));
    ini::detail::reset_reports();
    const std::string settings = "[CT]\r\nFileId=quelv\r\nfrm_quelvaner.option_1_min.value=1\r\n[Ports]\r\nCOM2=/dev/ttyUSB";
    testsupport::write_bytes("Quelvane.INI", settings + "7\r\n");
    window->Form_Load();
    control<QRadioButton>("option_com2")->click();
    tick();
    testsupport::write_bytes("Quelvane.INI", settings + "8\r\n");
    tick();  // the port open stays
    control<QRadioButton>("option_com2")->click();
    tick();
    std::filesystem::remove("Quelvane.INI");
    std::filesystem::create_directory("Quelvane.INI");
    control<QRadioButton>("option_com3")->click();
    tick();
    EXPECT_EQ(opened, (std::vector<std::string>{"/dev/ttyUSB7", "/dev/ttyUSB8", "/dev/ttyS2"}));
    EXPECT_EQ(boxes, std::vector<std::string>{": Fichier INI invalide ou absent"});
    EXPECT_EQ(window->windowTitle(), QStringLiteral("25,0°C"));
    window.reset();
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
    ASSERT_TRUE(spin_until([shown] { return !shown->loading(); }));
    EXPECT_TRUE(shown->status_text().startsWith(QStringLiteral("Quelvane.txt : fichier introuvable")));

    QApplication::setActiveWindow(window.get());  // the history window shown took it
    control("option_com1")->setFocus();
    QTest::keyClick(window.get(), Qt::Key_F10, Qt::ShiftModifier);
    menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    menu->actions().at(0)->trigger();  // the open history window comes to the front
    menu->close();
    EXPECT_EQ(window->findChildren<history::HistoryWindow*>().size(), 1);
}

// The bus thread's own promises, without the window: requests are done in the
// order they were asked, and after close_bus nothing touches the port: a
// reading fails at once with its reason and opens nothing, and a port choice
// is ignored.
namespace {
window::Detached read_into(window::BusThread& bus, std::int16_t index, std::vector<sensor::Reading>& readings)
{
    readings.push_back(co_await bus.read(index));
}
}  // namespace

TEST(BusThread, DoesRequestsInOrderAndAfterTheCloseTouchesNothing)
{
    iic::set_settle_time(std::chrono::nanoseconds(0));
    sensor::set_conversion_wait([] {});
    auto owned = std::make_unique<sensor::SimulatedBoard>();
    sensor::SimulatedBoard& board = *owned;
    board.set_temperature(1, 8.0);
    window::BusThread bus(std::move(owned));
    std::vector<sensor::Reading> readings;
    read_into(bus, 0, readings);
    read_into(bus, 1, readings);
    bus.select_port(2, "");
    read_into(bus, 0, readings);
    ASSERT_TRUE(spin_until([&] { return readings.size() == 3; }));
    EXPECT_EQ(readings[0].celsius, 25.0);
    EXPECT_EQ(readings[1].celsius, 8.0);
    EXPECT_EQ(readings[2].celsius, 25.0);
    EXPECT_EQ(board.addresses(), (std::vector<std::uint8_t>{0x90, 0x90, 0x90, 0x91, 0x92, 0x92, 0x92, 0x93, 0x90, 0x90,
                                                            0x90, 0x91}));
    EXPECT_EQ(board.counters().opens, 2);

    EXPECT_TRUE(bus.close_bus());
    EXPECT_FALSE(board.PortOpen());
    const auto closed = board.counters();
    read_into(bus, 0, readings);
    bus.select_port(3, "");
    ASSERT_TRUE(spin_until([&] { return readings.size() == 4; }));
    EXPECT_EQ(readings[3].failure, "the port was closed at exit");
    EXPECT_EQ(board.counters().line_writes, closed.line_writes);
    EXPECT_EQ(board.counters().opens, closed.opens);
    EXPECT_EQ(board.CommPort(), 2);
    sensor::set_conversion_wait(nullptr);
    iic::set_settle_time(iic::standard_settle_time);
}
