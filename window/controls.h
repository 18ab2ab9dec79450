// The toolkit controls behind the control table, with the semantics the
// program relies on: option buttons exclusive within their group box yet
// clearable one by one, and a check box that can show a greyed state.
#pragma once

#include <QCheckBox>
#include <QRadioButton>
#include <QStringList>
#include <memory>

#include "settings/control_state.h"
#include "settings/control_table.h"

class QKeyEvent;
class QLabel;

namespace window {

// Exclusive within its group box, as the toolkit's own radio buttons are (so
// assistive technology announces a radio button). Each group is one stop of
// the Tab key, at its selected option (the first option while none is); the
// arrow keys move the selection to the next or previous option of the group,
// wrapping round, and act as a click on it.
class OptionButton : public QRadioButton {
    Q_OBJECT

public:
    explicit OptionButton(QWidget* parent);

protected:
    void keyPressEvent(QKeyEvent* event) override;

private:
    QList<OptionButton*> group() const;  // this one included
    void become_tab_stop();
};

// Selects or clears one option button. Clearing leaves the other options of
// the group alone, so a group may end with none selected, as a hand-edited
// settings file may ask; the toolkit's exclusivity alone refuses that.
void set_selected(QAbstractButton& option, bool on);

// Unchecked, checked, or greyed; a click toggles between unchecked and
// checked only, greyed is set by the program.
class CheckBox : public QCheckBox {
public:
    explicit CheckBox(QWidget* parent);

protected:
    void nextCheckState() override;
};

// Makes `label` the visible caption of `option`, whose own caption is empty:
// assistive technology names the option by the label's text (whatever the
// settings file made of it), and a click on the label is a click on the option.
void label_option(QLabel& label, QAbstractButton& option);

// Whether a key press types a character: letters, digits, punctuation, space,
// Enter, Backspace and Escape, alone or with Shift or Ctrl. Tab, the arrows,
// function keys and lone modifiers type none, nor do Alt or Meta chords.
bool types_character(const QKeyEvent& event);

// The faces tried in turn for the window's text, the design face first. The
// font system's default sans-serif face stands in when none is installed.
// Tests narrow the list to see that stand-in.
QStringList& font_families();

// The font of the window and of every control without a font of its own: the
// design size, or smaller when the face found sets text wider than the
// design face (see controls.cpp).
QFont window_font();

// Creates the toolkit widget for a table row (nullptr for the timer and the
// serial control, which are not widgets).
QWidget* create_widget(const form::ControlRow& row, QWidget* container);

// The settings walk's view of a table row and its widget.
std::unique_ptr<ini::PersistentControl> persistent_control(const form::ControlRow& row, QWidget* widget);

}  // namespace window
