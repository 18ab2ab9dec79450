// The controls of the main window as data: names, kinds, containers,
// captions, positions, tab order and design-time state. The order of the
// table is the window order: the order in which the controls are created,
// enumerated and walked by the settings. No behaviour lives here.
#pragma once

#include <array>
#include <string_view>

namespace form {

enum class Kind { group_box, label, option_button, check_box, timer, serial_control };

// Design-time state flags.
enum Flags : unsigned {
    none = 0,
    selected = 1u << 0,  // option button selected / check box checked
    centred = 1u << 1,
    big_bold = 1u << 2,  // the reading font: bold, 13.5 pt
};

struct ControlRow {
    std::string_view name;
    Kind kind;
    std::string_view container;  // empty: the window itself
    std::string_view caption;    // UTF-8; unused by controls without a caption
    int left, top, width, height;  // twips, relative to the container
    int tab_index;                 // -1: takes no focus
    unsigned flags;
};

// Layout unit: 15 twips are one pixel at 96 dots per inch.
inline constexpr int twips_per_pixel = 15;
inline constexpr int client_width_twips = 8715;
inline constexpr int client_height_twips = 2505;

inline constexpr std::array<ControlRow, 23> control_table{{
    {"Frame4", Kind::group_box, "", "", 0, 120, 5175, 1095, 15, none},
    {"check_log_to_file", Kind::check_box, "Frame4", "Enregistrement", 3360, 360, 1575, 375, 20, none},
    {"Label4", Kind::label, "Frame4", "Capteur 2", 1680, 120, 1215, 375, 19, centred},
    {"Label1", Kind::label, "Frame4", "Capteur 1", 120, 120, 1215, 375, 18, centred},
    {"label_temperature_outside", Kind::label, "Frame4", "--.-", 1680, 480, 1215, 495, 17, centred | big_bold},
    {"label_temperature_indoor", Kind::label, "Frame4", "--.-", 120, 480, 1215, 495, 16, centred | big_bold},
    {"Frame3", Kind::group_box, "", "Intervalle de mesure", 6960, 120, 1695, 2295, 10, none},
    {"option_1_min", Kind::option_button, "Frame3", "1 min.", 240, 1800, 855, 375, 14, none},
    {"option_30_sec", Kind::option_button, "Frame3", "30 sec.", 240, 1320, 855, 375, 13, none},
    {"option_5_sec", Kind::option_button, "Frame3", "5 sec.", 240, 840, 855, 375, 12, none},
    {"option_1_sec", Kind::option_button, "Frame3", "1 sec.", 240, 360, 855, 375, 11, selected},
    {"Frame2", Kind::group_box, "", "Nb de capteurs", 0, 1320, 5175, 1095, 5, none},
    {"option_double", Kind::option_button, "Frame2", "", 2640, 360, 375, 375, 7, big_bold},
    {"option_single", Kind::option_button, "Frame2", "", 240, 360, 375, 375, 6, selected | big_bold},
    {"Label3", Kind::label, "Frame2", "Capteurs 1 et 2 (IC2 et IC3)", 3240, 360, 1215, 495, 9, none},
    {"Label2", Kind::label, "Frame2", "Capteur 1 seul (IC2)", 600, 360, 1095, 495, 8, none},
    {"Frame1", Kind::group_box, "", "Port série :", 5280, 120, 1575, 2295, 0, none},
    {"option_com1", Kind::option_button, "Frame1", "Com 1", 240, 360, 975, 375, 4, selected},
    {"option_com4", Kind::option_button, "Frame1", "Com4", 240, 1800, 975, 375, 3, none},
    {"option_com3", Kind::option_button, "Frame1", "Com3", 240, 1320, 975, 375, 2, none},
    {"option_com2", Kind::option_button, "Frame1", "Com2", 240, 840, 975, 375, 1, none},
    {"Timer1", Kind::timer, "", "", 0, 0, 0, 0, -1, none},
    {"MSComm1", Kind::serial_control, "", "", 0, 0, 0, 0, -1, none},
}};

// What each option of the port group and of the interval group stands for.
struct OptionValue {
    std::string_view name;
    int value;
};
inline constexpr std::array<OptionValue, 4> port_options{{
    {"option_com1", 1}, {"option_com2", 2}, {"option_com3", 3}, {"option_com4", 4}}};
inline constexpr std::array<OptionValue, 4> interval_options{{  // seconds between readings
    {"option_1_sec", 1}, {"option_5_sec", 5}, {"option_30_sec", 30}, {"option_1_min", 60}}};

// The value of the first of options that is_selected(name) holds for; none
// when no option is selected.
template <typename IsSelected>
constexpr int selected_value(const std::array<OptionValue, 4>& options, IsSelected is_selected, int none)
{
    for (const OptionValue& option : options) {
        if (is_selected(option.name)) {
            return option.value;
        }
    }
    return none;
}

// Only group boxes, labels, option buttons and the check box have a caption;
// only option buttons and the check box have a value.
constexpr bool has_caption(Kind kind)
{
    return kind == Kind::group_box || kind == Kind::label || kind == Kind::option_button ||
           kind == Kind::check_box;
}

constexpr bool has_value(Kind kind) { return kind == Kind::option_button || kind == Kind::check_box; }

}  // namespace form
