#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <cstring>
#include <QTest>
#include <cerrno>
#include <thread>

#include "history/history_window.h"
#include "window/control_table.h"
#include "window/controls.h"
#include "window_fixture.h"

// --- The controls --------------------------------------------------------------

TEST_F(WindowTest, ControlsAreMadeFromTheTableInWindowOrder)
{
    const auto controls = window->settings_controls();
    ASSERT_EQ(controls.size(), window::control_table.size());
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const auto& row = window::control_table[i];
        SCOPED_TRACE(std::string(row.name));
        EXPECT_EQ(controls[i]->name(), row.name);
        QWidget* widget = window->control(row.name);
        if (!window::has_caption(row.kind)) {
            EXPECT_EQ(widget, nullptr);  // Timer1 and MSComm1 are no widgets
            continue;
        }
        const QWidget* container = widget->parentWidget();
        EXPECT_EQ(container == window.get() ? "" : container->objectName().toStdString(), row.container);
        EXPECT_EQ(controls[i]->caption(), row.caption);
        if (window::has_value(row.kind)) {
            EXPECT_EQ(controls[i]->value(), (row.flags & window::selected) != 0 ? 1 : 0);
        }
        EXPECT_EQ(widget->font().bold(), (row.flags & window::big_bold) != 0);
    }
    EXPECT_TRUE(window->Timer1().isActive());
    EXPECT_EQ(window->Timer1().interval(), 1000);
    EXPECT_FALSE(board->PortOpen());
}

TEST_F(WindowTest, TabOrderFollowsTheTabIndices)
{
    QWidget* widget = window->control("option_com2");
    for (const char* name : {"option_com2", "option_com3", "option_com4", "option_com1", "option_single", "option_double",
                             "option_1_sec", "option_5_sec", "option_30_sec", "option_1_min", "check_log_to_file"}) {
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->objectName().toStdString(), name);
        do {
            widget = widget->nextInFocusChain();
        } while (widget->focusPolicy() == Qt::NoFocus);
    }
}

TEST_F(WindowTest, OptionsAreExclusivePerGroupAndCanAllBeClearedAndTheBoxCanBeGreyed)
{
    auto* com3 = control<QRadioButton>("option_com3");
    com3->click();
    com3->click();  // a click never clears
    EXPECT_TRUE(com3->isChecked());
    EXPECT_FALSE(control<QRadioButton>("option_com1")->isChecked());
    EXPECT_TRUE(control<QRadioButton>("option_1_sec")->isChecked());  // other groups untouched
    window::set_selected(*com3, false);
    for (const char* name : {"option_com1", "option_com2", "option_com3", "option_com4"}) {
        EXPECT_FALSE(control<QRadioButton>(name)->isChecked()) << name;
    }

    auto* check = control<QCheckBox>("check_log_to_file");
    check->setCheckState(Qt::PartiallyChecked);
    check->click();
    EXPECT_EQ(check->checkState(), Qt::Checked);  // clicks only toggle checked and unchecked
    check->click();
    EXPECT_EQ(check->checkState(), Qt::Unchecked);
}

// --- The tick ------------------------------------------------------------------

// The window's thread never makes a line call: the serial control belongs to
// the bus thread, and used from any other it ends the program.
TEST_F(WindowTest, TheSerialControlUsedOffTheBusThreadEndsTheProgram)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(window->MSComm1().PortOpen(), "the serial control was used outside the bus thread");
    EXPECT_DEATH(window->MSComm1().set_DTREnable(true), "outside the bus thread");
}

