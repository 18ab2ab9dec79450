// The window as a keyboard user, a screen-reader user and a mouse user meet it.
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QTest>

#include "log/reading_text.h"
#include "settings/control_table.h"
#include "window/controls.h"
#include "window_fixture.h"

class AccessTest : public WindowTest {
protected:
    void show()
    {
        window->show();
        QApplication::setActiveWindow(window.get());
        ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    }
    QString focused() const
    {
        return QApplication::focusWidget() != nullptr ? QApplication::focusWidget()->objectName() : QString();
    }
};

TEST_F(AccessTest, OptionsAreRadioButtonsNamedByTheirCaptionOrTheirLabel)
{
    std::ofstream("Quelvane.INI", std::ios::binary)
        << "[CT]\r\nFileId=quelv\r\nfrm_quelvaner.Label3.caption=Salon et jardin\r\n"
           "frm_quelvaner.option_com1.value=0\r\n";
    window->Form_Load();
    for (const auto& row : form::control_table) {
        if (row.kind != form::Kind::option_button) continue;
        SCOPED_TRACE(std::string(row.name));
        auto* option = control<QRadioButton>(row.name);
        QAccessibleInterface* access = QAccessible::queryAccessibleInterface(option);
        EXPECT_EQ(access->role(), QAccessible::RadioButton);
        EXPECT_EQ(access->state().checked, option->isChecked());
        EXPECT_EQ(access->text(QAccessible::Name).toStdString(),
                  row.name == "option_single"   ? "Capteur 1 seul (IC2)"
                  : row.name == "option_double" ? "Salon et jardin"  // follows the caption from the file
                                                : std::string(row.caption));
    }
    EXPECT_FALSE(control<QRadioButton>("option_com1")->isChecked());  // a group can still be cleared
    EXPECT_EQ(QAccessible::queryAccessibleInterface(control<QCheckBox>("check_log_to_file"))->role(),
              QAccessible::CheckBox);
}

TEST_F(AccessTest, ALabelClickSelectsItsOption)
{
    show();
    for (const auto& [label, option] : {std::pair("Label3", "option_double"), std::pair("Label2", "option_single")}) {
        QTest::mouseClick(window->control(label), Qt::LeftButton);
        EXPECT_TRUE(control<QRadioButton>(option)->isChecked()) << label;
        EXPECT_EQ(focused().toStdString(), option);
    }
    EXPECT_FALSE(control<QRadioButton>("option_double")->isChecked());
}

// Keys on an option while the timer is stopped (a failed reading): only a
// key that types a character re-applies its group's choice (a port choice
// starts the readings again, an interval choice never does; neither selects
// the option), Tab and Shift+Tab go to the next or previous group, and an
// arrow is a click on the next or previous option of the group.
TEST_F(AccessTest, KeysOnTheOptions)
{
    const struct {
        const char* on;
        Qt::Key key;
        Qt::KeyboardModifiers modifiers;
        const char* selected;  // afterwards
        bool timer_restarts;
        const char* focus;  // nullptr: stays
        int interval;
    } cases[] = {
        {"option_com1", Qt::Key_Tab, Qt::NoModifier, "option_com1", false, "option_single", 1000},
        {"option_com1", Qt::Key_Backtab, Qt::ShiftModifier, "option_com1", false, "check_log_to_file", 1000},
        {"option_com1", Qt::Key_Shift, Qt::ShiftModifier, "option_com1", false, nullptr, 1000},
        {"option_com1", Qt::Key_F5, Qt::NoModifier, "option_com1", false, nullptr, 1000},
        {"option_com1", Qt::Key_A, Qt::AltModifier, "option_com1", false, nullptr, 1000},
        {"option_com1", Qt::Key_A, Qt::ControlModifier, "option_com1", true, nullptr, 1000},
        {"option_com1", Qt::Key_Space, Qt::NoModifier, "option_com1", true, nullptr, 1000},
        {"option_com1", Qt::Key_Escape, Qt::NoModifier, "option_com1", true, nullptr, 1000},
        {"option_com3", Qt::Key_Z, Qt::NoModifier, "option_com1", true, nullptr, 1000},
        {"option_com1", Qt::Key_Down, Qt::NoModifier, "option_com2", true, "option_com2", 1000},
        {"option_com1", Qt::Key_Right, Qt::NoModifier, "option_com2", true, "option_com2", 1000},
        {"option_com1", Qt::Key_Up, Qt::NoModifier, "option_com4", true, "option_com4", 1000},  // wraps round
        {"option_5_sec", Qt::Key_A, Qt::NoModifier, "option_1_sec", false, nullptr, 1000},
        {"option_1_sec", Qt::Key_Down, Qt::NoModifier, "option_5_sec", false, "option_5_sec", 5000},  // at once
        {"option_single", Qt::Key_Right, Qt::NoModifier, "option_double", false, "option_double", 1000},
    };
    show();
    // Tab stops once in each group, at its selected option.
    window->control("check_log_to_file")->setFocus(Qt::TabFocusReason);
    for (const char* stop : {"option_com1", "option_single", "option_1_sec", "check_log_to_file"}) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(focused().toStdString(), stop);
    }
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.on) + " " + QKeySequence(c.key | c.modifiers).toString().toStdString());
        for (const char* option : {"option_com1", "option_1_sec", "option_single"}) control<QRadioButton>(option)->click();
        window->control(c.on)->setFocus(Qt::TabFocusReason);
        window->Timer1().stop();
        QTest::keyClick(window->control(c.on), c.key, c.modifiers);
        EXPECT_TRUE(control<QRadioButton>(c.selected)->isChecked());
        EXPECT_EQ(window->Timer1().isActive(), c.timer_restarts);
        EXPECT_EQ(window->Timer1().interval(), c.interval);
        EXPECT_EQ(focused().toStdString(), c.focus != nullptr ? c.focus : c.on);
        const int port = std::string(c.selected).starts_with("option_com") ? c.selected[10] - '0' : 1;
        EXPECT_TRUE(spin_until([&] { return board->CommPort() == port; }));
    }
}

