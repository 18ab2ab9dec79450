#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QContextMenuEvent>
#include <QLabel>
#include <QMenu>
#include <QRadioButton>
#include <QTest>

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
    EXPECT_FALSE(window->MSComm1().PortOpen());
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

TEST_F(WindowTest, TickShowsTheReadingsAndTitlesWithThem)
{
    window->Timer1_Timer();
    EXPECT_EQ(control<QLabel>("label_temperature_outside")->text(), QStringLiteral("--.-°C"));
    EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C"));
    EXPECT_EQ(board->addresses(), (std::vector<std::uint8_t>{0x90, 0x90, 0x90, 0x91}));

    control<QRadioButton>("option_double")->click();
    board->set_temperature(1, -25);
    window->Timer1_Timer();
    EXPECT_EQ(window->windowTitle(), QStringLiteral("21,5°C    (  -25,0°C )"));
    EXPECT_TRUE(boxes.empty());
}

TEST_F(WindowTest, FailedReadingsAreToldInOrderStopTheTimerAndAreStillLogged)
{
    const std::tuple<bool, bool, std::vector<std::string>> cases[] = {
        {false, true, {"Lecture du capteur 1 impossible"}},
        {true, false, {"Lecture du capteur 2 impossible"}},
        {false, false, {"Lecture du capteur 1 impossible", "Lecture du capteur 2 impossible"}},
    };
    control<QRadioButton>("option_double")->click();
    control<QCheckBox>("check_log_to_file")->click();
    for (const auto& [indoor, outdoor, messages] : cases) {
        boxes.clear();
        window->Timer1().start();
        board->set_present(0, indoor);
        board->set_present(1, outdoor);
        bool active_while_open = false;
        while_box_open = [&] { active_while_open |= boxes.size() == 1 && window->Timer1().isActive(); };
        window->Timer1_Timer();

        ASSERT_EQ(boxes.size(), messages.size());
        for (std::size_t i = 0; i < boxes.size(); ++i) {
            EXPECT_EQ(boxes[i].title, "Erreur");
            EXPECT_EQ(boxes[i].text, messages[i]);
        }
        EXPECT_TRUE(active_while_open);  // stopped only once the box is closed
        EXPECT_FALSE(window->Timer1().isActive());
        const std::string log = file_bytes("Quelvane.txt");
        EXPECT_EQ(log.substr(log.size() - 22), std::string(outdoor ? "8,0\xB0" "C         " : "--.-\xB0" "C        ") +
                                                   (indoor ? "21,5\xB0" "C\r\n" : "--.-\xB0" "C\r\n"));
    }
}

TEST_F(WindowTest, NoTickRunsWhileABoxIsOpen)
{
    board->set_present(0, false);
    long writes_during_box = -1;
    while_box_open = [&] {
        const long before = board->counters().line_writes;
        window->Timer1_Timer();
        writes_during_box = board->counters().line_writes - before;
    };
    window->Timer1_Timer();
    EXPECT_EQ(boxes.size(), 1u);
    EXPECT_EQ(writes_during_box, 0);
}

// --- The log -------------------------------------------------------------------

TEST_F(WindowTest, LogIsAppendedOnlyWhileCheckedAndAFailureIsToldOnce)
{
    auto* check = control<QCheckBox>("check_log_to_file");
    window->Timer1_Timer();
    EXPECT_FALSE(std::filesystem::exists("Quelvane.txt"));
    check->click();
    window->Timer1_Timer();
    check->click();
    window->Timer1_Timer();
    check->click();
    window->Timer1_Timer();
    EXPECT_EQ(file_bytes("Quelvane.txt").size(), 2 * 50u);  // two whole records of 50 bytes

    std::filesystem::rename("Quelvane.txt", "kept.txt");
    std::filesystem::create_directory("Quelvane.txt");  // cannot be written, even by root
    window->Timer1_Timer();
    window->Timer1_Timer();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "Impossible d'écrire dans le fichier Quelvane.txt");
    EXPECT_TRUE(window->Timer1().isActive());  // the tick goes on

    std::filesystem::remove("Quelvane.txt");
    window->Timer1_Timer();  // a good record makes the next failure worth telling
    std::filesystem::remove("Quelvane.txt");
    std::filesystem::create_directory("Quelvane.txt");
    window->Timer1_Timer();
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
