#include "settings/control_state.h"

#include <gtest/gtest.h>

#include <deque>
#include <map>

#include "settings/ini.h"
#include "temp_dir.h"
#include "window/control_table.h"

namespace {

// A control of the window keeping its caption and value in a map. Selecting an
// option button clears the others of its group box; a check box takes 0, 1
// and 2 and ignores any other value.
struct FakeControl : ini::PersistentControl {
    FakeControl(const window::ControlRow& r, std::map<std::string, std::string>& m) : row(r), state(m)
    {
        state[name() + ".caption"] = row.caption, state[name() + ".value"] = row.flags & window::selected ? "1" : "0";
    }
    std::string name() const override { return std::string(row.name); }
    bool has_caption() const override { return window::has_caption(row.kind); }
    std::string caption() const override { return state.at(name() + ".caption"); }
    void set_caption(const std::string& caption) override { state[name() + ".caption"] = caption; }
    ValueKind value_kind() const override { return window::has_value(row.kind) ? ValueKind::switch_state : ValueKind::none; }
    double value() const override { return std::stod(state.at(name() + ".value")); }
    void set_value(double v) override
    {
        const bool option = row.kind == window::Kind::option_button;
        for (const auto& other : window::control_table)
            if (option && v != 0 && other.container == row.container) state[std::string(other.name) + ".value"] = "0";
        if (option || v == 0 || v == 1 || v == 2) state[name() + ".value"] = std::to_string(option ? v != 0 : int(v));
    }
    const window::ControlRow& row;
    std::map<std::string, std::string>& state;
};

struct ControlState : ::testing::Test {
    ControlState()
    {
        std::filesystem::current_path(dir.path());
        ini::set_message_box([this](auto& text, auto& title) { messages.push_back(title + "|" + text); });
        for (const auto& row : window::control_table) list.push_back(&controls.emplace_back(row, state));
    }
    ~ControlState() override { ini::set_message_box(nullptr); std::filesystem::current_path(old_cwd); }
    std::string old_cwd = std::filesystem::current_path();
    settings_test::TempDir dir;
    std::vector<std::string> messages;
    std::map<std::string, std::string> state;  // every caption and value, keyed as in the file
    std::deque<FakeControl> controls;
    std::vector<ini::PersistentControl*> list;
};

TEST_F(ControlState, DesignTimeSaveWritesEveryKeyOnceAndASecondSaveTheSameBytes)
{
    std::string expected = "[CT]\r\nFileId=quelv\r\n";
    for (const char* key :
         {"Frame4.caption=", "check_log_to_file.caption=Enregistrement", "check_log_to_file.value=0",
          "Label4.caption=Capteur 2", "Label1.caption=Capteur 1", "label_temperature_outside.caption=--.-",
          "label_temperature_indoor.caption=--.-", "Frame3.caption=Intervalle de mesure", "option_1_min.caption=1 min.",
          "option_1_min.value=0", "option_30_sec.caption=30 sec.", "option_30_sec.value=0",
          "option_5_sec.caption=5 sec.", "option_5_sec.value=0", "option_1_sec.caption=1 sec.", "option_1_sec.value=1",
          "Frame2.caption=Nb de capteurs", "option_double.caption=", "option_double.value=0", "option_single.caption=",
          "option_single.value=1", "Label3.caption=Capteurs 1 et 2 (IC2 et IC3)",
          "Label2.caption=Capteur 1 seul (IC2)", "Frame1.caption=Port s\xE9rie :", "option_com1.caption=Com 1",
          "option_com1.value=1", "option_com4.caption=Com4", "option_com4.value=0", "option_com3.caption=Com3",
          "option_com3.value=0", "option_com2.caption=Com2", "option_com2.value=0"})
        expected += ini::control_key_prefix + std::string(key) + "\r\n";
    ini::set_ini_dir(dir.path());
    for (int save = 0; save < 2; ++save) ini::save_settings(list);  // the second over the file the first made
    EXPECT_EQ(settings_test::read_bytes(dir.file("Quelvane.INI")), expected);
}

// Each row: a file's signature and control keys, and the captions and values
// that then differ from the design (a missing key leaves it). A file that
// changes nothing is refused and the refusal reported.
TEST_F(ControlState, LoadTakesWhatTheFileHoldsOverTheDesign)
{
    const std::vector<std::string> salon = {"Label1.caption=Salon", "option_com3.value=1", "check_log_to_file.value=7"};
    const std::string refusal = "Erreur|Fichier de départ introuvable\r" + std::filesystem::current_path().string() +
                                "/Quelvane.INI\r\rUtilisation des valeurs par défaut";
    const auto design = state;
    const std::vector<std::tuple<std::string, std::vector<std::string>, std::map<std::string, std::string>>> cases = {
        {"quelv", {"Label1.caption=S\xE9jour \x80", "Label4.caption=Séjour €", "Label3.caption=" + std::string(200, 'x')},
         {{"Label1.caption", "Séjour €"}, {"Label4.caption", "Séjour €"}, {"Label3.caption", std::string(127, 'x')}}},
        {"quelvXYZ", salon, {{"Label1.caption", "Salon"}, {"option_com3.value", "1"}, {"option_com1.value", "0"}}},
        {"Quelv", salon, {}}, {"quel", salon, {}}, {"", salon, {}},
        {"quelv", {"option_com2.value=1", "option_com1.value=1"}, {{"option_com2.value", "1"}, {"option_com1.value", "0"}}},
        {"quelv", {"option_com1.value=0", "option_com2.value=0", "option_com3.value=0", "option_com4.value=0"},
         {{"option_com1.value", "0"}}},
        {"quelv", {"option_5_sec.value= 1", "option_com4.value=1abc", "option_single.value=abc", "check_log_to_file.value=2"},
         {{"option_5_sec.value", "1"}, {"option_1_sec.value", "0"}, {"option_com4.value", "1"}, {"option_com1.value", "0"},
          {"option_single.value", "0"}, {"check_log_to_file.value", "2"}}},
    };
    for (const auto& [signature, lines, changed] : cases) {
        std::string file = "[CT]\r\nFileId=" + signature + "\r\n";
        for (const std::string& line : lines) file += ini::control_key_prefix + line + "\r\n";
        settings_test::write_bytes(dir.file("Quelvane.INI"), file);
        state = design;
        ini::load_settings(list);
        for (const auto& [key, value] : changed) EXPECT_EQ(std::exchange(state[key], design.at(key)), value) << file;
        EXPECT_EQ(state, design) << file;
        EXPECT_EQ(std::exchange(messages, {}), std::vector<std::string>(changed.empty(), refusal)) << file;
    }
    // A settings file that cannot be read is reported once per run.
    std::filesystem::remove(dir.file("Quelvane.INI"));
    std::filesystem::create_directory(dir.file("Quelvane.INI"));
    ini::detail::reset_unreadable_report();
    for (int run = 0; run < 2; ++run) ini::load_settings(list);
    EXPECT_EQ(messages, (std::vector<std::string>{"|Fichier INI invalide ou absent", refusal, refusal}));
}

}  // namespace
