// Saving and restoring the state of every control of the window, generically:
// each control's caption and value under keys of its name.
#pragma once

#include <span>
#include <string>
#include <string_view>

namespace ini {

// A control of the window as the settings walk sees it. Each property may be
// absent; any accessor may throw, and the walk then passes over that one
// property and goes on.
class PersistentControl {
public:
    enum class ValueKind {
        none,          // no value property
        switch_state,  // option button (0 clear, non-zero selected) or check box (0, 1, 2 greyed)
        number,        // any other control with a value
    };

    virtual ~PersistentControl() = default;
    virtual std::string name() const = 0;

    virtual bool has_caption() const = 0;
    virtual std::string caption() const = 0;  // UTF-8
    virtual void set_caption(const std::string& caption) = 0;

    virtual ValueKind value_kind() const = 0;
    virtual double value() const = 0;
    // Option button: non-zero selects it and clears the others of its group,
    // zero clears it. Check box: 0 unchecked, 1 checked, 2 greyed, any other
    // number leaves it unchanged.
    virtual void set_value(double value) = 0;
};

using ControlList = std::span<PersistentControl* const>;

// Literal prefix of every control key (with its final "r").
inline constexpr const char* control_key_prefix = "frm_quelvaner.";

class Snapshot;

// Whether the settings file carries the signature of a file this program
// wrote (its "FileId" begins with "quelv"); a missing or foreign file does not.
bool has_signature(const Snapshot& settings);

// The value that restoring the settings gives a control with a value: the
// number stored under its key (control_key_prefix and its name) with
// ".value", else `current`, the value it holds, as a save would store it.
double restored_value(const Snapshot& settings, const std::string& key, PersistentControl::ValueKind kind,
                      double current);

// Fixes the settings directory as the current directory, then restores every
// caption and value in window order, from one read of the file. A missing or
// foreign file is reported once (title "Erreur") and leaves every control in
// its design-time state. Returns the file as read, for the other lookups of
// the start-up ([Ports], [Publish]).
Snapshot load_settings(ControlList controls);

// Writes the signature, then every caption and value in window order, as one
// replacement of the settings file.
void save_settings(ControlList controls);

// The number a stored value starts with, as the settings read it: leading
// blanks skipped, an optional sign, digits with "." as the decimal point
// whatever the locale, an optional exponent; reading stops at the first
// character that cannot continue the number. 0 when there is no number.
double leading_number(std::string_view text);
// The shortest text that leading_number reads back as value exactly.
std::string number_text(double value);

}  // namespace ini