// Every caption, and the widest readings (the sensor's range is -55 to
// +125 °C), fit their control at the window's font, with the faces this
// machine has, with DejaVu Sans, and with the font system's default
// sans-serif face.
TEST_F(AccessTest, EveryCaptionFitsItsControl)
{
    const QStringList saved = window::font_families();
    for (const QStringList& families : {saved, {QStringLiteral("DejaVu Sans")}, {QStringLiteral("No Such Face")}}) {
        window::font_families() = families;
        const frm_quelvane laid_out(std::make_unique<sensor::SimulatedBoard>());
        const QString face = QFontInfo(laid_out.font()).family();
        SCOPED_TRACE(face.toStdString());
        ASSERT_TRUE(families != QStringList{"DejaVu Sans"} || face == families[0]);
        for (const auto& row : form::control_table) {
            QWidget* widget = laid_out.control(row.name);
            if (widget == nullptr || row.caption.empty()) continue;
            EXPECT_EQ(widget->font().bold(), (row.flags & form::big_bold) != 0) << row.name;  // the readings
            QStringList texts{QString::fromUtf8(row.caption.data(), static_cast<qsizetype>(row.caption.size()))};
            QRect room;
            int flags = Qt::TextShowMnemonic;
            if (auto* label = qobject_cast<QLabel*>(widget)) {
                room = label->contentsRect();
                flags = Qt::TextWordWrap | label->alignment();
                if ((row.flags & form::big_bold) != 0) {
                    texts = {measurement::reading_text(-55), measurement::reading_text(125), measurement::no_reading_text};
                }
            } else if (auto* box = qobject_cast<QGroupBox*>(widget)) {
                QStyleOptionGroupBox option;
                option.initFrom(box);
                option.text = box->title();
                option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
                const QRect title = box->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel, box);
                room = QRect(0, title.top(), box->width(), title.height());
            } else {
                QStyleOptionButton option;
                option.initFrom(widget);
                const bool check = qobject_cast<QCheckBox*>(widget) != nullptr;
                room = widget->style()->subElementRect(check ? QStyle::SE_CheckBoxContents : QStyle::SE_RadioButtonContents,
                                                       &option, widget);
            }
            for (const QString& text : texts) {
                const QRect needed = QFontMetrics(widget->font()).boundingRect(room, flags, text);
                EXPECT_TRUE(room.contains(needed)) << row.name << " \"" << text.toStdString() << "\" needs "
                                                   << needed.width() << "x" << needed.height() << ", has "
                                                   << room.width() << "x" << room.height();
            }
        }
    }
    window::font_families() = saved;
}