TEST_F(WindowTest, TickShowsTheReadingsAndTitlesWithThem)
{
    tick();
    EXPECT_EQ(control<QLabel>("label_temperature_outside")->text(), QStringLiteral("--.-°C"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C"));
    EXPECT_EQ(board->addresses(), (std::vector<std::uint8_t>{0x90, 0x90, 0x90, 0x91}));

    control<QRadioButton>("option_double")->click();
    board->set_temperature(1, -25);
    tick();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C    (  -25,0°C )"));
    EXPECT_TRUE(boxes.empty());
}

// On a board that answers each line call late and powers up with -60 °C in its
// registers: the readings come right, in the same order, with the same boxes,
// and the event loop runs while the bus thread reads.
TEST_F(WindowTest, FailedReadingsAreToldInOrderStopTheTimerAndAreStillLogged)
{
    const std::tuple<bool, bool, std::vector<std::string>> cases[] = {
        {false, true, {"Lecture du capteur 1 impossible"}},
        {true, false, {"Lecture du capteur 2 impossible"}},
        {false, false, {"Lecture du capteur 1 impossible", "Lecture du capteur 2 impossible"}},
    };
    board->set_line_latency(std::chrono::microseconds(50));
    board->set_conversion_time(std::chrono::milliseconds(20));
    sensor::set_conversion_wait([] { std::this_thread::sleep_for(std::chrono::milliseconds(25)); });
    int loop_turns = 0;
    QTimer probe;
    QObject::connect(&probe, &QTimer::timeout, [&loop_turns] { ++loop_turns; });
    probe.start(1);
    control<QRadioButton>("option_double")->click();
    control<QCheckBox>("check_log_to_file")->click();
    for (const auto& [indoor, outdoor, messages] : cases) {
        boxes.clear();
        board->clear_record();
        window->Timer1().start();
        board->set_present(0, indoor);
        board->set_present(1, outdoor);
        bool active_while_open = false;
        std::vector<std::size_t> addresses_at_box;  // sensor 2 is read only once box 1 is closed
        while_box_open = [&] {
            active_while_open |= boxes.size() == 1 && window->Timer1().isActive();
            addresses_at_box.push_back(board->addresses().size());
        };
        loop_turns = 0;
        tick();

        EXPECT_GT(loop_turns, 0);
        ASSERT_EQ(boxes.size(), messages.size());
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(boxes[i].title, "Erreur");
            EXPECT_EQ(boxes[i].text, messages[i]);
            EXPECT_EQ(addresses_at_box[i], messages[i].find("capteur 1") != std::string::npos ? 4u : 8u);
        }
        EXPECT_TRUE(active_while_open);  // stopped only once the box is closed
        EXPECT_FALSE(window->Timer1().isActive());
        const std::string log = file_bytes("Quelvane.txt");
        EXPECT_EQ(log.substr(log.size() - 22), std::string(outdoor ? "8,0\xB0" "C         " : "--.-\xB0" "C        ") +
                                                   (indoor ? "21,5\xB0" "C\r\n" : "--.-\xB0" "C\r\n"));
    }
}

TEST_F(WindowTest, ATickDueWhileATickRunsOrABoxIsOpenIsDropped)
{
    board->set_present(0, false);
    while_box_open = [this] { window->Timer1_Timer(); };
    window->Timer1_Timer();
    tick();  // while the first one waits for its reading
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(board->addresses().size(), 4u);  // one reading of sensor 1
}

// A close, or another port chosen, while a tick waits for its reading or for
// the user to close a failure box: the reading under way is never cut, the
// port is closed right after it, and the tick goes no further: nothing more
// is read, shown or logged.
TEST_F(WindowTest, AClosingOrAPortChoiceWhileATickWaitsEndsItOnceTheReadingUnderWayIsDone)
{
    enum Event { close_while_reading, port_while_reading, close_while_box };
    for (const Event event : {close_while_reading, port_while_reading, close_while_box}) {
        SCOPED_TRACE(event);
        new_window();
        std::filesystem::remove("Quelvane.txt");
        board->set_line_latency(std::chrono::microseconds(100));
        board->set_present(0, event != close_while_box);
        control<QRadioButton>("option_double")->click();
        control<QCheckBox>("check_log_to_file")->click();
        sensor::SimulatedBoard::Counters at_event{};
        bool in_flight = false;
        const auto act = [&] {
            in_flight = board->counters().line_reads < 25;  // the 25 samples of a reading
            if (event == port_while_reading) {
                control<QRadioButton>("option_com2")->click();
            } else {
                window->close();  // returns once the port is closed and the settings saved
                at_event = board->counters();
                EXPECT_FALSE(board->PortOpen());
                EXPECT_TRUE(std::filesystem::exists("Quelvane.INI"));
            }
        };
        QTimer poll;  // acts once the reading of sensor 1 is well under way
        QObject::connect(&poll, &QTimer::timeout, [&] {
            if (board->counters().line_writes >= 50) {
                poll.stop();
                act();
            }
        });
        if (event == close_while_box) {
            while_box_open = act;
        } else {
            poll.start(1);
        }
        tick();

        EXPECT_TRUE(event == close_while_box || in_flight);
        EXPECT_TRUE(spin_until([this] { return !board->PortOpen(); }));  // a port change may come after the tick's end
        const auto counters = board->counters();
        EXPECT_EQ(board->addresses(), (std::vector<std::uint8_t>{0x90, 0x90, 0x90, 0x91}));  // sensor 1 only...
        EXPECT_EQ(counters.line_reads, 25);                                                   // ...read to its end:
        EXPECT_EQ(counters.stops, 1 + 3);  // raising the lines at the opening, then the reading's three
        EXPECT_EQ(control<QLabel>("label_temperature_indoor")->text(), QStringLiteral("--.-"));
        EXPECT_EQ(window->windowTitle(), QStringLiteral("Quelvane"));
        EXPECT_FALSE(std::filesystem::exists("Quelvane.txt"));
        if (event == port_while_reading) {
            EXPECT_EQ(board->CommPort(), 2);
            tick();  // the next tick opens the new port
            EXPECT_EQ(board->counters().opens, 2);
            EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C    (  8,0°C )"));
        } else {
            window->Timer1_Timer();
            spin_until([] { return false; }, std::chrono::milliseconds(20));
            EXPECT_EQ(board->counters().line_writes, at_event.line_writes);  // nothing after the close
            EXPECT_EQ(board->counters().opens, 1);
        }
    }
}

// Each failed reading also says why on stderr, naming the sensor: one line
// per failure (a failure stops the timer, so no line per tick either).
TEST_F(WindowTest, EachFailureSaysWhyOnStderrInOneLine)
{
    const std::string open = "sim:COM1: open: ";
    const std::string busy = open + std::strerror(EBUSY) + " (another program holds the port)";
    const std::string denied = open + std::strerror(EACCES) + " (the user needs read and write access to the device, "
                               "usually by being in the dialout group)";
    const std::string low = "sim:COM1: the data line reads low on an idle bus (adapter unplugged, or the line stuck)";
    const struct {
        std::function<void(bool)> fault;
        std::vector<std::string> reasons;  // for sensor 1, then sensor 2
    } cases[] = {
        {[this](bool on) { board->set_open_error(on ? ENOENT : 0); },
         {open + std::strerror(ENOENT), open + std::strerror(ENOENT)}},
        {[this](bool on) { board->set_open_error(on ? EBUSY : 0); }, {busy, busy}},
        {[this](bool on) { board->set_open_error(on ? EACCES : 0); }, {denied, denied}},
        {[this](bool on) { board->set_present(1, !on); }, {"", "no acknowledge at 0x49"}},
        {[this](bool on) { board->set_unplugged(on); }, {low, low}},
    };
    control<QRadioButton>("option_double")->click();
    for (const auto& c : cases) {
        c.fault(true);
        control<QRadioButton>("option_com1")->click();  // closes the port, starts the timer again
        ::testing::internal::CaptureStderr();
        tick();
        const std::string lines = ::testing::internal::GetCapturedStderr();
        c.fault(false);
        std::string expected;
        for (int sensor = 1; sensor <= 2; ++sensor) {
            const std::string& reason = c.reasons[static_cast<std::size_t>(sensor - 1)];
            if (!reason.empty()) {
                expected += "quelvane: sensor " + std::to_string(sensor) + " (IC" + std::to_string(sensor + 1) + "): " +
                            reason + "\n";
            }
        }
        EXPECT_EQ(lines, expected);
        EXPECT_EQ(boxes.size(), std::count(c.reasons.begin(), c.reasons.end(), "") == 0 ? 2u : 1u);
        boxes.clear();
    }
}

// --- The log -------------------------------------------------------------------

TEST_F(WindowTest, LogIsAppendedOnlyWhileCheckedAndAFailureIsToldOnce)
{
    auto* check = control<QCheckBox>("check_log_to_file");
    tick();
    EXPECT_FALSE(std::filesystem::exists("Quelvane.txt"));
    check->click();
    tick();
    check->click();
    tick();
    check->click();
    tick();
    EXPECT_EQ(file_bytes("Quelvane.txt").size(), 2 * 50u);  // two whole records of 50 bytes

    std::filesystem::rename("Quelvane.txt", "kept.txt");
    std::filesystem::create_directory("Quelvane.txt");  // cannot be written, even by root
    tick();
    tick();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Impossible d'écrire dans le fichier Quelvane.txt");
    EXPECT_TRUE(window->Timer1().isActive());  // the tick goes on

    std::filesystem::remove("Quelvane.txt");
    tick();  // a good record makes the next failure worth telling
    std::filesystem::remove("Quelvane.txt");
    std::filesystem::create_directory("Quelvane.txt");
    tick();
    EXPECT_EQ(boxes.size(), 2u);
}

// --- The context menu ------------------------------------------------------------

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
    EXPECT_EQ(accessible->role(), QAccessible::PopupMenu);
    ASSERT_EQ(accessible->childCount(), 1);
    EXPECT_EQ(accessible->child(0)->role(), QAccessible::MenuItem);
    EXPECT_EQ(accessible->child(0)->text(QAccessible::Name), QStringLiteral("Historique…"));
    menu->actions().at(0)->trigger();
    menu->close();
    auto* shown = window->findChild<history::HistoryWindow*>();
    ASSERT_NE(shown, nullptr);
    EXPECT_TRUE(shown->isVisible());
    shown->follow_file();
    EXPECT_EQ(shown->windowTitle(), QStringLiteral("Quelvane — historique"));
    EXPECT_TRUE(shown->status_text().startsWith(QStringLiteral("Quelvane.txt : fichier introuvable")));

    control<QRadioButton>("option_com1")->setFocus();
    QTest::keyClick(window.get(), Qt::Key_F10, Qt::ShiftModifier);
    menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
    ASSERT_NE(menu, nullptr);
    menu->actions().at(0)->trigger();  // the open history window comes to the front
    menu->close();
    EXPECT_EQ(window->findChildren<history::HistoryWindow*>().size(), 1);
    EXPECT_EQ(window->settings_controls().size(), window::control_table.size());  // no new control
}
