// The toolkit controls behind the control table, with the semantics the
// program relies on: option buttons exclusive within their group box yet
// clearable one by one, and a check box that can show a greyed state.
#pragma once

#include <QCheckBox>
#include <QRadioButton>
#include <memory>

#include "settings/control_state.h"
#include "window/control_table.h"

namespace window {

// Selecting one clears the other option buttons of the same group box;
// clearing one leaves the others alone, so a group may end with none selected.
class OptionButton : public QRadioButton {
public:
    explicit OptionButton(QWidget* parent);

protected:
    void nextCheckState() override;  // a click always selects

private:
    void clear_siblings();
};

// Unchecked, checked, or greyed; a click toggles between unchecked and
// checked only, greyed is set by the program.
class CheckBox : public QCheckBox {
public:
    explicit CheckBox(QWidget* parent);

protected:
    void nextCheckState() override;
};

// The font of the window and of every control without a font of its own.
QFont window_font();

// Creates the toolkit widget for a table row (nullptr for the timer and the
// serial control, which are not widgets).
QWidget* create_widget(const ControlRow& row, QWidget* container);

// The settings walk's view of a table row and its widget.
std::unique_ptr<ini::PersistentControl> persistent_control(const ControlRow& row, QWidget* widget);

}  // namespace window
