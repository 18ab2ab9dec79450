// The window as a keyboard user, a screen-reader user and a mouse user meet it.
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOption>
#include <QTest>

#include "log/reading_text.h"
#include "settings/control_table.h"
#include "tests/bus/recording_control.h"
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

// "Ports série…" from the keyboard, as a screen reader hears it: each field
// named by its label and holding what its port stands for, the fields in
// port order, then the search, OK and Annuler. A device chosen from a
// drop-down, a search on the bus thread (the window does not wait) that fills
// the window's port with the board's stable name, then OK: [Ports] gets the
// two lines that changed and every other byte stays. Esc, or a path no port
// can have, changes nothing.
TEST_F(AccessTest, ThePortsDialogChoosesSearchesAndSavesWhatChanged)
{
    using namespace std::chrono_literals;
    const std::string stable = "/dev/serial/by-id/usb-FTDI_A-if00-port0";
    const std::string settings =
        "[CT]\r\nFileId=quelv\r\nfrm_quelvaner.Label1.caption=S\xE9jour\r\n[Ports]\r\nCOM3=/dev/ttyACM0\r\n";
    testsupport::write_bytes("Quelvane.INI", settings);
    sensor::SimulatedBoard adapter, native;  // the board on a USB adapter; nothing on the native port
    adapter.set_line_latency(200us);         // the search takes a while
    native.set_unplugged(true);
    const std::vector<serial::SerialDevice> present{{"/dev/ttyS0", ""}, {"/dev/ttyUSB0", stable}};
    window->set_serial_devices({[&] { return present; }, nullptr, [&](const std::string& device) {
                                    return std::make_unique<testsupport::RecordingControl>(
                                        device == "/dev/ttyUSB0" ? &adapter : &native);
                                }});
    std::vector<QString> questions;
    frm_quelvane::set_question_box([&](QWidget*, const QString& text, const QString&) {
        questions.push_back(text);
        return true;
    });
    struct Restore {
        ~Restore() { frm_quelvane::set_question_box(nullptr); }
    } restore;
    show();

    const auto open_dialog = [this]() -> QDialog* {
        QApplication::setActiveWindow(window.get());
        QTest::keyClick(window.get(), Qt::Key_F10, Qt::ShiftModifier);
        auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (menu == nullptr) return nullptr;
        EXPECT_EQ(QAccessible::queryAccessibleInterface(menu)->child(1)->text(QAccessible::Name),
                  QStringLiteral("Ports série…"));
        menu->actions().at(1)->trigger();
        menu->close();
        auto* dialog = window->findChild<QDialog*>(QStringLiteral("ports_dialog"));
        EXPECT_TRUE(dialog != nullptr && spin_until([dialog] { return dialog->isVisible(); }));
        QApplication::setActiveWindow(dialog);
        EXPECT_TRUE(QTest::qWaitForWindowActive(dialog));
        return dialog;
    };
    const auto focus_in = [](const QWidget* widget) {
        return widget == QApplication::focusWidget() || widget->isAncestorOf(QApplication::focusWidget());
    };
    const auto closed = [this] { return spin_until([this] { return window->findChild<QDialog*>() == nullptr; }); };

    QDialog* dialog = open_dialog();
    ASSERT_NE(dialog, nullptr);
    QAccessibleInterface* access = QAccessible::queryAccessibleInterface(dialog);
    EXPECT_EQ(access->role(), QAccessible::Dialog);
    EXPECT_EQ(access->text(QAccessible::Name), QStringLiteral("Quelvane — ports série"));
    std::vector<QWidget*> tab_order;
    for (int port = 1; port <= 4; ++port) {
        auto* field = dialog->findChild<QComboBox*>(QStringLiteral("port_com%1").arg(port));
        QAccessibleInterface* heard = QAccessible::queryAccessibleInterface(field);
        const auto labels = heard->relations(QAccessible::Label);
        ASSERT_EQ(labels.size(), 1);
        EXPECT_EQ(labels[0].first->text(QAccessible::Name), QStringLiteral("Com %1").arg(port));
        EXPECT_EQ(heard->role(), QAccessible::ComboBox);
        EXPECT_EQ(heard->text(QAccessible::Value).toStdString(), port == 3 ? "/dev/ttyACM0" : "/dev/ttyS" + std::to_string(port - 1));
        EXPECT_EQ(field->itemText(0).toStdString(), stable);  // stable names first
        tab_order.push_back(field);
    }
    for (const char* button : {"Rechercher le capteur", "OK", "Annuler"}) {
        for (auto* candidate : dialog->findChildren<QPushButton*>()) {
            if (candidate->text().remove(u'&') == QString::fromUtf8(button)) tab_order.push_back(candidate);
        }
    }
    ASSERT_EQ(tab_order.size(), 7u);
    EXPECT_TRUE(focus_in(tab_order[0])) << "the window's port first";
    for (std::size_t i = 1; i < tab_order.size(); ++i) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_TRUE(focus_in(tab_order[i])) << i;
    }

    auto* com2 = qobject_cast<QComboBox*>(tab_order[1]);
    com2->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Down);
    EXPECT_EQ(com2->currentText(), QStringLiteral("/dev/ttyUSB0"));

    tab_order[4]->setFocus();
    QTest::keyClick(tab_order[4], Qt::Key_Space);
    auto* status = dialog->findChildren<QLabel*>().back();
    EXPECT_EQ(status->text(), QStringLiteral("Recherche en cours…"));  // the search goes on without the window
    ASSERT_TRUE(spin_until([status] { return status->text().startsWith(QStringLiteral("Trouvé")); }));
    ASSERT_EQ(questions.size(), 1u);
    EXPECT_TRUE(questions[0].contains(QStringLiteral("bascule les lignes DTR et RTS de chaque port série présent "
                                                     "(/dev/ttyS0, /dev/ttyUSB0)")));
    EXPECT_EQ(status->text(), QStringLiteral("Trouvé sur /dev/ttyUSB0 : capteurs 1 et 2."));
    EXPECT_EQ(qobject_cast<QComboBox*>(tab_order[0])->currentText().toStdString(), stable);
    EXPECT_TRUE(focus_in(tab_order[0]));
    EXPECT_EQ(adapter.addresses(), (std::vector<std::uint8_t>{0x90, 0x92}));
    EXPECT_TRUE(native.addresses().empty());

    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    ASSERT_TRUE(closed());
    const std::string saved = settings + "COM1=" + stable + "\r\nCOM2=/dev/ttyUSB0\r\n";
    EXPECT_EQ(read_bytes("Quelvane.INI"), saved);

    for (const Qt::Key key : {Qt::Key_Escape, Qt::Key_Return}) {
        dialog = open_dialog();
        ASSERT_NE(dialog, nullptr);
        EXPECT_EQ(qobject_cast<QComboBox*>(tab_order[0] = dialog->findChild<QComboBox*>("port_com1"))->currentText().toStdString(), stable);
        tab_order[0]->setFocus();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_A, Qt::ControlModifier);
        QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("ttyUSB1"));
        QTest::keyClick(QApplication::focusWidget(), key);
        if (key == Qt::Key_Return) {  // refused, said, and still open to be put right
            ASSERT_EQ(boxes.size(), 1u);
            EXPECT_TRUE(boxes[0].starts_with("Erreur: Com 1 : « ttyUSB1 » ne peut pas désigner un port.")) << boxes[0];
            EXPECT_TRUE(dialog->isVisible());
            dialog->reject();
        }
        ASSERT_TRUE(closed());
        EXPECT_EQ(read_bytes("Quelvane.INI"), saved);
    }
}

